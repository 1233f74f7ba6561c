#ifndef KMAPACHERELOAD_H
#define KMAPACHERELOAD_H

#include "kmapacheconf.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <functional>
#include <mutex>

class KMApacheReloadPrivate;

// Keeps Apache serving the rule table: a reload 3 s after the last burst of
// changes, on a worker thread of its own. Before reloading it leaves out the
// rules that cannot be live (a directive that is no longer allowed, a custom
// port another program listens on, a block Apache's test refuses) and
// reports them as disabled; after reloading it checks that Apache runs and
// starts it when it does not. Disabled rules stay stored and are tried again
// at every reload.
class KMApacheReload
{
public:
    using RuleReader = std::function<bool(QList<KMRule> &rules)>;

    // writeLock serialises the reload with the rule changes, so a reload
    // never reads files that hold a change still under test; readRules reads
    // the whole rule table. Both must outlive this object.
    KMApacheReload(std::mutex *writeLock, RuleReader readRules);
    ~KMApacheReload(); // ends the worker; a reload still waiting is dropped

    // Asks for a reload 3 s from now, unless one is already waiting.
    void schedule();
    // The rules left out of the configuration, by rule number, with the reason.
    QMap<int, QString> disabled() const;
    // Forgets why a rule was left out (it was changed or removed): the next
    // generation writes it again. Call with the write lock held.
    void forget(int pxyno);
    // The rules whose content is no longer accepted, with the reason.
    static QMap<int, QString> unsafeRules(const QList<KMRule> &rules);
    // The files for the rules that can be live: those disabled left out.
    static KMApacheFiles liveFiles(const QList<KMRule> &rules, const QMap<int, QString> &disabled,
                                   const KMAppliancePorts &ports);

    // {"reload": {"state", "time", "message"}, "apache": "active" | "inactive"
    // | "unknown", "disabled": [{"pxyno", "name", "reason"}]}.
    QJsonObject status() const;

private:
    Q_DISABLE_COPY(KMApacheReload)
    friend class KMApacheReloadPrivate;
    KMApacheReloadPrivate *const d; // created by the constructor, deleted by the destructor
};

#endif // KMAPACHERELOAD_H
