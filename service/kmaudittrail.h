#ifndef KMAUDITTRAIL_H
#define KMAUDITTRAIL_H

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

class ZX2Cabinet;
class ZX2DBSqlite;

// The audit trail: who changed the rule table, when, through which command
// and with what answer, kept in the rule database beside the rules, so that
// a setup that broke can be traced to the request that broke it.

// One entry: the caller, the command and the rule it was about.
struct KMAuditEntry
{
    qint64 uid = -1;    // of the calling process; -1 unknown
    qint64 pid = 0;     // 0 unknown
    QString program;    // the process's name as the kernel keeps it
    QString cmd;        // the command as called; empty: not a command, never recorded
    int err = 0;        // the answer's code
    int pxyno = 0;      // 0: no single rule (an import, a create refused)
    QString name;
    QJsonValue before;  // the rule's parameters without secrets; null for none
    QJsonValue after;

    // A copy about a rule, its parameters before and after the change (an
    // empty object for none) with their secrets left out; a side longer
    // than 16 KiB as JSON becomes {"omitted": its length in bytes}.
    KMAuditEntry about(int rulePxyno, const QString &ruleName, const QJsonObject &ruleBefore,
                       const QJsonObject &ruleAfter) const;
};

namespace KMAuditTrail {

// The trail keeps this many of the newest entries.
constexpr int kKept = 10000;
// One listing answers at most this many.
constexpr int kMaxListed = 1000;

// The caller of the command request on a connection whose environment holds
// the peer's "uid" and "pid": the program's name is read now, from /proc.
KMAuditEntry callerOf(const ZX2Cabinet &environment, const QJsonObject &request);
// Rule parameters without the users' passwords and password hashes (their
// names stay) and without the certificate's private key.
QJsonObject withoutSecrets(QJsonObject params);
// Appends entry, stamped with the current time, and drops the entries
// beyond the newest kKept. Runs in the caller's transaction.
bool append(ZX2DBSqlite &db, const KMAuditEntry &entry);
// The newest limit entries (of rule pxyno only, when above 0), newest first,
// as the "reverseproxy_log" command answers them.
bool list(ZX2DBSqlite &db, QJsonArray &entries, int limit, int pxyno);

} // namespace KMAuditTrail

#endif // KMAUDITTRAIL_H
