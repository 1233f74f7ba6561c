#include "kmreverseproxy.h"

#include "kmappliance.h"
#include "kmlivesite.h"
#include "kmpaths.h"
#include "kmreverseproxyresources.h"
#include "kmrule.h"
#include "zx2dbsqlite.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2utils.h"

#include <QHash>

#include <algorithm>
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

// Names are unique regardless of ASCII letter case, as the store's UPPER()
// compares them.
bool sameName(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        const QChar x = a.at(i);
        const QChar y = b.at(i);
        if (x != y && (x.unicode() >= 0x80 || y.unicode() >= 0x80 || x.toUpper() != y.toUpper()))
            return false;
    }
    return true;
}

} // namespace

class KMReverseproxyPrivate
{
public:
    ZX2DBSqlite db;
    // Serialises create, change, remove and mapTo from their first check to
    // the last file written, so two requests never both pass the same check
    // and regenerations never interleave. Taken before the site's own lock.
    std::mutex writeLock;
    // What Apache serves; created by start.
    std::unique_ptr<KMLiveSite> site;

    // Rules as last read, by number, so that a rule whose stored text did
    // not change is not parsed again (most of a regeneration otherwise).
    // Guarded by writeLock, like every call of readRules.
    struct ParsedRule
    {
        QString text;
        KMRule rule;
        qint64 bytes = 0; // of the stored text in UTF-8
    };
    QHash<int, ParsedRule> parsed;
    qint64 storedBytes = 0; // of every stored parameter object, as last read

    // The whole rule table, in rule-number order. Call with writeLock held.
    bool readRules(QList<KMRule> &rules);
    // Whether the rule's values may be written into Apache's configuration.
    static bool contentSafe(ZX2Journals &journals, const KMRule &rule);
    // Every other check a rule must pass to join table (which holds it under
    // number skipPxyno when it is changed): its source and destination, its
    // port, its name and its source again against the other rules.
    bool admissible(ZX2Journals &journals, const KMRule &rule, const QList<KMRule> &table,
                    int skipPxyno, const KMAppliancePorts &ports) const;
    // Appends each of rules (parameter objects) to table once it passed the
    // checks of a create against table as it stands, the rules before it
    // included. They carry numbers below 0 until stored: the checks skip
    // only the rule numbered as the one being changed, so each sees them.
    bool admitAll(ZX2Journals &journals, const QJsonArray &rules, QList<KMRule> &table,
                  const KMAppliancePorts &ports) const;
    // Appends the rules of table from index firstNew on, after emptying the
    // store with replace, in one transaction; they get the store's numbers.
    bool storeAll(ZX2Journals &journals, QList<KMRule> &table, int firstNew, bool replace);
    static bool validSource(const KMRule &rule, const QList<KMRule> &rules, int skipPxyno,
                            const KMAppliancePorts &ports);
    // Whether another of rules has the custom port, another program holds
    // it, or that cannot be known.
    bool portTaken(int port, int skipPxyno, const QList<KMRule> &rules) const;
    // Who holds the ports, read at the first question of a change; each
    // change starts without. Guarded by writeLock.
    mutable std::unique_ptr<KMLiveSite::PortHolders> holders;
    // Whether the stored parameters would grow past kMaxStored by
    // added bytes less removed.
    bool storeFull(ZX2Journals &journals, qint64 added, qint64 removed) const;
    // The stored rules this version does not write, with the reason.
    static QMap<int, QString> screen(const QList<KMRule> &rules);
    bool sqlError(ZX2Journals &journals) const;
    // Whether an existing store reads as a rule database; fills the journal if not.
    bool storeReadable(ZX2Journals &journals);
    void useWriteAheadLog();
    // Moves the write-ahead log into the database file, so the file alone
    // holds every answered change (backups copy that file).
    void checkpoint();

    // The stored parameter objects together may not grow past this (UTF-8
    // bytes): every listing carries them all in one answer.
    static const qint64 kMaxStored = 32 * 1024 * 1024;
};

bool KMReverseproxyPrivate::portTaken(int port, int skipPxyno, const QList<KMRule> &rules) const
{
    for (const KMRule &rule : rules) {
        if (rule.source.port > 0 && rule.source.port == port && rule.pxyno != skipPxyno)
            return true;
    }
    if (!holders)
        holders.reset(new KMLiveSite::PortHolders(site->portHolders()));
    return !holders->known() || holders->foreign(port);
}

bool KMReverseproxyPrivate::readRules(QList<KMRule> &rules)
{
    QList<QJsonObject> rows;
    if (!db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject()))
        return false;
    QHash<int, ParsedRule> current;
    current.reserve(rows.size());
    rules.reserve(rows.size());
    qint64 bytes = 0;
    for (const QJsonObject &row : qAsConst(rows)) {
        const int pxyno = toInt(row.value(QStringLiteral("pxyno")));
        const QString text = toString(row.value(QStringLiteral("params")));
        ParsedRule entry = parsed.value(pxyno);
        if (entry.text != text || entry.rule.pxyno != pxyno)
            entry = {text, KMRule::fromRow(row), text.toUtf8().size()};
        rules << entry.rule;
        bytes += entry.bytes;
        current.insert(pxyno, entry);
    }
    parsed = current; // forgets removed rules
    storedBytes = bytes;
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

bool KMReverseproxyPrivate::contentSafe(ZX2Journals &journals, const KMRule &rule)
{
    const QString field = rule.unsafeField();
    return field.isEmpty()
           || fail(journals, ZX2Error::ERR_PARAMS, QStringLiteral("参数内容错误(") + field + QLatin1Char(')'));
}

bool KMReverseproxyPrivate::admissible(ZX2Journals &journals, const KMRule &rule,
                                       const QList<KMRule> &table, int skipPxyno,
                                       const KMAppliancePorts &ports) const
{
    if (KMAppliance::isThisApache(rule.dest, ports, KMRule::customPorts(table, rule)))
        return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
    if (KMAppliance::reservedSource(rule.source.port, rule.source.path, ports))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));
    // A custom port carries one rule; the appliance web ports carry many,
    // but a change may not move a rule onto one by number (Apache listens
    // there). A changed rule keeps the port it already has.
    const bool changed = skipPxyno != 0;
    const int port = rule.source.port;
    const auto stored = std::find_if(table.cbegin(), table.cend(),
                                     [skipPxyno](const KMRule &other) { return other.pxyno == skipPxyno; });
    const bool portKept = changed && stored != table.cend() && stored->source.port == port;
    const bool exempt = changed ? portKept : port == ports.of(rule.source.protocol);
    if (port > 0 && !exempt && ((changed && ports.isWebPort(port)) || portTaken(port, skipPxyno, table)))
        return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));
    for (const KMRule &other : table) {
        if (other.pxyno != skipPxyno && sameName(other.name, rule.name))
            return fail(journals, changed ? ZX2Error::ERR_CONFLICT : ZX2Error::ERR_EXISTS,
                        QStringLiteral("名称已存在"));
    }
    if (!validSource(rule, table, skipPxyno, ports))
        return fail(journals, ZX2Error::ERR_CONFLICT,
                    changed ? QStringLiteral("源地址已存在") : QStringLiteral("来源路径已存在"));
    return true;
}

bool KMReverseproxyPrivate::admitAll(ZX2Journals &journals, const QJsonArray &rules,
                                    QList<KMRule> &table, const KMAppliancePorts &ports) const
{
    for (int i = 0; i < rules.size(); ++i) {
        const QJsonObject params = rules.at(i).toObject();
        KMRule rule = KMRule::fromParams(params);
        rule.pxyno = -1 - i;
        if (!contentSafe(journals, rule) || !admissible(journals, rule, table, 0, ports))
            return fail(journals, journals.err(), KMReverseproxy::importLabel(i, params) + journals.errmsg());
        table << rule;
    }
    return true;
}

bool KMReverseproxyPrivate::storeAll(ZX2Journals &journals, QList<KMRule> &table, int firstNew,
                                    bool replace)
{
    if (!db.transactionBegin())
        return fail(journals, ZX2Error::ERR_SQLERROR, QStringLiteral("cannot begin a transaction"));
    int changes = 0;
    int lastId = 0;
    bool stored = !replace || db.call(changes, lastId, QStringLiteral("reverseproxy_clear"), QJsonObject());
    for (int i = firstNew; stored && i < table.size(); ++i) {
        stored = db.call(changes, lastId, QStringLiteral("reverseproxy_append"), table.at(i).storedValues());
        table[i].pxyno = lastId;
    }
    if (stored && db.transactionCommit())
        return true;
    const QString error = stored ? QStringLiteral("cannot commit the transaction") : db.lastError();
    db.transactionRollback();
    return fail(journals, ZX2Error::ERR_SQLERROR, error);
}

bool KMReverseproxyPrivate::storeFull(ZX2Journals &journals, qint64 added, qint64 removed) const
{
    if (storedBytes - removed + added <= kMaxStored)
        return false;
    journals.setErr(ZX2Error::ERR_NOT_ENOUGH, QStringLiteral("规则总量超出上限(参数超过32 MiB)"));
    return true;
}

QMap<int, QString> KMReverseproxyPrivate::screen(const QList<KMRule> &rules)
{
    QMap<int, QString> out;
    const KMAppliancePorts ports = KMAppliance::webPorts();
    for (const KMRule &rule : rules) {
        const QString field = rule.unsafeField();
        if (!field.isEmpty())
            out.insert(rule.pxyno, QStringLiteral("参数内容错误(") + field + QLatin1Char(')'));
        else if (KMAppliance::reservedSource(rule.source.port, rule.source.path, ports))
            out.insert(rule.pxyno, QStringLiteral("源路径已被保留不可用"));
        else if (KMAppliance::isThisApache(rule.dest, ports, KMRule::customPorts(rules, rule)))
            out.insert(rule.pxyno, QStringLiteral("来源和目标不能完全一致"));
    }
    return out;
}

bool KMReverseproxyPrivate::sqlError(ZX2Journals &journals) const
{
    return fail(journals, ZX2Error::ERR_SQLERROR, db.lastError());
}

// A commit in the write-ahead log needs one sync instead of the rollback
// journal's three. FULL keeps every answered change on disk.
void KMReverseproxyPrivate::useWriteAheadLog()
{
    int changes = 0;
    int lastId = 0;
    db.exec(changes, lastId, QStringLiteral("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"),
            QJsonObject(), QJsonObject());
}

void KMReverseproxyPrivate::checkpoint()
{
    int changes = 0;
    int lastId = 0;
    db.exec(changes, lastId, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE);"), QJsonObject(),
            QJsonObject());
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

KMReverseproxy::KMReverseproxy(QObject *parent)
    : QObject(parent)
    , d(new KMReverseproxyPrivate)
{
}

KMReverseproxy::~KMReverseproxy()
{
    stop();
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
    // Once a change is live, the database file alone holds it.
    d->site.reset(new KMLiveSite([this] {
        std::lock_guard<std::mutex> locker(d->writeLock);
        d->checkpoint();
    }));
    // Whatever files are in place (an older table's, or none yet), Apache
    // gets those of this database.
    std::lock_guard<std::mutex> locker(d->writeLock);
    QList<KMRule> rules;
    if (!d->readRules(rules)) {
        d->sqlError(journals);
        d->db.close();
        return false;
    }
    // Files that cannot be written now do not stop the service: the reload
    // worker writes them again and reports the outcome.
    ZX2Journals files;
    d->site->start(files, rules, KMReverseproxyPrivate::screen(rules));
    return true;
}

void KMReverseproxy::stop()
{
    if (!d->site)
        return;
    d->site->stop();
    // A request still running (one that did not end in time) keeps its
    // change in the write-ahead log, which SQLite reads back at the next open.
    std::unique_lock<std::mutex> locker(d->writeLock, std::try_to_lock);
    if (locker.owns_lock())
        d->checkpoint();
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
    d->holders.reset();
    const KMAppliancePorts ports = KMAppliance::webPorts();
    const KMRule rule = KMRule::fromParams(params);
    if (!d->contentSafe(journals, rule))
        return false;
    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    if (!d->admissible(journals, rule, before, 0, ports))
        return false;
    const QJsonObject values = rule.storedValues();
    const qint64 bytes = values.value(QStringLiteral("params")).toString().toUtf8().size();
    if (d->storeFull(journals, bytes, 0))
        return false;
    QList<KMRule> after = before;
    after << rule; // numbered by the store below
    KMLiveSite::Change staged = d->site->change();
    if (!staged.write(journals, after, 0, ports) || (rule.writesDirectives() && !staged.test(journals)))
        return false;
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_append"), values))
        return d->sqlError(journals);
    after.last().pxyno = lastId;
    staged.keep(after);
    return true;
}

bool KMReverseproxy::change(ZX2Journals &journals, const QJsonObject &params)
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    d->holders.reset();
    const KMAppliancePorts ports = KMAppliance::webPorts();
    KMRule rule = KMRule::fromParams(params, true);
    rule.pxyno = toInt(params.value(QStringLiteral("pxyno")));
    if (!d->contentSafe(journals, rule))
        return false;
    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    const auto found = std::find_if(before.cbegin(), before.cend(),
                                    [&](const KMRule &other) { return other.pxyno == rule.pxyno; });
    if (found == before.cend())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    if (!d->admissible(journals, rule, before, rule.pxyno, ports))
        return false;
    QJsonObject values = rule.storedValues();
    values.insert(QStringLiteral("pxyno"), rule.pxyno);
    if (d->storeFull(journals, values.value(QStringLiteral("params")).toString().toUtf8().size(),
                     d->parsed.value(rule.pxyno).bytes))
        return false;
    QList<KMRule> after = before;
    KMRule &changed = after[int(found - before.cbegin())];
    changed = KMRule::fromParams(params); // as the store will keep it
    changed.pxyno = rule.pxyno;
    KMLiveSite::Change staged = d->site->change();
    if (!staged.write(journals, after, rule.pxyno, ports)
        || (rule.writesDirectives() && !staged.test(journals)))
        return false;
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_change"), values))
        return d->sqlError(journals);
    if (changes == 0)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    staged.keep(after);
    return true;
}

bool KMReverseproxy::remove(ZX2Journals &journals, int pxyno)
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    QList<KMRule> after = before;
    after.erase(std::remove_if(after.begin(), after.end(),
                               [pxyno](const KMRule &rule) { return rule.pxyno == pxyno; }),
                after.end());
    if (after.size() == before.size())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    KMLiveSite::Change staged = d->site->change();
    if (!staged.write(journals, after, pxyno, KMAppliance::webPorts()))
        return false;
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno}}))
        return d->sqlError(journals);
    if (changes == 0)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    staged.keep(after);
    return true;
}

QString KMReverseproxy::importLabel(int index, const QJsonObject &params)
{
    const QString name = toString(params.value(QStringLiteral("name"))).trimmed();
    return name.isEmpty() ? QStringLiteral("rule %1: ").arg(index + 1)
                          : QStringLiteral("rule %1 (%2): ").arg(index + 1).arg(name);
}

bool KMReverseproxy::importRules(ZX2Journals &journals, const QJsonArray &rules, bool replace, bool dryRun)
{
    if (rules.isEmpty() && !replace)
        return true; // nothing to change, nothing to reload
    // Each rule is checked against every one before it, under the change
    // lock: the bound keeps one request from holding every change up for
    // long (some 4 s here at the bound). Appliances keep dozens of rules.
    if (rules.size() > kMaxImport)
        return fail(journals, ZX2Error::ERR_NOT_ENOUGH,
                    QStringLiteral("一次导入的规则过多(最多%1条)").arg(kMaxImport));
    std::lock_guard<std::mutex> locker(d->writeLock);
    d->holders.reset();
    const KMAppliancePorts ports = KMAppliance::webPorts();
    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    // Replaced rules count for nothing: not their names, sources or ports.
    QList<KMRule> after = replace ? QList<KMRule>() : before;
    const int firstNew = after.size();
    if (!d->admitAll(journals, rules, after, ports))
        return false;
    qint64 bytes = 0;
    bool directives = false;
    for (int i = firstNew; i < after.size(); ++i) {
        bytes += after.at(i).storedValues().value(QStringLiteral("params")).toString().toUtf8().size();
        directives = directives || after.at(i).writesDirectives();
    }
    if (d->storeFull(journals, bytes, replace ? d->storedBytes : 0))
        return false;
    KMLiveSite::Change staged = d->site->change();
    if (!staged.write(journals, after, 0, ports))
        return false;
    if (directives && !staged.test(journals)) {
        // The rules of the file carry numbers -1 - index until stored.
        const int index = -1 - staged.refusedRule();
        if (index >= 0 && index < rules.size())
            fail(journals, journals.err(), importLabel(index, rules.at(index).toObject()) + journals.errmsg());
        return false;
    }
    if (dryRun)
        return true; // the change ends unkept: the files of before go back
    if (!d->storeAll(journals, after, firstNew, replace))
        return false;
    staged.keep(after);
    return true;
}

bool KMReverseproxy::status(ZX2Journals &, QJsonObject &results) const
{
    if (d->site)
        results = d->site->status();
    return true;
}

bool KMReverseproxy::mapTo(ZX2Journals &journals) const
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    QList<KMRule> rules;
    if (!d->readRules(rules))
        return d->sqlError(journals);
    KMLiveSite::Change staged = d->site->change();
    if (!staged.write(journals, rules, 0, KMAppliance::webPorts()))
        return false;
    staged.keep(rules);
    return true;
}
