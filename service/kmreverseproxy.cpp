#include "kmreverseproxy.h"

#include "kmapacheconf.h"
#include "kmapachereload.h"
#include "kmapachesite.h"
#include "kmappliance.h"
#include "kmreverseproxyresources.h"
#include "kmrule.h"
#include "zx2dbsqlite.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "kmpaths.h"
#include "zx2utils.h"

#include <QHash>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>

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
    std::mutex writeLock;
    // Reloads Apache after changes and knows which rules are left out;
    // created by start.
    std::unique_ptr<KMApacheReload> reload;

    // False when one of rules (other than rule number skipPxyno) has the
    // same protocol, effective port and path.
    static bool validSource(const KMRule &rule, const QList<KMRule> &rules, int skipPxyno,
                            const KMAppliancePorts &ports);
    // Whether another of rules (null when they could not be read) has the
    // source port, or something listens on it.
    static bool portTaken(int port, int skipPxyno, const QList<KMRule> *rules);
    bool contentSafe(ZX2Journals &journals, const KMRule &rule) const;
    bool sqlError(ZX2Journals &journals) const;
    // The whole rule table, in rule-number order. Call with writeLock held.
    bool readRules(QList<KMRule> &rules);
    // Rules as last read, by number, so that a rule whose stored text did
    // not change is not parsed again (most of a regeneration otherwise).
    // Guarded by writeLock, like every call of readRules.
    struct ParsedRule
    {
        QString text;
        KMRule rule;
    };
    QHash<int, ParsedRule> parsed;
    // Whether an existing store reads as a rule database; fills the journal if not.
    bool storeReadable(ZX2Journals &journals);
    void useWriteAheadLog();
    bool regenerate(ZX2Journals &journals, const KMAppliancePorts &ports);
    // Puts the files of after in place, has Apache test them when test is
    // set, and only then runs store (which fills the journal when it
    // fails). On any failure the files of before are put back: the
    // database, the files and the answer agree.
    // Rule number fresh (changed or removed; 0 for none) is written from
    // after whatever kept it out before, and forgotten there on success.
    bool commit(ZX2Journals &journals, const QList<KMRule> &before, const QList<KMRule> &after,
                int fresh, bool test, const std::function<bool()> &store,
                const KMAppliancePorts &ports);
    QMap<int, QString> leftOut() const;
    // Stored rules whose content this version no longer accepts, found once
    // at start (rules stored since then passed the checks), by number.
    QMap<int, QString> unsafeStored;
};

bool KMReverseproxyPrivate::portTaken(int port, int skipPxyno, const QList<KMRule> *rules)
{
    for (const KMRule &rule : rules ? *rules : QList<KMRule>()) {
        if (rule.source.port > 0 && rule.source.port == port && rule.pxyno != skipPxyno)
            return true;
    }
    return KMAppliance::usedPorts().contains(port);
}

bool KMReverseproxyPrivate::readRules(QList<KMRule> &rules)
{
    QList<QJsonObject> rows;
    if (!db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject()))
        return false;
    QHash<int, ParsedRule> current;
    current.reserve(rows.size());
    rules.reserve(rows.size());
    for (const QJsonObject &row : qAsConst(rows)) {
        const int pxyno = toInt(row.value(QStringLiteral("pxyno")));
        const QString text = toString(row.value(QStringLiteral("params")));
        ParsedRule entry = parsed.value(pxyno);
        if (entry.text != text || entry.rule.pxyno != pxyno)
            entry = {text, KMRule::fromRow(row)};
        rules << entry.rule;
        current.insert(pxyno, entry);
    }
    parsed = current; // forgets removed rules
    return true;
}

bool KMReverseproxyPrivate::validSource(const KMRule &rule, const QList<KMRule> &rules,
                                        int skipPxyno, const KMAppliancePorts &ports)
{
    const QString asked = rule.conflictKey(ports);
    for (const KMRule &other : rules) {
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

// The rules that cannot be written: those the last reload left out, and
// stored rules whose content is no longer accepted.
QMap<int, QString> KMReverseproxyPrivate::leftOut() const
{
    QMap<int, QString> out = reload ? reload->disabled() : QMap<int, QString>();
    for (auto rule = unsafeStored.cbegin(); rule != unsafeStored.cend(); ++rule)
        out.insert(rule.key(), rule.value());
    return out;
}

bool KMReverseproxyPrivate::regenerate(ZX2Journals &journals, const KMAppliancePorts &ports)
{
    QList<KMRule> rules;
    if (!readRules(rules))
        return sqlError(journals);
    if (!KMApacheSite::write(journals, KMApacheReload::liveFiles(rules, leftOut(), ports)))
        return false;
    if (reload)
        reload->schedule();
    return true;
}

bool KMReverseproxyPrivate::commit(ZX2Journals &journals, const QList<KMRule> &before,
                                   const QList<KMRule> &after, int fresh, bool test,
                                   const std::function<bool()> &store, const KMAppliancePorts &ports)
{
    const QMap<int, QString> out = leftOut();
    auto putBack = [&] {
        ZX2Journals ignored;
        KMApacheSite::write(ignored, KMApacheReload::liveFiles(before, out, ports));
        return false;
    };
    QMap<int, QString> candidateOut = out;
    candidateOut.remove(fresh);
    if (!KMApacheSite::write(journals, KMApacheReload::liveFiles(after, candidateOut, ports)))
        return putBack();
    if (test) {
        const KMApacheVerdict verdict = KMApacheSite::configTest();
        if (!verdict.accepted) {
            putBack();
            return fail(journals, ZX2Error::ERR_PARAMS,
                        QStringLiteral("参数内容错误(httpheaders): ") + verdict.reason);
        }
    }
    if (!store())
        return putBack();
    unsafeStored.remove(fresh);
    if (reload) {
        reload->forget(fresh);
        reload->schedule();
    }
    return true;
}

KMReverseproxy::KMReverseproxy(QObject *parent)
    : QObject(parent)
    , d(new KMReverseproxyPrivate)
{
}

KMReverseproxy::~KMReverseproxy()
{
    d->reload.reset(); // its worker reads the rules through d until it ends
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
    d->reload.reset(new KMApacheReload(&d->writeLock, [this](QList<KMRule> &rules) {
        return d->readRules(rules);
    }));
    {
        std::lock_guard<std::mutex> locker(d->writeLock);
        QList<KMRule> rules;
        if (d->readRules(rules))
            d->unsafeStored = KMApacheReload::unsafeRules(rules);
    }
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
    std::lock_guard<std::mutex> locker(d->writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    const KMRule rule = KMRule::fromParams(params);
    if (!d->contentSafe(journals, rule))
        return false;
    QList<KMRule> before;
    const bool readable = d->readRules(before);
    if (KMAppliance::isThisApache(rule.dest, ports, KMRule::customPorts(before, rule)))
        return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
    if (KMAppliance::reservedSource(rule.source.port, rule.source.path, ports))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));
    // A custom port carries one rule; the appliance web ports carry many.
    if (rule.source.port > 0 && rule.source.port != ports.of(rule.source.protocol)
        && d->portTaken(rule.source.port, 0, readable ? &before : nullptr))
        return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));

    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_exists_name"), {{QStringLiteral("name"), rule.name}}))
        return d->sqlError(journals);
    if (!rows.isEmpty())
        return fail(journals, ZX2Error::ERR_EXISTS, QStringLiteral("名称已存在"));
    if (!readable || !d->validSource(rule, before, 0, ports))
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("来源路径已存在"));
    QList<KMRule> after = before;
    after << rule;
    after.last().pxyno = before.isEmpty() ? 1 : before.last().pxyno + 1; // the store numbers upwards
    return d->commit(journals, before, after, 0, rule.writesDirectives(), [&] {
        int changes = 0;
        int lastId = 0;
        return d->db.call(changes, lastId, QStringLiteral("reverseproxy_append"), rule.storedValues())
               || d->sqlError(journals);
    }, ports);
}

bool KMReverseproxy::change(ZX2Journals &journals, const QJsonObject &params)
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    KMRule rule = KMRule::fromParams(params, true);
    if (!d->contentSafe(journals, rule))
        return false;
    rule.pxyno = toInt(params.value(QStringLiteral("pxyno")));

    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    const auto found = std::find_if(before.cbegin(), before.cend(),
                                    [&](const KMRule &other) { return other.pxyno == rule.pxyno; });
    if (found == before.cend())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    const KMRuleSide stored = KMRule::fromParams(found->params, true).source;
    const bool sameSource = rule.source.protocol == stored.protocol && rule.source.host == stored.host
                            && rule.source.port == stored.port && rule.source.path == stored.path;
    // Checked as a create whatever moved: the changed rule is written even
    // when the stored one was left out.
    if (KMAppliance::isThisApache(rule.dest, ports, KMRule::customPorts(before, rule)))
        return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
    if (!sameSource) {
        // Apache itself listens on the appliance web ports, so they are not exempt here.
        if (rule.source.port != stored.port && rule.source.port != 0
            && d->portTaken(rule.source.port, rule.pxyno, &before))
            return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));
    }
    if (KMAppliance::reservedSource(rule.source.port, rule.source.path, ports))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));

    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_exists_name"),
                    {{QStringLiteral("pxyno"), rule.pxyno}, {QStringLiteral("name"), rule.name}}))
        return d->sqlError(journals);
    if (!rows.isEmpty())
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("名称已存在"));
    if (!d->validSource(rule, before, rule.pxyno, ports))
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("源地址已存在"));
    QList<KMRule> after = before;
    KMRule &changed = after[int(found - before.cbegin())];
    changed = KMRule::fromParams(params); // as the store will keep it
    changed.pxyno = rule.pxyno;
    return d->commit(journals, before, after, rule.pxyno, rule.writesDirectives(), [&] {
        QJsonObject values = rule.storedValues();
        values.insert(QStringLiteral("pxyno"), rule.pxyno);
        int changes = 0;
        int lastId = 0;
        if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_change"), values))
            return d->sqlError(journals);
        return changes > 0 || fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    }, ports);
}

bool KMReverseproxy::remove(ZX2Journals &journals, int pxyno)
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    QList<KMRule> after = before;
    after.erase(std::remove_if(after.begin(), after.end(),
                               [pxyno](const KMRule &rule) { return rule.pxyno == pxyno; }),
                after.end());
    if (after.size() == before.size())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    return d->commit(journals, before, after, pxyno, false, [&] {
        int changes = 0;
        int lastId = 0;
        if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_remove"),
                        {{QStringLiteral("pxyno"), pxyno}}))
            return d->sqlError(journals);
        return changes > 0 || fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    }, ports);
}

bool KMReverseproxy::status(ZX2Journals &, QJsonObject &results) const
{
    if (d->reload)
        results = d->reload->status();
    return true;
}

bool KMReverseproxy::mapTo(ZX2Journals &journals) const
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    return d->regenerate(journals, KMAppliance::webPorts());
}
