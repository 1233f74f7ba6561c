#include "kmreverseproxy.h"

#include "kmapacheconf.h"
#include "kmreverseproxyresources.h"
#include "zx2dbsqlite.h"
#include "zx2error.h"
#include "zx2file.h"
#include "zx2journals.h"
#include "zx2paths.h"
#include "zx2utils.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QNetworkInterface>
#include <QProcess>

namespace {

const int kNetstatWait = 5000; // ms, for starting and again for finishing

// One side (source or dest) of a request, normalised.
struct KMRuleSide
{
    QString protocol; // trimmed, lower case
    QString host;     // trimmed
    int port = 0;     // as received; 0 is the appliance web port of the protocol
    QString path;     // trimmed, "/" in front
};

KMRuleSide readSide(const QJsonValue &value, bool collapseSlashes)
{
    const QJsonObject side = value.toObject();
    KMRuleSide result;
    result.protocol = toString(side.value(QStringLiteral("protocol"))).trimmed().toLower();
    result.host = toString(side.value(QStringLiteral("host"))).trimmed();
    result.port = toInt(side.value(QStringLiteral("port")));
    result.path = toString(side.value(QStringLiteral("path"))).trimmed();
    if (collapseSlashes)
        result.path.replace(QStringLiteral("//"), QStringLiteral("/"));
    if (!result.path.startsWith(QLatin1Char('/')))
        result.path.prepend(QLatin1Char('/'));
    return result;
}

QString ruleName(const QJsonObject &params)
{
    return toString(params.value(QStringLiteral("name"))).trimmed();
}

QString sourceUrl(const KMRuleSide &source)
{
    return QStringLiteral("://:") + QString::number(source.port) + source.path;
}

// The columns that create and change store for a rule.
QJsonObject storedValues(const QString &name, const KMRuleSide &source, const QJsonObject &params)
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("srcprotocol"), source.protocol},
            {QStringLiteral("srcport"), source.port},
            {QStringLiteral("srcpath"), source.path},
            {QStringLiteral("srcurl"), sourceUrl(source)},
            {QStringLiteral("params"), jsonToString(params)}};
}

// The rule record that clients see: the stored parameters plus the number.
QJsonObject ruleRecord(const QJsonObject &row)
{
    QJsonObject rule = toJsonObject(toString(row.value(QStringLiteral("params"))));
    rule.insert(QStringLiteral("pxyno"), toInt(row.value(QStringLiteral("pxyno"))));
    return rule;
}

// The path as source conflicts compare it: trailing "/" dropped, "/" in front.
QString conflictPath(QString path)
{
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QLatin1Char('/'));
    return path;
}

// The rules of one effective source port; the attributes come from its last rule.
struct KMPortGroup
{
    QString protocol;
    QString serverName;
    bool hsts = false;
    QStringList locations;
};

// The rules by effective source port, in rule-number order within a port.
QMap<int, KMPortGroup> groupRules(const QList<QJsonObject> &rows, int httpPort, int httpsPort)
{
    QMap<int, KMPortGroup> groups;
    for (const QJsonObject &row : rows) {
        const QJsonObject rule = toJsonObject(toString(row.value(QStringLiteral("params"))));
        const QJsonObject source = rule.value(QStringLiteral("source")).toObject();
        const QString protocol = toString(source.value(QStringLiteral("protocol"))).trimmed().toLower();
        int port = toInt(source.value(QStringLiteral("port")));
        if (port < 1)
            port = protocol == QLatin1String("https") ? httpsPort : httpPort;
        KMPortGroup &group = groups[port];
        group.protocol = protocol;
        group.serverName = toString(source.value(QStringLiteral("host"))).trimmed();
        group.hsts = toBool(rule.value(QStringLiteral("hsts")));
        group.locations << KMApacheConf::locationLines(rule);
    }
    return groups;
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
    // The appliance web ports as the change holding writeLock read them when
    // it began: its checks and its regeneration all see the same values, and
    // the Define files are read once per change instead of at every check.
    bool portsTaken = false;
    int httpPort = 0;
    int httpsPort = 0;

    bool validSource(const QString &protocol, const QString &host, int port,
                     const QString &path, const QString &skipName);
    int apacheHttpPort() const;
    int apacheHttpsPort() const;
    bool occupied(int port, const QString &path) const;
    QList<int> usedPorts() const;
    QStringList localIPs() const;

    int appliancePort(const QString &protocol) const;
    bool identical(const KMRuleSide &source, const KMRuleSide &dest) const;
    bool portTaken(int port, int skipPxyno);
    bool contentSafe(ZX2Journals &journals, const QJsonObject &params) const;
    bool sqlError(ZX2Journals &journals) const;
    // Whether an existing store reads as a rule database; fills the journal if not.
    bool storeReadable(ZX2Journals &journals);
    void useWriteAheadLog();
    bool regenerate(ZX2Journals &journals);
    bool writeVirtualHosts(ZX2Journals &journals, const QMap<int, KMPortGroup> &groups);
};

namespace {

int readHttpPort()
{
    return KMApacheConf::definedPort(ZX2File::readAll(orbaPath(QLatin1String(kDesktopHttpPortFile))),
                                     QStringLiteral("ORBA_DESKTOP_HTTP_PORT"));
}

int readHttpsPort()
{
    return KMApacheConf::definedPort(ZX2File::readAll(orbaPath(QLatin1String(kDesktopHttpsPortFile))),
                                     QStringLiteral("ORBA_DESKTOP_HTTPS_PORT"));
}

// Holds the write lock for one change and takes the appliance ports for it.
class KMChangeScope
{
public:
    explicit KMChangeScope(KMReverseproxyPrivate *d) : d(d), locker(&d->writeLock)
    {
        d->httpPort = readHttpPort();
        d->httpsPort = readHttpsPort();
        d->portsTaken = true;
    }
    ~KMChangeScope() { d->portsTaken = false; }

private:
    Q_DISABLE_COPY(KMChangeScope)
    KMReverseproxyPrivate *const d;
    QMutexLocker locker;
};

} // namespace

int KMReverseproxyPrivate::apacheHttpPort() const
{
    return portsTaken ? httpPort : readHttpPort();
}

int KMReverseproxyPrivate::apacheHttpsPort() const
{
    return portsTaken ? httpsPort : readHttpsPort();
}

int KMReverseproxyPrivate::appliancePort(const QString &protocol) const
{
    if (protocol == QLatin1String("http"))
        return apacheHttpPort();
    if (protocol == QLatin1String("https"))
        return apacheHttpsPort();
    return 0;
}

bool KMReverseproxyPrivate::occupied(int port, const QString &path) const
{
    if (port != 0 && port != apacheHttpPort() && port != apacheHttpsPort())
        return false;
    return KMApacheConf::reservedPath(path);
}

QList<int> KMReverseproxyPrivate::usedPorts() const
{
    QProcess netstat;
    netstat.start(QStringLiteral("netstat"), {QStringLiteral("-tunlp")});
    if (!netstat.waitForStarted(kNetstatWait))
        return {};
    if (!netstat.waitForFinished(kNetstatWait)) {
        netstat.kill();
        netstat.waitForFinished(kNetstatWait);
        return {};
    }
    if (netstat.exitStatus() != QProcess::NormalExit || netstat.exitCode() != 0)
        return {};
    return KMApacheConf::listeningPorts(netstat.readAllStandardOutput());
}

QStringList KMReverseproxyPrivate::localIPs() const
{
    QStringList ips;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!(interface.flags() & (QNetworkInterface::IsUp | QNetworkInterface::IsRunning)))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (!entry.ip().isNull())
                ips << entry.ip().toString();
        }
    }
    ips.removeDuplicates();
    return ips;
}

bool KMReverseproxyPrivate::identical(const KMRuleSide &source, const KMRuleSide &dest) const
{
    const int sourcePort = source.port != 0 ? source.port : appliancePort(source.protocol);
    const int destPort = dest.port != 0 ? dest.port : appliancePort(dest.protocol);
    if (sourcePort != destPort || source.protocol != dest.protocol || source.path != dest.path)
        return false;
    return dest.host == QLatin1String("127.0.0.1") || dest.host == QLatin1String("localhost")
           || localIPs().contains(dest.host);
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
    return usedPorts().contains(port);
}

bool KMReverseproxyPrivate::validSource(const QString &protocol, const QString &host, int port,
                                        const QString &path, const QString &skipName)
{
    Q_UNUSED(host) // a source is protocol, port and path; the host never tells two apart
    const int httpPort = apacheHttpPort();
    const int httpsPort = apacheHttpsPort();
    auto portOf = [&](const QString &proto, int p) {
        if (p >= 1 && p <= 65535)
            return p;
        return proto == QLatin1String("https") ? httpsPort : httpPort;
    };
    const QString askedProtocol = protocol.toLower();
    const int askedPort = portOf(askedProtocol, port);
    const QString askedPath = conflictPath(path.trimmed());

    QList<QJsonObject> rows;
    if (!db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject()))
        return false;
    for (const QJsonObject &row : qAsConst(rows)) {
        if (!skipName.isEmpty() && toString(row.value(QStringLiteral("name"))) == skipName)
            continue;
        // Stored parameters keep the client's spelling; compare them the way
        // the generator writes them, or " HTTPS" would slip past "https".
        const QJsonObject source = toJsonObject(toString(row.value(QStringLiteral("params"))))
                                       .value(QStringLiteral("source")).toObject();
        const QString storedProtocol =
            toString(source.value(QStringLiteral("protocol"))).trimmed().toLower();
        if (storedProtocol == askedProtocol
            && portOf(storedProtocol, toInt(source.value(QStringLiteral("port")))) == askedPort
            && conflictPath(toString(source.value(QStringLiteral("path"))).trimmed()) == askedPath)
            return false;
    }
    return true;
}

bool KMReverseproxyPrivate::contentSafe(ZX2Journals &journals, const QJsonObject &params) const
{
    const QString field = KMApacheConf::unsafeField(params);
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

bool KMReverseproxyPrivate::writeVirtualHosts(ZX2Journals &journals,
                                              const QMap<int, KMPortGroup> &groups)
{
    const QDir directory(orbaPath(QLatin1String(kReverseproxyVirtualHosts)));
    QStringList written;
    bool result = true;
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        const QString name = group->protocol + QLatin1Char('_') + QString::number(group.key())
                             + QStringLiteral(".conf");
        const QString path = directory.absoluteFilePath(name);
        if (KMApacheConf::writeLines(path, KMApacheConf::virtualHostLines(
                                               group.key(), group->protocol, group->serverName,
                                               group->hsts, group->locations))) {
            written << name;
        } else {
            journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("自定义端口配置文保存失败：") + path);
            result = false;
        }
    }
    // Stale files go only after the new ones are in place, so a reload never
    // sees a port without its virtual host. Hidden files are not ours.
    const QStringList present = directory.entryList(QDir::Files);
    for (const QString &name : present) {
        if (!written.contains(name))
            QFile::remove(directory.absoluteFilePath(name));
    }
    return result;
}

bool KMReverseproxyPrivate::regenerate(ZX2Journals &journals)
{
    QList<QJsonObject> rows;
    if (!db.call(rows, QStringLiteral("reverseproxy_rules"), QJsonObject()))
        return sqlError(journals);
    const int httpPort = apacheHttpPort();
    const int httpsPort = apacheHttpsPort();
    QMap<int, KMPortGroup> groups = groupRules(rows, httpPort, httpsPort);
    // The web ports' rules go into the appliance's own sites, every other
    // port becomes a virtual host. (Both ports 0: all goes to http.conf.)
    const QStringList httpLines = groups.take(httpPort).locations;
    const QStringList httpsLines = groups.take(httpsPort).locations;

    bool result = writeVirtualHosts(journals, groups);
    const QString httpConf = orbaPath(QLatin1String(kReverseproxyHttpConf));
    if (!KMApacheConf::writeLines(httpConf, httpLines))
        result = fail(journals, ZX2Error::ERR_SAVE, QStringLiteral("http配置文保存失败：") + httpConf);
    const QString httpsConf = orbaPath(QLatin1String(kReverseproxyHttpsConf));
    if (!KMApacheConf::writeLines(httpsConf, httpsLines))
        result = fail(journals, ZX2Error::ERR_SAVE, QStringLiteral("https配置文保存失败：") + httpsConf);
    if (result)
        KMApacheConf::scheduleReload();
    return result;
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
        rules.insert(ruleName(rule), rule);
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
    KMChangeScope scope(d);
    if (!d->contentSafe(journals, params))
        return false;
    const QString name = ruleName(params);
    const KMRuleSide source = readSide(params.value(QStringLiteral("source")), false);
    const KMRuleSide dest = readSide(params.value(QStringLiteral("dest")), false);
    if (d->identical(source, dest))
        return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
    if (d->occupied(source.port, source.path))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));
    // A custom port carries one rule; the appliance web ports carry many.
    if (source.port > 0 && source.port != d->appliancePort(source.protocol)
        && d->portTaken(source.port, 0))
        return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));

    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_exists_name"), {{QStringLiteral("name"), name}}))
        return d->sqlError(journals);
    if (!rows.isEmpty())
        return fail(journals, ZX2Error::ERR_EXISTS, QStringLiteral("名称已存在"));
    if (!d->validSource(source.protocol, source.host, source.port, source.path, QString()))
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("来源路径已存在"));

    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_append"),
                    storedValues(name, source, params)))
        return d->sqlError(journals);
    return d->regenerate(journals);
}

bool KMReverseproxy::change(ZX2Journals &journals, const QJsonObject &params)
{
    KMChangeScope scope(d);
    if (!d->contentSafe(journals, params))
        return false;
    const int pxyno = toInt(params.value(QStringLiteral("pxyno")));
    const QString name = ruleName(params);
    const KMRuleSide source = readSide(params.value(QStringLiteral("source")), true);

    QList<QJsonObject> rows;
    if (!d->db.call(rows, QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), pxyno}}))
        return d->sqlError(journals);
    if (rows.isEmpty())
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("指定序号不存在"));
    const QString storedName = toString(rows.first().value(QStringLiteral("name")));
    const QJsonObject stored = toJsonObject(toString(rows.first().value(QStringLiteral("params"))))
                                   .value(QStringLiteral("source")).toObject();
    const int storedPort = toInt(stored.value(QStringLiteral("port")));
    const QString storedPath = toString(stored.value(QStringLiteral("path")));
    const bool sameSource = source.protocol == toString(stored.value(QStringLiteral("protocol")))
                            && source.host == toString(stored.value(QStringLiteral("host")))
                            && source.port == storedPort && source.path == storedPath;
    if (!sameSource) {
        const KMRuleSide dest = readSide(params.value(QStringLiteral("dest")), false);
        if (d->identical(source, dest))
            return fail(journals, ZX2Error::ERR_IDENTICAL, QStringLiteral("来源和目标不能完全一致"));
        // Apache itself listens on the appliance web ports, so they are not exempt here.
        if (source.port != storedPort && source.port != 0 && d->portTaken(source.port, pxyno))
            return fail(journals, ZX2Error::ERR_USED, QStringLiteral("端口号已被占用"));
    }
    if (source.path != storedPath && d->occupied(source.port, source.path))
        return fail(journals, ZX2Error::ERR_RESERVED, QStringLiteral("源路径已被保留不可用"));

    rows.clear();
    if (!d->db.call(rows, QStringLiteral("reverseproxy_exists_name"),
                    {{QStringLiteral("pxyno"), pxyno}, {QStringLiteral("name"), name}}))
        return d->sqlError(journals);
    if (!rows.isEmpty())
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("名称已存在"));
    if (!d->validSource(source.protocol, source.host, source.port, source.path, storedName))
        return fail(journals, ZX2Error::ERR_CONFLICT, QStringLiteral("源地址已存在"));

    QJsonObject values = storedValues(name, source, params);
    values.insert(QStringLiteral("pxyno"), pxyno);
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_change"), values))
        return d->sqlError(journals);
    if (changes <= 0)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    return d->regenerate(journals);
}

bool KMReverseproxy::remove(ZX2Journals &journals, int pxyno)
{
    KMChangeScope scope(d);
    int changes = 0;
    int lastId = 0;
    if (!d->db.call(changes, lastId, QStringLiteral("reverseproxy_remove"),
                    {{QStringLiteral("pxyno"), pxyno}}))
        return d->sqlError(journals);
    if (changes <= 0)
        return fail(journals, ZX2Error::ERR_NOT_EXISTS, QStringLiteral("序号不存在"));
    return d->regenerate(journals);
}

bool KMReverseproxy::mapTo(ZX2Journals &journals) const
{
    KMChangeScope scope(d);
    return d->regenerate(journals);
}
