#ifndef KMAPACHESITE_H
#define KMAPACHESITE_H

#include "kmapacheconf.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

class KMFileTransaction;
class ZX2Journals;

// A point in Apache's messages: a time, and the size of its error log.
struct KMApacheLogMark
{
    qint64 time = 0; // seconds since the epoch
    qint64 errorLogSize = 0;
};

// Apache's verdict on its whole configuration ("apache2ctl -t").
struct KMApacheVerdict
{
    bool ran = false; // false when the test could not run (not found, timed out)
    bool accepted = false;
    // Where Apache located the first error, when it lies in one of the
    // generated files: the file's path and its line (1-based); else empty and 0.
    QString file;
    int line = 0;
    // "line N: <Apache's message>" for an error in a generated file; a fixed
    // text otherwise, so lines of other files never reach a caller.
    QString reason;
};

// Apache's files and programs: puts generated files in place under
// /orba/etc/reverseproxy (0640 in a 0750 directory: rules may carry
// credentials in headers, and Apache's master reads them as root) and talks
// to Apache through "apache2ctl" and "systemctl" (both found through PATH).
// Stateless; the live site serialises. A child still running when cancel
// (optional) turns true is killed with its process group, as after a time-out.
class KMApacheSite
{
public:
    KMApacheSite() = delete;

    // Writes the files of a configuration beside their live names (nothing
    // Apache reads changes until the transaction is applied) and stages the
    // removal of stale virtual-host files. A file that cannot be written
    // sets ERR_SAVE with its message and path. The virtual-host directory
    // is never followed through a link: a link or a non-directory there
    // fails with ERR_SAVE, and only files named http_<port>.conf or
    // https_<port>.conf are ever removed from it.
    static bool stage(ZX2Journals &journals, const KMApacheFiles &files,
                      KMFileTransaction &transaction);
    // Puts staged files in place; ERR_SAVE with the message of the file
    // that could not be replaced (all are then as they were).
    static bool apply(ZX2Journals &journals, KMFileTransaction &transaction);
    // stage() and apply() at once.
    static bool write(ZX2Journals &journals, const KMApacheFiles &files);
    // Whether the files take more than limit bytes.
    static bool larger(const KMApacheFiles &files, qint64 limit);
    // Removes what a killed process left of a write: temporary files, old
    // contents beside the generated files, and test configurations.
    static void removeStrayFiles();

    // Runs Apache's configuration test on the files as they stand.
    static KMApacheVerdict configTest(const std::atomic_bool *cancel = nullptr);
    // Runs Apache's test on files that are not in place, in a configuration
    // of their own beside the live files: the modules Apache loads now, the
    // web ports' files in virtual hosts of their own (with the SSL snippet
    // for https), the virtual-host files at server level. Refusals name the
    // live files the files stand for.
    static KMApacheVerdict configTestApart(const KMApacheFiles &files, const KMAppliancePorts &ports,
                                           const std::atomic_bool *cancel = nullptr);
    // "systemctl reload apache2"; false with systemctl's message when it fails.
    static bool reload(QString &message, const std::atomic_bool *cancel = nullptr);
    // "systemctl start apache2"; false with systemctl's message when it fails.
    static bool start(QString &message, const std::atomic_bool *cancel = nullptr);
    // The TCP ports the apache2 unit listens on: those of its main process,
    // or where this process may not read that process's descriptors, those
    // of the sockets made in the unit's control group. Never by a program's
    // name; none when the unit is inactive or failed. False when they cannot
    // be read (systemctl fails, or a running unit has no main process).
    static bool listeningPorts(QSet<int> &ports, const std::atomic_bool *cancel = nullptr);
    // Where Apache's messages stand now, for failureReason().
    static KMApacheLogMark logMark();
    // Apache's own words on why it did not come up, from its unit's journal
    // and its error log since the mark: only the lines it writes about
    // listeners, never quoted file content.
    static QString failureReason(const KMApacheLogMark &mark, const std::atomic_bool *cancel = nullptr);
    // "active", "inactive", "failed" or "unknown" (systemctl is-active and
    // is-failed apache2).
    static QString state(const std::atomic_bool *cancel = nullptr);
};

#endif // KMAPACHESITE_H
