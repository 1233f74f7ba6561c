#include "kmreverseproxy.h"

#include "kmacmewatch.h"
#include "kmappliance.h"
#include "kmcertificate.h"
#include "kmlivesite.h"
#include "kmnamelookup.h"
#include "kmownnames.h"
#include "kmpaths.h"
#include "kmreverseproxyresources.h"
#include "kmrule.h"
#include "kmruleaccess.h"
#include "kmstoremessage.h"
#include "zx2dbsqlite.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2utils.h"

#include <QHash>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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
QString nameKey(const QString &name)
{
    QString key = name;
    for (QChar &c : key) {
        if (c.unicode() < 0x80)
            c = c.toUpper();
    }
    return key;
}

// The names a resolver must answer before the rules can be judged.
QStringList lookupNames(const QList<KMRule> &rules)
{
    QStringList names;
    for (const KMRule &rule : rules) {
        for (const QString &host : {rule.dest.host, rule.source.host}) {
            const QString name = KMAppliance::lookupName(host);
            if (!name.isEmpty())
                names << name;
        }
    }
    return names;
}

// The checks a rule must pass to join a table, against sets built once for
// the whole table (an import of thousands adds each rule to them in turn):
// its destination, its source and port, its name, its source again against
// the other rules. A change checks against the table without the rule it
// rewrites. Names were looked up before (names), outside the change lock.
class Admission
{
public:
    Admission(const QList<KMRule> &table, int skipPxyno, const KMAppliancePorts &ports,
              std::function<bool(int)> foreignPort, const KMNameLookup &names)
        : m_ports(ports), m_foreignPort(std::move(foreignPort)), m_lookup(names)
    {
        for (const KMRule &rule : table) {
            if (rule.pxyno == skipPxyno)
                m_changed = &rule;
            else
                add(rule);
        }
    }

    void add(const KMRule &rule)
    {
        m_names.insert(nameKey(rule.name));
        m_sources.insert(rule.conflictKey(m_ports));
        if (rule.source.port > 0)
            m_customPorts.insert(rule.source.port);
        m_protocols.insert(rule.source.effectivePort(m_ports), rule.source.protocol);
    }

    bool admit(ZX2Journals &journals, const KMRule &rule) const
    {
        QSet<int> served = m_customPorts;
        if (rule.source.port > 0)
            served.insert(rule.source.port);
        // A name decides only where Apache serves the destination's port, or
        // the appliance reserves the source's path.
        const int destPort = rule.dest.effectivePort(m_ports);
        if (late(rule.dest.host) && (m_ports.isWebPort(destPort) || served.contains(destPort)))
            return lateName(journals, rule.dest.host);
        if (KMAppliance::isThisApache(rule.dest, m_ports, served, m_lookup))
            return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
        if (late(rule.source.host) && KMAppliance::reservedSource(rule.source.port, rule.source.path, m_ports))
            return lateName(journals, rule.source.host);
        if (KMAppliance::reservedSource(rule.source, m_ports, m_lookup))
            return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));
        // One port, one protocol: a web port's own, or that of the rules
        // already on a custom port.
        const int site = rule.source.effectivePort(m_ports);
        if (m_ports.isWebPort(site) ? site != m_ports.of(rule.source.protocol)
                                    : m_protocols.value(site, rule.source.protocol) != rule.source.protocol)
            return m_ports.isWebPort(site)
                       ? fail(journals, ZX2Error::ERR_PARAMS, QStringLiteral("参数内容错误(source.protocol)"))
                       : fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));
        if (!portFree(rule))
            return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));
        const bool changed = m_changed != nullptr;
        if (m_names.contains(nameKey(rule.name)))
            return fail(journals, changed ? ZX2Error::ERR_CONFLICT : ZX2Error::ERR_EXISTS,
                        QStringLiteral("名称已存在"));
        if (m_sources.contains(rule.conflictKey(m_ports)))
            return fail(journals, ZX2Error::ERR_CONFLICT,
                        changed ? QStringLiteral("源地址已存在") : QStringLiteral("来源路径已存在"));
        return true;
    }

private:
    // Whether host had to be looked up and gave no answer in time.
    bool late(const QString &host) const
    {
        const QString name = KMAppliance::lookupName(host);
        return !name.isEmpty() && !m_lookup.answered(name);
    }
    static bool lateName(ZX2Journals &journals, const QString &host)
    {
        return fail(journals, ZX2Error::ERR_TIMEOUT,
                    QStringLiteral("域名解析超时(") + KMAppliance::lookupName(host) + QLatin1Char(')'));
    }

    // A custom port is free when the table's rules have it already or no
    // other program holds it. A change may not move a rule onto a web port
    // by number (Apache listens there); a changed rule keeps its own port.
    bool portFree(const KMRule &rule) const
    {
        const int port = rule.source.port;
        const bool portKept = m_changed && m_changed->source.port == port;
        const bool exempt = m_changed ? portKept : port == m_ports.of(rule.source.protocol);
        if (port <= 0 || exempt)
            return true;
        if (m_changed && m_ports.isWebPort(port))
            return false;
        return m_customPorts.contains(port) || !m_foreignPort(port);
    }

    KMAppliancePorts m_ports;
    std::function<bool(int)> m_foreignPort;
    KMNameLookup m_lookup;
    const KMRule *m_changed = nullptr;
    QSet<QString> m_names;
    QSet<QString> m_sources;
    QSet<int> m_customPorts;
    QHash<int, QString> m_protocols; // of each site (effective port) in the table
};

} // namespace

class KMReverseproxyPrivate
{
public:
    ZX2DBSqlite db;
    // Listings and single reads use a connection of their own: each of its
    // reads sees the table as last committed, never an import's transaction
    // half done on db. One read at a time: a statement still stepping on
    // the connection would hold its snapshot for the next, which would then
    // miss changes committed meanwhile.
    ZX2DBSqlite reader;
    std::mutex readLock;
    bool openReader(const QString &path);
    // Serialises create, change, remove and mapTo from their first check to
    // the last file written, so two requests never both pass the same check
    // and regenerations never interleave. Taken before the site's own lock.
    std::mutex writeLock;
    // What Apache serves; created by start.
    std::unique_ptr<KMLiveSite> site;
    // Puts certificates that mod_md obtained in use; created by start.
    std::unique_ptr<KMAcmeWatch> acmeWatch;

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
    // Whether the rule's values may be written into Apache's configuration;
    // when they may, its clear passwords are replaced by their hashes.
    static bool contentSafe(ZX2Journals &journals, KMRule &rule, const KMNameLookup &names);
    // Who holds the ports, read at the first question of a change; each
    // change starts without. Guarded by writeLock.
    mutable std::unique_ptr<KMLiveSite::PortHolders> holders;
    bool foreignPort(int port) const;
    // Every change of the table takes this one path: the candidate table
    // is written and (when it writes directives) tested, stored by store,
    // then kept; refused is told the rule Apache refused (its number in
    // the candidate table).
    struct TableChange
    {
        QList<KMRule> after; // the table as it will be; new rules numbered below 0
        int fresh = 0;       // the rule changed or removed, whose left-out entry goes
        bool directives = false;
        bool dryRun = false;
        std::function<bool(ZX2Journals &, QList<KMRule> &)> store;
        std::function<void(ZX2Journals &, int)> refused;
        KMAuditEntry audit; // recorded with the change when its command is set
    };
    bool apply(ZX2Journals &journals, TableChange &change, const KMAppliancePorts &ports);
    // Stores the change and records it in the audit trail, in one transaction.
    bool storeRecorded(ZX2Journals &journals, TableChange &change);
    // Appends the rules of table from index firstNew on, after emptying the
    // store with replace; they get the store's numbers.
    bool storeAll(ZX2Journals &journals, QList<KMRule> &table, int firstNew, bool replace);
    // Whether the stored parameters would grow past kMaxStored by
    // added bytes less removed.
    bool storeFull(ZX2Journals &journals, qint64 added, qint64 removed) const;
    // The stored rules this version does not write, with the reason; names
    // as looked up (none at start, so that the socket serves at once).
    static QMap<int, QString> screen(const QList<KMRule> &rules, const KMNameLookup &names);
    // What screen found at start, and the check of the stored names after it.
    QMap<int, QString> screened;
    std::thread nameCheck;
    bool sqlError(ZX2Journals &journals) const;
    // Whether an existing store reads as a rule database; fills the journal
    // with SQLite's own verdict if not (for the start's failure line).
    bool storeReadable(ZX2Journals &journals);
    void useWriteAheadLog();
    // Moves the write-ahead log into the database file, so the file alone
    // holds every answered change (backups copy that file). False (and
    // logged) when the log stayed in use.
    bool checkpoint();
    static const int kCheckpointAttempts = 20;

    // The stored parameter objects together may not grow past this (UTF-8
    // bytes): every listing carries them all in one answer.
    static const qint64 kMaxStored = 32 * 1024 * 1024;
};

bool KMReverseproxyPrivate::foreignPort(int port) const
{
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

bool KMReverseproxyPrivate::contentSafe(ZX2Journals &journals, KMRule &rule, const KMNameLookup &names)
{
    const QString field = rule.unsafeField();
    if (!field.isEmpty())
        return fail(journals, ZX2Error::ERR_PARAMS, QStringLiteral("参数内容错误(") + field + QLatin1Char(')'));
    const bool certified = KMCertificate::kind(rule.params) == KMCertificate::Kind::Appliance
                           || KMCertificate::check(journals, rule, KMAcmeSettings::current(), KMAppliance::webPorts(),
                                                   names);
    return certified && KMRuleAccess::seal(journals, rule.params);
}

bool KMReverseproxyPrivate::storeAll(ZX2Journals &journals, QList<KMRule> &table, int firstNew,
                                    bool replace)
{
    int changes = 0;
    int lastId = 0;
    bool stored = !replace || db.call(changes, lastId, QStringLiteral("reverseproxy_clear"), QJsonObject());
    for (int i = firstNew; stored && i < table.size(); ++i) {
        stored = db.call(changes, lastId, QStringLiteral("reverseproxy_append"), table.at(i).storedValues());
        table[i].pxyno = lastId;
    }
    return stored || sqlError(journals);
}

bool KMReverseproxyPrivate::storeRecorded(ZX2Journals &journals, TableChange &change)
{
    if (!db.transactionBegin())
        return sqlError(journals);
    bool stored = change.store(journals, change.after);
    if (stored && !change.audit.cmd.isEmpty()) {
        // A created rule is numbered by the store: the last of the table.
        if (change.audit.pxyno < 0)
            change.audit.pxyno = change.after.last().pxyno;
        stored = KMAuditTrail::append(db, change.audit) || sqlError(journals);
    }
    if (stored && db.transactionCommit())
        return true;
    sqlError(journals); // before the rollback, whose outcome is not the cause
    db.transactionRollback();
    return false;
}

bool KMReverseproxyPrivate::storeFull(ZX2Journals &journals, qint64 added, qint64 removed) const
{
    if (storedBytes - removed + added <= kMaxStored)
        return false;
    journals.setErr(ZX2Error::ERR_NOT_ENOUGH, QStringLiteral("规则总量超出上限(参数超过32 MiB)"));
    return true;
}

QMap<int, QString> KMReverseproxyPrivate::screen(const QList<KMRule> &rules, const KMNameLookup &names)
{
    QMap<int, QString> out;
    const KMAppliancePorts ports = KMAppliance::webPorts();
    // Every rule's own port is among them: the ports Apache serves.
    QSet<int> served;
    for (const KMRule &rule : rules) {
        if (rule.source.port >= 1 && rule.source.port <= 65535)
            served.insert(rule.source.port);
    }
    for (const KMRule &rule : rules) {
        const QString field = rule.unsafeField();
        if (!field.isEmpty())
            out.insert(rule.pxyno, QStringLiteral("参数内容错误(") + field + QLatin1Char(')'));
        else if (KMAppliance::reservedSource(rule.source, ports, names))
            out.insert(rule.pxyno, QStringLiteral("源路径已被保留不可用"));
        else if (KMAppliance::isThisApache(rule.dest, ports, served, names))
            out.insert(rule.pxyno, QStringLiteral("来源和目标不能完全一致"));
    }
    return out;
}

bool KMReverseproxyPrivate::sqlError(ZX2Journals &journals) const
{
    return fail(journals, ZX2Error::ERR_SQLERROR, storeMessage(db.lastErrorCode()));
}

bool KMReverseproxyPrivate::openReader(const QString &path)
{
    if (!reader.openOnly(path) || !reader.loadSqlEngine(QStringLiteral(":/kmreverseproxy/engine.sql")))
        return false;
    int changes = 0;
    int lastId = 0;
    // A reader waits out a checkpoint instead of failing the listing.
    reader.exec(changes, lastId, QStringLiteral("PRAGMA query_only=1; PRAGMA busy_timeout=10000;"), QJsonObject(),
                QJsonObject());
    return true;
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

bool KMReverseproxyPrivate::checkpoint()
{
    // A listing reading through the reader at that moment holds the log (a
    // "busy" row): it ends soon, so try again a few times.
    QString error;
    for (int attempt = 0; attempt < kCheckpointAttempts; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int changes = 0;
        int lastId = 0;
        QList<QJsonObject> rows;
        if (!db.exec(changes, lastId, rows, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE);"), QJsonObject(),
                     QJsonObject())) {
            error = db.lastError();
            continue;
        }
        if (toInt(rows.value(0).value(QStringLiteral("busy"))) == 0)
            return true;
        error = QStringLiteral("the log is in use");
    }
    ZX2StatePrintln(4, QStringLiteral("cannot move the write-ahead log into the database file: ") + error);
    return false;
}

bool KMReverseproxyPrivate::storeReadable(ZX2Journals &journals)
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows;
    if (!db.exec(changes, lastId, rows, QStringLiteral("PRAGMA quick_check;"), QJsonObject(),
                 QJsonObject()))
        return fail(journals, ZX2Error::ERR_SQLERROR, db.lastError());
    const QString verdict = rows.value(0).value(QStringLiteral("quick_check")).toString();
    if (verdict != QLatin1String("ok"))
        return fail(journals, ZX2Error::ERR_SQLERROR, verdict);
    rows.clear();
    if (!db.call(rows, QStringLiteral("reverseproxy_alload"), QJsonObject()))
        return fail(journals, ZX2Error::ERR_SQLERROR, db.lastError());
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
    KMOwnNames::refresh();
    bool created = false;
    const QString path = orbaPath(QLatin1String(kReverseproxyDatabase));
    // Rules may carry credentials in their headers: no other user reads them.
    d->db.setFileMode(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    if (!d->db.open(path, QStringLiteral(":/kmreverseproxy/engine.sql"), QStringLiteral(":/kmreverseproxy/creator.sql"),
                    &created))
        return false;
    // SQLite opens any file lazily: a damaged store would only show up as an
    // error on every later request, so refuse to start on it instead.
    if (!created && !d->storeReadable(journals)) {
        d->db.close();
        return false;
    }
    d->useWriteAheadLog();
    d->db.dbUpgrades(); // "nothing to upgrade" is the usual outcome
    if (!d->openReader(path)) {
        d->db.close();
        return false;
    }
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
        d->reader.close();
        return false;
    }
    // Files that cannot be written now do not stop the service: the reload
    // worker writes them again and reports the outcome.
    ZX2Journals files;
    KMCertificate::storeFiles(files, rules);
    d->screened = KMReverseproxyPrivate::screen(rules, KMNameLookup());
    d->site->start(files, rules, d->screened);
    d->acmeWatch.reset(new KMAcmeWatch(
        [this] {
            std::lock_guard<std::mutex> held(d->writeLock);
            QList<KMRule> table;
            d->readRules(table);
            return table;
        },
        [this] {
            ZX2Journals reload;
            mapTo(reload);
        }));
    return true;
}

void KMReverseproxy::checkStoredNames()
{
    if (!d->site || d->nameCheck.joinable())
        return;
    d->nameCheck = std::thread([this] {
        QList<KMRule> rules;
        {
            std::lock_guard<std::mutex> locker(d->writeLock);
            if (!d->readRules(rules))
                return;
        }
        const KMNameLookup names(lookupNames(rules));
        std::lock_guard<std::mutex> locker(d->writeLock);
        // Changes made meanwhile passed the checks with their names.
        if (!d->readRules(rules))
            return;
        const QMap<int, QString> screened = KMReverseproxyPrivate::screen(rules, names);
        if (screened.keys() == d->screened.keys())
            return;
        d->screened = screened;
        ZX2Journals files;
        d->site->start(files, rules, screened);
    });
}

void KMReverseproxy::stop()
{
    if (!d->site)
        return;
    if (d->acmeWatch)
        d->acmeWatch->stop();
    if (d->nameCheck.joinable())
        d->nameCheck.join();
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
    std::unique_lock<std::mutex> reading(d->readLock);
    if (!d->reader.call(rows, QStringLiteral("reverseproxy_alload"), QJsonObject()))
        return fail(journals, ZX2Error::ERR_SQLERROR, storeMessage(d->reader.lastErrorCode()));
    reading.unlock();
    for (const QJsonObject &row : qAsConst(rows)) {
        const QJsonObject rule = ruleRecord(row);
        rules.insert(toString(rule.value(QStringLiteral("name"))).trimmed(), rule);
    }
    return true;
}

bool KMReverseproxy::acquit(ZX2Journals &journals, QJsonObject &rule, int pxyno) const
{
    QList<QJsonObject> rows;
    std::unique_lock<std::mutex> reading(d->readLock);
    if (!d->reader.call(rows, QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), pxyno}}))
        return fail(journals, ZX2Error::ERR_SQLERROR, storeMessage(d->reader.lastErrorCode()));
    reading.unlock();
    if (rows.isEmpty())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    rule = ruleRecord(rows.first());
    return true;
}

bool KMReverseproxyPrivate::apply(ZX2Journals &journals, TableChange &change,
                                 const KMAppliancePorts &ports)
{
    if (!KMCertificate::storeFiles(journals, change.after))
        return false;
    KMLiveSite::Change staged = site->change(change.dryRun);
    if (!staged.write(journals, change.after, change.fresh, ports))
        return false;
    if (change.directives && !staged.test(journals)) {
        if (change.refused)
            change.refused(journals, staged.refusedRule());
        return false;
    }
    if (change.dryRun)
        return true; // the change ends unkept
    if (!storeRecorded(journals, change))
        return false;
    staged.keep(change.after);
    KMCertificate::pruneFiles(change.after);
    return true;
}

bool KMReverseproxy::create(ZX2Journals &journals, const QJsonObject &params, const KMAuditEntry &audit)
{
    KMRule rule = KMRule::fromParams(params);
    rule.pxyno = -1; // until the store numbers it
    const KMNameLookup names(lookupNames({rule}));
    std::lock_guard<std::mutex> locker(d->writeLock);
    d->holders.reset();
    const KMAppliancePorts ports = KMAppliance::webPorts();
    if (!d->contentSafe(journals, rule, names))
        return false;
    KMReverseproxyPrivate::TableChange change;
    if (!d->readRules(change.after))
        return d->sqlError(journals);
    const Admission admission(change.after, 0, ports, [this](int port) { return d->foreignPort(port); }, names);
    if (!admission.admit(journals, rule))
        return false;
    const QJsonObject values = rule.storedValues();
    if (d->storeFull(journals, values.value(QStringLiteral("params")).toString().toUtf8().size(), 0))
        return false;
    change.after << rule;
    change.directives = rule.writesDirectives();
    change.audit = audit.about(rule.pxyno, rule.name, QJsonObject(), rule.params);
    change.store = [this, values](ZX2Journals &result, QList<KMRule> &after) {
        int changes = 0;
        int lastId = 0;
        if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_append"), values))
            return d->sqlError(result);
        after.last().pxyno = lastId;
        return true;
    };
    return d->apply(journals, change, ports);
}

bool KMReverseproxy::change(ZX2Journals &journals, const QJsonObject &params, const KMAuditEntry &audit)
{
    KMRule rule = KMRule::fromParams(params, true);
    rule.pxyno = toInt(params.value(QStringLiteral("pxyno")));
    const KMNameLookup names(lookupNames({rule}));
    std::lock_guard<std::mutex> locker(d->writeLock);
    d->holders.reset();
    const KMAppliancePorts ports = KMAppliance::webPorts();
    if (!d->contentSafe(journals, rule, names))
        return false;
    KMReverseproxyPrivate::TableChange change;
    if (!d->readRules(change.after))
        return d->sqlError(journals);
    const auto found = std::find_if(change.after.begin(), change.after.end(),
                                    [&](const KMRule &other) { return other.pxyno == rule.pxyno; });
    if (found == change.after.end())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    {
        const Admission admission(change.after, rule.pxyno, ports, [this](int port) { return d->foreignPort(port); },
                                  names);
        if (!admission.admit(journals, rule))
            return false;
    }
    QJsonObject values = rule.storedValues();
    values.insert(QStringLiteral("pxyno"), rule.pxyno);
    if (d->storeFull(journals, values.value(QStringLiteral("params")).toString().toUtf8().size(),
                     d->parsed.value(rule.pxyno).bytes))
        return false;
    *found = KMRule::fromParams(rule.params); // as the store will keep it
    found->pxyno = rule.pxyno;
    change.fresh = rule.pxyno;
    change.directives = rule.writesDirectives();
    change.audit = audit.about(rule.pxyno, rule.name, d->parsed.value(rule.pxyno).rule.params, found->params);
    change.store = [this, values](ZX2Journals &result, QList<KMRule> &) {
        int changes = 0;
        int lastId = 0;
        if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_change"), values))
            return d->sqlError(result);
        return changes > 0 || fail(result, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    };
    return d->apply(journals, change, ports);
}

bool KMReverseproxy::remove(ZX2Journals &journals, int pxyno, const KMAuditEntry &audit)
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    KMReverseproxyPrivate::TableChange change;
    if (!d->readRules(change.after))
        return d->sqlError(journals);
    const int before = change.after.size();
    change.after.erase(std::remove_if(change.after.begin(), change.after.end(),
                                      [pxyno](const KMRule &rule) { return rule.pxyno == pxyno; }),
                       change.after.end());
    if (change.after.size() == before)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    change.fresh = pxyno;
    const KMRule removed = d->parsed.value(pxyno).rule;
    change.audit = audit.about(pxyno, removed.name, removed.params, QJsonObject());
    change.store = [this, pxyno](ZX2Journals &result, QList<KMRule> &) {
        int changes = 0;
        int lastId = 0;
        if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno}}))
            return d->sqlError(result);
        return changes > 0 || fail(result, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    };
    return d->apply(journals, change, KMAppliance::webPorts());
}

QString KMReverseproxy::importLabel(int index, const QJsonObject &params)
{
    const QString name = toString(params.value(QStringLiteral("name"))).trimmed();
    return name.isEmpty() ? QStringLiteral("rule %1: ").arg(index + 1)
                          : QStringLiteral("rule %1 (%2): ").arg(index + 1).arg(name);
}

bool KMReverseproxy::importRules(ZX2Journals &journals, const QJsonArray &rules, bool replace, bool dryRun,
                                 const KMAuditEntry &audit)
{
    if (rules.isEmpty() && !replace)
        return true; // nothing to change, nothing to reload
    // One request may not hold every other change up for long.
    if (rules.size() > kMaxImport)
        return fail(journals, ZX2Error::ERR_NOT_ENOUGH,
                    QStringLiteral("一次导入的规则过多(最多%1条)").arg(kMaxImport));
    QList<KMRule> parsed;
    parsed.reserve(rules.size());
    for (int i = 0; i < rules.size(); ++i) {
        parsed << KMRule::fromParams(rules.at(i).toObject());
        parsed.last().pxyno = -1 - i; // until stored: Apache's refusal names it by this
    }
    const KMNameLookup names(lookupNames(parsed));
    std::lock_guard<std::mutex> locker(d->writeLock);
    d->holders.reset();
    const KMAppliancePorts ports = KMAppliance::webPorts();
    QList<KMRule> before;
    if (!d->readRules(before))
        return d->sqlError(journals);
    KMReverseproxyPrivate::TableChange change;
    // Replaced rules count for nothing: not their names, sources or ports.
    if (!replace)
        change.after = before;
    const int firstNew = change.after.size();
    Admission admission(change.after, 0, ports, [this](int port) { return d->foreignPort(port); }, names);
    qint64 bytes = 0;
    for (int i = 0; i < rules.size(); ++i) {
        const QJsonObject params = rules.at(i).toObject();
        KMRule &rule = parsed[i];
        if (!d->contentSafe(journals, rule, names) || !admission.admit(journals, rule))
            return fail(journals, journals.err(), importLabel(i, params) + journals.errmsg());
        admission.add(rule);
        change.after << rule;
        bytes += rule.storedValues().value(QStringLiteral("params")).toString().toUtf8().size();
        change.directives = change.directives || rule.writesDirectives();
    }
    if (d->storeFull(journals, bytes, replace ? d->storedBytes : 0))
        return false;
    change.dryRun = dryRun;
    // What was imported, not every rule: one import may carry thousands.
    change.audit = audit.about(0, QString(), QJsonObject(),
                               {{QStringLiteral("rules"), rules.size()}, {QStringLiteral("replace"), replace}});
    change.refused = [&rules](ZX2Journals &result, int refused) {
        const int index = -1 - refused;
        if (index >= 0 && index < rules.size())
            fail(result, result.err(), importLabel(index, rules.at(index).toObject()) + result.errmsg());
    };
    change.store = [this, firstNew, replace](ZX2Journals &result, QList<KMRule> &after) {
        return d->storeAll(result, after, firstNew, replace);
    };
    return d->apply(journals, change, ports);
}

bool KMReverseproxy::status(ZX2Journals &, QJsonObject &results) const
{
    if (d->site)
        results = d->site->status();
    QList<QJsonObject> rows;
    QList<KMRule> rules;
    if (d->db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject())) {
        for (const QJsonObject &row : qAsConst(rows))
            rules << KMRule::fromRow(row);
        results.insert(QStringLiteral("certificates"), KMCertificate::status(rules));
    }
    results.insert(QStringLiteral("names"), QJsonArray::fromStringList(KMOwnNames::names()));
    return true;
}

bool KMReverseproxy::mapTo(ZX2Journals &journals) const
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    KMReverseproxyPrivate::TableChange change;
    if (!d->readRules(change.after))
        return d->sqlError(journals);
    change.store = [](ZX2Journals &, QList<KMRule> &) { return true; };
    return d->apply(journals, change, KMAppliance::webPorts());
}

bool KMReverseproxy::log(ZX2Journals &journals, QJsonArray &entries, int limit, int pxyno) const
{
    return KMAuditTrail::list(d->db, entries, limit, pxyno) || d->sqlError(journals);
}

void KMReverseproxy::logRefused(KMAuditEntry entry)
{
    if (entry.cmd.isEmpty())
        return;
    // Transactions share the one connection: none may run beside a change's.
    std::lock_guard<std::mutex> locker(d->writeLock);
    QList<QJsonObject> rows;
    if (entry.pxyno > 0
        && d->db.call(rows, QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), entry.pxyno}})
        && !rows.isEmpty()) {
        const KMRule stored = KMRule::fromRow(rows.first());
        entry = entry.about(entry.pxyno, entry.name.isEmpty() ? stored.name : entry.name, stored.params,
                            entry.after.toObject());
    }
    if (d->db.transactionBegin()) {
        if (KMAuditTrail::append(d->db, entry) && d->db.transactionCommit())
            return;
        d->db.transactionRollback();
    }
    ZX2StatePrintln(4, QStringLiteral("cannot record a refused change in the audit trail: ") + d->db.lastError());
}
