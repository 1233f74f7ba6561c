#include "kmaudittrail.h"

#include "zx2cabinet.h"
#include "zx2dbsqlite.h"
#include "zx2utils.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

namespace {

// Sides of an entry longer than this (compact JSON) keep only their length,
// and names only their start: a refused request may carry anything, and the
// trail must stay small however many entries it keeps.
constexpr int kMaxSideBytes = 16 * 1024;
constexpr int kMaxNameLength = 255;

// The kernel's name of a process, cut to 15 bytes: its program's file name
// unless it renamed itself. A record of who asked, not a proof.
QString programOf(qint64 pid)
{
    if (pid <= 0)
        return QString();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(comm.readLine(64)).trimmed();
}

// A stored side of an entry: compact JSON, '' for none.
QString storedText(const QJsonValue &value)
{
    return value.isObject() ? QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact))
                            : QString();
}

QJsonValue listedValue(const QJsonValue &stored)
{
    const QString text = toString(stored);
    return text.isEmpty() ? QJsonValue() : QJsonValue(toJsonObject(text));
}

QJsonValue ruleSide(const QJsonObject &params)
{
    if (params.isEmpty())
        return QJsonValue();
    const QJsonObject kept = KMAuditTrail::withoutSecrets(params);
    const int bytes = QJsonDocument(kept).toJson(QJsonDocument::Compact).size();
    return bytes <= kMaxSideBytes ? kept : QJsonObject{{QStringLiteral("omitted"), bytes}};
}

} // namespace

KMAuditEntry KMAuditEntry::about(int rulePxyno, const QString &ruleName, const QJsonObject &ruleBefore,
                                 const QJsonObject &ruleAfter) const
{
    KMAuditEntry entry = *this;
    entry.pxyno = rulePxyno;
    entry.name = ruleName.left(kMaxNameLength);
    entry.before = ruleSide(ruleBefore);
    entry.after = ruleSide(ruleAfter);
    return entry;
}

KMAuditEntry KMAuditTrail::callerOf(const ZX2Cabinet &environment, const QJsonObject &request)
{
    KMAuditEntry entry;
    const QJsonValue uid = environment.value(QStringLiteral("uid"));
    entry.uid = uid.isDouble() ? qint64(uid.toDouble()) : -1;
    entry.pid = qint64(environment.value(QStringLiteral("pid")).toDouble());
    entry.program = programOf(entry.pid);
    entry.cmd = toString(request.value(QStringLiteral("cmd"))).trimmed();
    return entry;
}

QJsonObject KMAuditTrail::withoutSecrets(QJsonObject params)
{
    QJsonObject access = params.value(QStringLiteral("access")).toObject();
    if (access.value(QStringLiteral("users")).isArray()) {
        QJsonArray users = access.value(QStringLiteral("users")).toArray();
        for (auto user = users.begin(); user != users.end(); ++user) {
            QJsonObject kept = user->toObject();
            kept.remove(QStringLiteral("password"));
            kept.remove(QStringLiteral("hash"));
            *user = kept;
        }
        access.insert(QStringLiteral("users"), users);
        params.insert(QStringLiteral("access"), access);
    }
    QJsonObject certificate = params.value(QStringLiteral("certificate")).toObject();
    if (certificate.contains(QStringLiteral("key"))) {
        certificate.remove(QStringLiteral("key"));
        params.insert(QStringLiteral("certificate"), certificate);
    }
    return params;
}

bool KMAuditTrail::append(ZX2DBSqlite &db, const KMAuditEntry &entry)
{
    const QJsonObject values{{QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                             {QStringLiteral("uid"), entry.uid},
                             {QStringLiteral("pid"), entry.pid},
                             {QStringLiteral("program"), entry.program},
                             {QStringLiteral("cmd"), entry.cmd},
                             {QStringLiteral("err"), entry.err},
                             {QStringLiteral("pxyno"), entry.pxyno},
                             {QStringLiteral("name"), entry.name},
                             {QStringLiteral("before"), storedText(entry.before)},
                             {QStringLiteral("after"), storedText(entry.after)}};
    return db.call(QStringLiteral("audittrail_append"), values)
           && db.call(QStringLiteral("audittrail_trim"), {{QStringLiteral("kept"), kKept}});
}

bool KMAuditTrail::list(ZX2DBSqlite &db, QJsonArray &entries, int limit, int pxyno)
{
    QList<QJsonObject> rows;
    if (!db.call(rows, QStringLiteral("audittrail_list"),
                 {{QStringLiteral("limit"), qBound(0, limit, kMaxListed)}, {QStringLiteral("pxyno"), pxyno}}))
        return false;
    for (QJsonObject row : qAsConst(rows)) {
        row.insert(QStringLiteral("before"), listedValue(row.value(QStringLiteral("before"))));
        row.insert(QStringLiteral("after"), listedValue(row.value(QStringLiteral("after"))));
        entries.append(row);
    }
    return true;
}
