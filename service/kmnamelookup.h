#ifndef KMNAMELOOKUP_H
#define KMNAMELOOKUP_H

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class KMNameLookupPrivate;

// Host names looked up (hosts file, DNS) before a change takes the rule
// manager's lock: all of a request's names at once, each on a thread of its
// own, within one time limit for the whole request, so that slow names hold
// up only the request that names them. The C library's lookup cannot be
// cancelled: one given up on goes on alone and its answer serves the next
// request that asks (answers are kept kKeep). An empty lookup knows no name.
class KMNameLookup
{
public:
    static constexpr std::chrono::milliseconds kWait{4000};
    static constexpr std::chrono::seconds kKeep{30};

    KMNameLookup();
    // Looks every name up, waiting at most wait for all of them together.
    explicit KMNameLookup(const QStringList &names, std::chrono::milliseconds wait = kWait);

    // Whether name's lookup ended in time, with addresses or without (no
    // such name).
    bool answered(const QString &name) const;
    // The addresses name has; empty when it has none or did not answer.
    QList<QHostAddress> addresses(const QString &name) const;

private:
    std::shared_ptr<const KMNameLookupPrivate> d;
};

#endif // KMNAMELOOKUP_H
