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

class ZX2Journals;
class KMLiveSitePrivate;

// The one owner of what Apache serves: the generated files, the rule table
// they were made from, the rules left out of them with the reason (screened
// at start, or disabled by a reload), Apache's configuration test, and the
// reload 3 s after the first change of a burst, on a worker thread of its
// own. Before reloading it leaves out the rules that cannot be live (a
// custom port another program holds, a block Apache's test refuses); after
// reloading it checks that Apache runs and starts it without them when it
// does not. Left-out rules stay stored and are tried again at every reload.
//
// Lock order: the rule manager's change lock, then the site lock (held by a
// Change and by the worker while it reloads), then the state lock that
// guards what status() reads. The worker takes no lock of the manager's.
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

    // A staged change of the rule table, holding the site lock until it is
    // kept or destroyed: write(the candidate table) → test (when the change
    // writes directive lines) → the caller stores it → keep(stored). Destroyed
    // without keep(), it puts the previous files back.
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
        // asked to read.
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
        explicit Change(KMLiveSitePrivate *site);
        KMLiveSitePrivate *site;
        std::unique_lock<std::mutex> lock;
        int fresh = 0;
        KMAppliancePorts ports; // the restore writes for them too
        KMApacheFiles files; // as written
        int refused = 0;
        bool written = false;
        bool kept = false;
    };
    Change change();

    // Who holds TCP ports now, as far as this process can tell, read once
    // (netstat, Apache's state) for as many questions as a change asks.
    // netstat's program column counts where it names a program; where it
    // shows "-" (another user's process, or no privilege to see it) or
    // lists nothing, a port is Apache's only while Apache runs and took it
    // at its last good reload, and a bind probe finds a socket that holds a
    // port without listening.
    class PortHolders
    {
    public:
        PortHolders(const QSet<int> &apachePorts, const std::atomic_bool *cancel);
        // False when netstat could not list the listeners.
        bool known() const { return m_known; }
        // Whether a program other than Apache holds the port.
        bool foreign(int port) const;

    private:
        bool apacheHolds(int port) const;

        QList<KMListener> m_listeners;
        bool m_known;
        QSet<int> m_apachePorts; // taken by Apache at its last good reload
        const std::atomic_bool *m_cancel;
        mutable int m_running = -1; // whether Apache runs; -1 until asked
    };
    PortHolders portHolders() const;
    // Every rule left out, by number, with the reason.
    QMap<int, QString> leftOut() const;
    // {"reload": {"state", "time", "message"}, "apache": "active" | "inactive"
    // | "unknown", "disabled": [{"pxyno", "name", "reason"}]}.
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
