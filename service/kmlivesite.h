#ifndef KMLIVESITE_H
#define KMLIVESITE_H

#include "kmapacheconf.h"
#include "kmappliance.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <atomic>

#include <functional>
#include <memory>
#include <mutex>

class KMFileTransaction;
class ZX2Journals;
class KMLiveSitePrivate;

// The one owner of what Apache serves: the generated files, the rule table
// they were made from, and the record of what is served and why (the rules
// left out of the files with the reason and the rule version each verdict is
// about, and the last set of files Apache was seen to serve; on disk, so a
// restart keeps both). Every write takes the rules it leaves out from that
// record: a change, a reload, a recovery, a start. Apache's configuration
// test runs on every change that writes directives; the reload comes 3 s
// after the first change of a burst, on a worker thread of its own.
//
// Before reloading it leaves out the rules whose custom port another program
// holds (only on evidence: holders that cannot be read take no rule out) and
// the rules whose block Apache's test refuses. A port is this Apache's only
// where the site's own files make it listen. After every reload or start it
// checks what Apache did: the unit is active and listens (its main process,
// or the sockets of its control group) on the web ports and every custom
// port of the files. When Apache did not take the files, it puts the last
// good set back and adds back what Apache takes of the rest, one half at a
// time; when even the last good set does not start, the appliance's own
// site comes up alone. A rule refused when tried alone stays out until it
// changes; a rule whose port was taken stays out for a while, longer each
// time; untried rules are "pending". While Apache is down or rules are
// waiting, the worker tries again on a timer, without waiting for a change.
//
// Locks, in this order after the rule manager's change lock: filesLock (the
// files, the live table, the record; held by a Change and by the worker
// while it writes or tests files, never while netstat or systemctl runs),
// then stateLock (the schedule and what status() reads). After each reload
// the worker runs afterReload, which may take the manager's change lock:
// it holds none of the site's locks then.
class KMLiveSite
{
public:
    // Rule tables come by value; the site keeps its own copy of the live one.
    // afterReload (may be empty) runs on the worker after every reload,
    // without any of the site's locks held.
    explicit KMLiveSite(std::function<void()> afterReload = {});
    ~KMLiveSite(); // stop()

    // Makes rules (the whole stored table) live: screened are the rules that
    // this version does not write, with the reason; the record on disk adds
    // the verdicts still holding. Writes the files at once, so that Apache
    // finds them even before the first change, and reloads without waiting
    // (also when a file cannot be written: then false, journal filled).
    bool start(ZX2Journals &journals, const QList<KMRule> &rules,
               const QMap<int, QString> &screened);
    // Ends the worker: a running configuration test or systemctl is killed
    // with its process group, a waiting reload is dropped. Idempotent.
    void stop();

    // A staged change of the rule table, holding the files lock until it is
    // kept or destroyed: write(the candidate table) → test (when the change
    // writes directive lines) → the caller stores it → keep(stored).
    // Destroyed without keep(), it puts the previous files back exactly (by
    // renames, so a full disk cannot stop it); a dry run tests the
    // candidate files without ever putting them in place.
    class Change
    {
    public:
        Change(const Change &) = delete;
        Change &operator=(const Change &) = delete;
        ~Change();

        // Writes the files of rules for the web ports the change read,
        // without the rules the record leaves out, except rule number fresh
        // (the one changed; 0 for none), which passed the checks just now. Refuses
        // (ERR_NOT_ENOUGH) a configuration larger than Apache should be
        // asked to read. New rules carry numbers below 0 until stored.
        bool write(ZX2Journals &journals, const QList<KMRule> &rules, int fresh,
                   const KMAppliancePorts &ports);
        // Apache's test of the written files: ERR_PARAMS with Apache's
        // reason when it refuses them, ERR_FAILED when it cannot run. A
        // stored rule other than fresh that Apache refuses is no fault of
        // the caller's: it is left out (and, once kept, recorded) and the
        // files are written and tested again.
        bool test(ZX2Journals &journals);
        // After a refusing test: the number, in the written table, of the
        // rule that wrote the line Apache refused; 0 when no single rule did.
        int refusedRule() const { return refused; }
        // The table as the store now keeps it (the written one, with the
        // numbers the store gave new rules) becomes the live one; a reload
        // is scheduled.
        void keep(const QList<KMRule> &table);

    private:
        friend class KMLiveSite;
        Change(KMLiveSitePrivate *site, bool dryRun);
        // Writes (or, in a dry run, only makes) the files of rules without
        // those left out.
        bool place(ZX2Journals &journals);
        KMLiveSitePrivate *site;
        QList<KMRule> rules; // the candidate table
        QMap<int, QString> stored; // stored rules the test found Apache refusing
        std::unique_lock<std::mutex> lock;
        bool dryRun;
        int fresh = 0;
        KMAppliancePorts ports; // of the written files
        KMApacheFiles files; // as written
        std::unique_ptr<KMFileTransaction> transaction; // the files' previous contents
        int refused = 0;
        bool kept = false;
    };
    Change change(bool dryRun = false);

    // Who holds TCP ports now, as far as this process can tell, read once
    // (netstat, Apache's listeners) for as many questions as are asked. A
    // port is Apache's only when the site's own files (ours: the last good
    // set) make it listen there and Apache does; a program's name proves
    // nothing. What netstat does not list, a bind probe settles.
    class PortHolders
    {
    public:
        PortHolders(const std::atomic_bool *cancel, const QSet<int> &ours);
        // False when netstat could not list the listeners.
        bool known() const { return m_known; }
        // Whether anything but Apache for our files holds the port, as a
        // new rule asks: a probe that may not bind counts as held, and so
        // does one of our ports when Apache's listeners cannot be read.
        bool foreign(int port) const;
        // Whether there is evidence that another program holds the port:
        // where Apache's listeners cannot be read, our ports count as its.
        bool taken(int port) const;
        // Whether taken() had to count a port as Apache's unseen.
        bool guessed() const { return m_guessed; }

    private:
        bool listed(int port) const;
        bool apacheHolds(int port, bool guess) const;

        QList<KMListener> m_listeners;
        bool m_known;
        const std::atomic_bool *m_cancel;
        QSet<int> m_ours;
        mutable bool m_asked = false;
        mutable bool m_apacheKnown = false;
        mutable bool m_guessed = false;
        mutable QSet<int> m_apachePorts; // Apache listens on; read when first asked
    };
    PortHolders portHolders() const;
    // {"reload": {"state", "time", "message"}, "apache": "active" | "inactive"
    // | "failed" | "unknown", "disabled": [{"pxyno", "name", "reason"}]}.
    // The state is "ok" only when Apache runs and serves the files of the
    // live table without the rules listed (the message then says when the
    // ports' holders could not be read); "pending" while a reload asked for
    // is due; "failed" otherwise, with Apache's reason on one line. Only
    // rules that exist, in the version judged, are listed.
    QJsonObject status() const;

    // The generated configuration may not grow past this (bytes): Apache
    // holds it in every process and reads it at every reload.
    static const qint64 kMaxConfiguration = 16 * 1024 * 1024;

private:
    Q_DISABLE_COPY(KMLiveSite)
    friend class KMLiveSitePrivate;
    std::unique_ptr<KMLiveSitePrivate> d;
};

#endif // KMLIVESITE_H
