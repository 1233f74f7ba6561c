#include "kmreverseproxy.h"

#include "kmapacheconf.h"
#include "kmapachesite.h"
#include "kmappliance.h"
#include "kmreverseproxyresources.h"
#include "kmrule.h"
#include "zx2dbsqlite.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2paths.h"
#include "zx2utils.h"

#include <QMutex>

namespace {

// The rule record that clients see: the stored parameters plus the number.
QJsonObject ruleRecord(const QJsonObject &row)
{
    QJsonObject rule = toJsonObject(toString(row.value(QStringLiteral("params"))));
    rule.insert(QStringLiteral("pxyno"), toInt(row.value(QStringLiteral("pxyno"))));
    return rule;
}

bool fail(ZX2Journals &journals, int err, const QString &message)
{
    journals.setErr(err, message);
    return false;
}

} // namespace

class KMReverseproxyPrivate
{
public:
    ZX2DBSqlite db;
    // Serialises create, change, remove and mapTo from their first check to
    // the last file written, so two requests never both pass the same check
    // and regenerations never interleave.
    QMutex writeLock;

    // False when another rule (other than rule number skipPxyno) has the
    // same protocol, effective port and path; also false when the rules
    // cannot be read.
    bool validSource(const KMRule &rule, int skipPxyno, const KMAppliancePorts &ports);
    bool identical(const KMRule &rule, const KMAppliancePorts &ports) const;
    bool portTaken(int port, int skipPxyno);
    bool contentSafe(ZX2Journals &journals, const KMRule &rule) const;
    bool sqlError(ZX2Journals &journals) const;
    bool readRules(QList<KMRule> &rules);
    // Whether an existing store reads as a rule database; fills the journal if not.
    bool storeReadable(ZX2Journals &journals);
    void useWriteAheadLog();
    bool regenerate(ZX2Journals &journals, const KMAppliancePorts &ports);
};

bool KMReverseproxyPrivate::identical(const KMRule &rule, const KMAppliancePorts &ports) const
{
    if (rule.source.effectivePort(ports) != rule.dest.effectivePort(ports)
        || rule.source.protocol != rule.dest.protocol || rule.source.path != rule.dest.path)
        return false;
    const QString &host = rule.dest.host;
    return host == QLatin1String("127.0.0.1") || host == QLatin1String("localhost")
           || KMAppliance::localIPs().contains(host);
}

bool KMReverseproxyPrivate::portTaken(int port, int skipPxyno)
{
    QList<QJsonObject> rows;
    if (db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject())) {
        for (const QJsonObject &row : qAsConst(rows)) {
            const int stored = toInt(row.value(QStringLiteral("srcport")));
            if (stored > 0 && stored == port && toInt(row.value(QStringLiteral("pxyno"))) != skipPxyno)
                return true;
        }
    }
    return KMAppliance::usedPorts().contains(port);
}

bool KMReverseproxyPrivate::readRules(QList<KMRule> &rules)
{
    QList<QJsonObject> rows;
    if (!db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject()))
        return false;
    rules.reserve(rows.size());
    for (const QJsonObject &row : qAsConst(rows))
        rules << KMRule::fromRow(row);
    return true;
}

bool KMReverseproxyPrivate::validSource(const KMRule &rule, int skipPxyno,
                                        const KMAppliancePorts &ports)
{
    QList<KMRule> rules;
    if (!readRules(rules))
        return false;
    const QString asked = rule.conflictKey(ports);
    for (const KMRule &other : qAsConst(rules)) {
        if (other.pxyno != skipPxyno && other.conflictKey(ports) == asked)
            return false;
    }
    return true;
}

bool KMReverseproxyPrivate::contentSafe(ZX2Journals &journals, const KMRule &rule) const
{
    const QString field = rule.unsafeField();
    if (field.isEmpty())
        return true;
    return fail(journals, ZX2Error::ERR_PARAMS, QStringLiteral("参数内容错误(") + field + QLatin1Char(')'));
}

bool KMReverseproxyPrivate::sqlError(ZX2Journals &journals) const
{
    return fail(journals, ZX2Error::ERR_SQLERROR, db.lastError());
}

// A commit in the write-ahead log needs one sync instead of the rollback
// journal's three, and readers on other connections never wait for a writer.
// FULL keeps every answered change on disk.
void KMReverseproxyPrivate::useWriteAheadLog()
{
    int changes = 0;
    int lastId = 0;
    db.exec(changes, lastId, QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"),
            QJsonObject(), QJsonObject());
}

bool KMReverseproxyPrivate::storeReadable(ZX2Journals &journals)
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows;
    if (!db.exec(changes, lastId, rows, QStringLiteral("PRAGMA quick_check;"), QJsonObject(),
                 QJsonObject()))
        return sqlError(journals);
    const QString verdict = rows.value(0).value(QStringLiteral("quick_check")).toString();
    if (verdict != QLatin1String("ok"))
        return fail(journals, ZX2Error::ERR_SQLERROR, verdict);
    rows.clear();
    if (!db.call(rows, QStringLiteral("reverseproxy_alload"), QJsonObject()))
        return sqlError(journals);
    return true;
}

bool KMReverseproxyPrivate::regenerate(ZX2Journals &journals, const KMAppliancePorts &ports)
{
    QList<KMRule> rules;
    if (!readRules(rules))
        return sqlError(journals);
    return KMApacheSite::apply(journals, KMApacheConf::generate(rules, ports));
}

KMReverseproxy::KMReverseproxy(QObject *parent)
    : QObject(parent)
    , d(new KMReverseproxyPrivate)
{
}

KMReverseproxy::~KMReverseproxy()
{
    delete d;
}

bool KMReverseproxy::start(ZX2Journals &journals)
{
    initReverseproxyResources();
    bool created = false;
    if (!d->db.open(orbaPath(QLatin1String(kReverseproxyDatabase)), QStringLiteral(":/kmreverseproxy/engine.sql"),
                    QStringLiteral(":/kmreverseproxy/creator.sql"), &created))
        return false;
    // SQLite opens any file lazily: a damaged store would only show up as an
    // error on every later request, so refuse to start on it instead.
    if (!created && !d->storeReadable(journals)) {
        d->db.close();
        return false;
    }
    d->useWriteAheadLog();
    d->db.dbUpgrades(); // "nothing to upgrade" is the usual outcome
    if (!created)
        mapTo(journals);
    return true;
}

bool KMReverseproxy::alload(ZX2Journals &journals, QJsonObject &rules) const
{
    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_alload"), QJsonObject()))
        return d->sqlError(journals);
    for (const QJsonObject &row : qAsConst(rows)) {
        const QJsonObject rule = ruleRecord(row);
        rules.insert(toString(rule.value(QStringLiteral("name"))).trimmed(), rule);
    }
    return true;
}

bool KMReverseproxy::acquit(ZX2Journals &journals, QJsonObject &rule, int pxyno) const
{
    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), pxyno}}))
        return d->sqlError(journals);
    if (rows.isEmpty())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    rule = ruleRecord(rows.first());
    return true;
}

bool KMReverseproxy::create(ZX2Journals &journals, const QJsonObject &params)
{
    QMutexLocker locker(&d->writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    const KMRule rule = KMRule::fromParams(params);
    if (!d->contentSafe(journals, rule))
        return false;
    if (d->identical(rule, ports))
        return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
    if (KMAppliance::occupied(rule.source.port, rule.source.path, ports))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));
    // A custom port carries one rule; the appliance web ports carry many.
    if (rule.source.port > 0 && rule.source.port != ports.of(rule.source.protocol)
        && d->portTaken(rule.source.port, 0))
        return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));

    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_exists_name"), {{QStringLiteral("name"), rule.name}}))
        return d->sqlError(journals);
    if (!rows.isEmpty())
        return fail(journals, ZX2Error::ERR_EXISTS, QStringLiteral("名称已存在"));
    if (!d->validSource(rule, 0, ports))
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("来源路径已存在"));

    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_append"), rule.storedValues()))
        return d->sqlError(journals);
    return d->regenerate(journals, ports);
}

bool KMReverseproxy::change(ZX2Journals &journals, const QJsonObject &params)
{
    QMutexLocker locker(&d->writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    KMRule rule = KMRule::fromParams(params, true);
    if (!d->contentSafe(journals, rule))
        return false;
    rule.pxyno = toInt(params.value(QStringLiteral("pxyno")));

    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), rule.pxyno}}))
        return d->sqlError(journals);
    if (rows.isEmpty())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    const KMRuleSide stored = KMRule::fromParams(KMRule::fromRow(rows.first()).params, true).source;
    const bool sameSource = rule.source.protocol == stored.protocol && rule.source.host == stored.host
                            && rule.source.port == stored.port && rule.source.path == stored.path;
    if (!sameSource) {
        if (d->identical(rule, ports))
            return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
        // Apache itself listens on the appliance web ports, so they are not exempt here.
        if (rule.source.port != stored.port && rule.source.port != 0
            && d->portTaken(rule.source.port, rule.pxyno))
            return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));
    }
    // A rule moved onto an appliance web port must not take over its site.
    const bool moved = rule.source.protocol != stored.protocol || rule.source.port != stored.port
                       || rule.source.path != stored.path;
    if (moved && KMAppliance::occupied(rule.source.port, rule.source.path, ports))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));

    rows.clear();
    if (!d->db.call(rows, QStringLiteral("reverseproxy_exists_name"),
                    {{QStringLiteral("pxyno"), rule.pxyno}, {QStringLiteral("name"), rule.name}}))
        return d->sqlError(journals);
    if (!rows.isEmpty())
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("名称已存在"));
    if (!d->validSource(rule, rule.pxyno, ports))
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("源地址已存在"));

    QJsonObject values = rule.storedValues();
    values.insert(QStringLiteral("pxyno"), rule.pxyno);
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_change"), values))
        return d->sqlError(journals);
    if (changes <= 0)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    return d->regenerate(journals, ports);
}

bool KMReverseproxy::remove(ZX2Journals &journals, int pxyno)
{
    QMutexLocker locker(&d->writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_remove"),
                    {{QStringLiteral("pxyno"), pxyno}}))
        return d->sqlError(journals);
    if (changes <= 0)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    return d->regenerate(journals, ports);
}

bool KMReverseproxy::mapTo(ZX2Journals &journals) const
{
    QMutexLocker locker(&d->writeLock);
    return d->regenerate(journals, KMAppliance::webPorts());
}
