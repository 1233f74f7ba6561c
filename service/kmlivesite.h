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
// they were made from, the rules left out of them with the reason, Apache's
// configuration test, the reload 3 s after the first change of a burst (on
// a worker thread of its own), and the last set of files Apache was seen to
// serve. Before reloading it leaves out the rules that cannot be live (a
// custom port another program holds, a block Apache's test refuses). After
// every reload or start it checks what Apache did: the unit is active, and
// its main process listens on the web ports and on every custom port of the
// files. When Apache did not take the files, it puts the last good set back,
// brings Apache up with it, and finds the rules Apache cannot take, which
// stay out (with Apache's reason) until they change or the service starts
// again. Rules left out for a taken port are tried again at every reload.
//
// Locks, in this order after the rule manager's change lock: filesLock (the
// files, the live table, the left-out rules; held by a Change and by the
// worker while it writes or tests files, never while systemctl runs), then
// stateLock (the schedule and what status() reads). The worker takes no
// lock of the manager's.
class KMLiveSite
{
public:
    // Rule tables come by value; the site keeps its own copy of the live one.
    // afterReload (may be empty) runs on the worker after every reload,
    // without any of the site's locks held.
    explicit KMLiveSite(std::function<void()> afterReload = {});
    ~KMLiveSite(); // stop()

    // Makes rules (the whole stored table) live: screened are the rules that
    // may not be written, with the reason. Writes the files at once, so that
    // Apache finds them even before the first change, and reloads without
    // waiting. False when a file cannot be written (journal filled).
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
        // without the rules left out, except rule number fresh (the one
        // changed; 0 for none), which passed the checks just now. Refuses
        // (ERR_NOT_ENOUGH) a configuration larger than Apache should be
        // asked to read. New rules carry numbers below 0 until stored.
        bool write(ZX2Journals &journals, const QList<KMRule> &rules, int fresh,
                   const KMAppliancePorts &ports);
        // Apache's test of the written files: ERR_PARAMS with Apache's
        // reason when it refuses them, ERR_FAILED when it cannot run.
        bool test(ZX2Journals &journals);
        // After a refusing test: the number, in the written table, of the
        // rule that wrote the line Apache refused; 0 when no single rule did.
        int refusedRule() const { return refused; }
        // The table as the store now keeps it (the written one, with the
        // numbers the store gave new rules) becomes the live one; a reload
        // is scheduled.
        void keep(const QList<KMRule> &stored);

    private:
        friend class KMLiveSite;
        Change(KMLiveSitePrivate *site, bool dryRun);
        KMLiveSitePrivate *site;
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
    // (netstat, Apache's main process) for as many questions as a change
    // asks. A port is Apache's only when the unit's main process listens on
    // it; a program's name proves nothing. What netstat does not list, a
    // bind probe settles: a socket bound without listening, or a port the
    // probe may not bind, counts as taken.
    class PortHolders
    {
    public:
        explicit PortHolders(const std::atomic_bool *cancel);
        // False when netstat could not list the listeners.
        bool known() const { return m_known; }
        // Whether a program other than Apache holds the port.
        bool foreign(int port) const;

    private:
        bool apacheHolds(int port) const;

        QList<KMListener> m_listeners;
        bool m_known;
        const std::atomic_bool *m_cancel;
        mutable bool m_asked = false;
        mutable QSet<int> m_apachePorts; // its main process listens on; read when first asked
    };
    PortHolders portHolders() const;
    // {"reload": {"state", "time", "message"}, "apache": "active" | "inactive"
    // | "unknown", "disabled": [{"pxyno", "name", "reason"}]}. The state is
    // "ok" only when Apache serves exactly the files of the live table
    // without the rules listed; "pending" while a reload is due; "failed"
    // otherwise, with the reason.
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
