#include "kmapacheconf.h"

#include "kmappliance.h"
#include "kmcertificate.h"
#include "kmownnames.h"
#include "kmpaths.h"
#include "kmruleaccess.h"
#include "zx2utils.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QHash>
#include <QMap>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QSet>
#include <QStringBuilder>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <list>
#include <mutex>

namespace {

// Apache keeps one connection pool per destination origin: a ProxyPass whose
// URL begins with an earlier one's shares that worker and its options.
struct PoolOptions
{
    bool timeout = false;
    bool reuse = false;
};

// The variable by which each location's mapping directives recognise that
// their location, and not an enclosing one, serves the request: Apache
// merges the Header directives of every matching location.
const char *const kRuleVariable = "REVERSEPROXY_RULE";
// Set to that number by a location whose rule keeps the browser's Host.
const char *const kKeepHostVariable = "REVERSEPROXY_KEEP_HOST";
// The request header by which this Apache marks the requests it proxies.
const char *const kHopHeader = "X-Reverseproxy-Hop";
// The lines of a location block without httpheaders lines.
const int kLocationLines = 13;

PoolOptions ruleOptions(const QJsonObject &rule)
{
    PoolOptions options;
    const QJsonObject timeouts = rule.value(QStringLiteral("timeouts")).toObject();
    const qint64 total = qint64(toInt(timeouts.value(QStringLiteral("conn"))))
                         + toInt(timeouts.value(QStringLiteral("send")))
                         + toInt(timeouts.value(QStringLiteral("recv")));
    options.timeout = total > 0; // a fixed time-out; the sum only switches it on
    // Apache's proxy speaks HTTP/1.1 to back ends already; it has no "proto" parameter.
    options.reuse = toString(rule.value(QStringLiteral("httpversion"))).trimmed().toLower()
                    == QLatin1String("http/1.1");
    return options;
}

QString optionText(const PoolOptions &options)
{
    QString text;
    if (options.timeout)
        text += QStringLiteral("timeout=360 ");
    if (options.reuse)
        text += QStringLiteral("enablereuse=on ");
    return text + QStringLiteral("upgrade=websocket");
}

QString bracketedHost(const KMRuleSide &dest)
{
    if (dest.host.isEmpty())
        return QStringLiteral("127.0.0.1");
    if (dest.host.contains(QLatin1Char(':')) && !dest.host.startsWith(QLatin1Char('[')))
        return QLatin1Char('[') + dest.host + QLatin1Char(']');
    return dest.host;
}

// scheme://host:port in lower case, as Apache names its workers.
QString origin(const KMRuleSide &dest)
{
    return (dest.protocol + QStringLiteral("://") + bracketedHost(dest) + QLatin1Char(':')
            + QString::number(dest.port)).toLower();
}

// The destination path with its trailing "/" made to agree with the source
// path's, so that the rest of the request joins it with exactly one "/".
QString joinedPath(const QString &sourcePath, QString destPath)
{
    if (sourcePath.endsWith(QLatin1Char('/')))
        return destPath.endsWith(QLatin1Char('/')) ? destPath : destPath + QLatin1Char('/');
    while (destPath.endsWith(QLatin1Char('/')))
        destPath.chop(1);
    return destPath;
}

// Text matched literally by Apache's regular expressions: metacharacters
// behind a backslash, and a backslash as \x5c, since Apache's quoted
// arguments take one backslash of a pair away.
QString regexLiteral(const QString &text)
{
    static const QString metacharacters = QStringLiteral(".^$|?*+()[]{}");
    QString out;
    out.reserve(text.size() * 2);
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\x5c");
        else if (metacharacters.contains(c))
            out.append(QLatin1Char('\\')).append(c);
        else
            out += c;
    }
    return out;
}

// Text taken literally by a Header edit replacement, which reads "$n" as a
// group and "%" as a format.
QString replacementLiteral(QString text)
{
    return text.replace(QLatin1Char('%'), QStringLiteral("%%"))
        .replace(QLatin1Char('$'), QStringLiteral("\\$"));
}

// Text taken literally by a RewriteRule substitution, which reads "$n" and
// "%n" as groups.
QString rewriteLiteral(QString text)
{
    return text.replace(QLatin1Char('%'), QStringLiteral("\\%")).replace(QLatin1Char('$'), QStringLiteral("\\$"));
}

// A path as browsers send it: UTF-8, percent-encoded except for the
// characters RFC 3986 leaves as they are in a path.
QString encodedPath(const QString &path)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(path, QByteArrayLiteral("!$&'()*+,;=:@/")));
}

// Whether the <Location> of prefix takes a request for path: Apache matches
// the prefix on whole segments.
bool serves(const QString &prefix, const QString &path)
{
    return path.startsWith(prefix)
           && (prefix.endsWith(QLatin1Char('/')) || path.size() == prefix.size()
               || path.at(prefix.size()) == QLatin1Char('/'));
}

// The request paths the <Location> of prefix takes, as a regular expression.
QString servedPattern(const QString &prefix)
{
    return regexLiteral(prefix) + (prefix.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("(?:/|$)"));
}

bool defaultPort(const KMRuleSide &dest)
{
    return (dest.protocol == QLatin1String("http") && dest.port == 80)
           || (dest.protocol == QLatin1String("https") && dest.port == 443);
}

// The destination's own absolute URLs: its scheme, host and port, the port
// optional when it is the scheme's default.
QString originPattern(const KMRuleSide &dest)
{
    const QString port = QString::number(dest.port);
    const bool standard = defaultPort(dest);
    return QStringLiteral("(?i:") + regexLiteral(dest.protocol + QStringLiteral("://") + bracketedHost(dest))
           + (standard ? QStringLiteral("(?::") + port + QStringLiteral(")?") : QLatin1Char(':') + port)
           + QLatin1Char(')');
}

// Paths under the destination path, on whole segments; group 1 is the rest.
// Under the root, "//host" stays: it names another host.
QString pathPattern(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("(/(?!/).*)?");
    if (path == QLatin1String("/"))
        return QStringLiteral("/((?!/).*)");
    if (path.endsWith(QLatin1Char('/')))
        return regexLiteral(path) + QStringLiteral("(.*)");
    return regexLiteral(path) + QStringLiteral("([/?#].*)?");
}

// A cookie's Path value under the destination path; the group is the rest.
QString cookiePattern(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("(/[^;]*)");
    if (path.endsWith(QLatin1Char('/')))
        return regexLiteral(path) + QStringLiteral("([^;]*)");
    return regexLiteral(path) + QStringLiteral("((?:/[^;]*)?)(?![^;\\s])");
}

// The paths at or under a public prefix (encoded), on whole segments, in a
// Location (cookie false) or a cookie's Path; the group is what the prefix
// (without its trailing "/", which the group then leaves out) is followed by.
QString publicPattern(const QString &prefix, bool cookie)
{
    const QString rest = cookie ? QStringLiteral("[^;]*") : QStringLiteral(".*");
    const QString end = cookie ? QStringLiteral("()(?![^;\\s])") : QStringLiteral("([?#].*)?");
    if (prefix.endsWith(QLatin1Char('/')))
        return regexLiteral(prefix.chopped(1)) + QStringLiteral("(?|/(") + rest + QStringLiteral(")|") + end
               + QLatin1Char(')');
    return regexLiteral(prefix) + QStringLiteral("(?|(/") + rest + QStringLiteral(")|") + end + QLatin1Char(')');
}

// A back end told its public prefix names its pages under it already: where
// the prefix lies under the destination path, a path under the prefix is
// taken as such and keeps its prefix instead of getting a second one (a
// branch-reset group: either way the group holds what follows the prefix).
// Under a root prefix nothing needs that, and the plain mapping keeps
// "//host", which names another host.
QString preferPublic(const QString &source, const QString &destPath, const QString &mapped, bool cookie)
{
    if (source == QLatin1String("/") || !serves(destPath, source))
        return mapped;
    return QStringLiteral("(?|") + publicPattern(encodedPath(source), cookie) + QLatin1Char('|') + mapped
           + QLatin1Char(')');
}

// Whether the rule's own httpheaders lines keep the browser's Host for the
// back end (Apache takes the last such line).
bool preservesHost(const QJsonValue &headers)
{
    bool preserve = false;
    for (const QJsonValue &item : headers.toArray()) {
        const QJsonObject header = item.toObject();
        if (toString(header.value(QStringLiteral("key"))).trimmed().compare(QLatin1String("ProxyPreserveHost"),
                                                                            Qt::CaseInsensitive) == 0)
            preserve = toString(header.value(QStringLiteral("value"))).trimmed().compare(
                           QLatin1String("on"), Qt::CaseInsensitive) == 0;
    }
    return preserve;
}

// The Host Apache sends to the destination: the host in lower case, the
// port unless it is the scheme's default.
QString proxiedHost(const KMRuleSide &dest)
{
    return (bracketedHost(dest) + (defaultPort(dest) ? QString() : QLatin1Char(':') + QString::number(dest.port)))
        .toLower();
}

// The requests a rule serves, as a <LocationMatch> pattern: its prefix
// without the prefixes of the rules nested in it.
QString ownPattern(const QString &source, const QStringList &nested)
{
    QString pattern = QStringLiteral("^");
    for (const QString &path : nested)
        pattern += QStringLiteral("(?!") + servedPattern(path) + QLatin1Char(')');
    return pattern + servedPattern(source);
}

// A rule's httpheaders lines sit in a section of their own that takes
// exactly the requests the rule serves. Apache merges every matching
// section, and an <If> on the rule's variable would be read before SetEnv
// sets it. Empty when no line is written.
QStringList headerLines(const QJsonValue &headers, const QString &source, const QStringList &nested)
{
    QStringList lines;
    for (const QJsonValue &item : headers.toArray()) {
        const QJsonObject header = item.toObject();
        const QString key = toString(header.value(QStringLiteral("key"))).trimmed();
        const QString value = toString(header.value(QStringLiteral("value"))).trimmed();
        if (key.isEmpty() || value.isEmpty())
            continue;
        const QString description = toString(header.value(QStringLiteral("description"))).trimmed();
        if (!description.isEmpty())
            lines << QStringLiteral("    # ") + description;
        lines << QStringLiteral("    ") + key + QLatin1Char(' ') + value << QString();
    }
    if (lines.isEmpty())
        return lines;
    lines.prepend(QStringLiteral("<LocationMatch '") + ownPattern(source, nested) + QStringLiteral("'>"));
    lines << QStringLiteral("</LocationMatch>");
    return lines;
}

// What Apache needs to reach an https destination whose certificate it
// cannot check (LAN devices use self-signed ones). Apache takes SSLProxy*
// directives at server level, in virtual hosts and in <Proxy> sections only.
QStringList proxySectionLines(const QString &httpsOrigin)
{
    return {QString(), QStringLiteral("<Proxy '") + httpsOrigin + QStringLiteral("'>"),
            QStringLiteral("    SSLProxyEngine on"), QStringLiteral("    SSLProxyVerify none"),
            QStringLiteral("    SSLProxyCheckPeerName off"), QStringLiteral("    SSLProxyCheckPeerExpire off"),
            QStringLiteral("</Proxy>")};
}

// The back end's redirects and cookie paths mapped under the prefix, as
// browsers send it, for the rule's own requests (ownRequest). A cookie's
// attributes are read as browsers read them: blanks and tabs around the name
// and the value, the name in any letter case; every Path is mapped, so the
// last, which browsers take, is too.
QStringList answerLines(const KMRule &rule, const QString &destPath, const QString &ownRequest)
{
    const QString &source = rule.source.path;
    const QString target = replacementLiteral(encodedPath(source));
    const QString condition = QStringLiteral("' \"expr=") % ownRequest % QLatin1Char('"');
    return {QStringLiteral("    Header edit Location '^(?:") % originPattern(rule.dest) % QStringLiteral(")?")
                % preferPublic(source, destPath, pathPattern(destPath), false) % QStringLiteral("$' '") % target
                % QStringLiteral("$1") % condition,
            QStringLiteral("    Header edit* Set-Cookie '(;[ \\t]*(?i:path)[ \\t]*=[ \\t]*)")
                % preferPublic(source, destPath, cookiePattern(destPath), true) % QStringLiteral("' '$1") % target
                % QStringLiteral("$2") % condition};
}

// Whether the browser sent the request from a page of the site it asks:
// its Origin is the site's, or its Referer lies on it. The Host goes into a
// glob, so one with glob characters (or an IPv6 literal's brackets) is not
// taken for a Referer's. Read as the browser sent them, and without making
// every answer of the site vary by them.
const QLatin1String kOwnOrigin("req_novary('Origin') == '%{REQUEST_SCHEME}://%{HTTP_HOST}'");
const QLatin1String kOwnReferer("%{HTTP_HOST} =~ /^[-.:0-9A-Z_a-z]+$/ && "
                                "req_novary('Referer') -strmatch '%{REQUEST_SCHEME}://%{HTTP_HOST}/*'");
// A WebDAV Destination (MOVE, COPY) on the site the request was sent to, as
// the Referer above; the rule's prefix is matched where it is mapped.
const QLatin1String kOwnDestination("%{HTTP_HOST} =~ /^[-.:0-9A-Z_a-z]+$/ && "
                                   "req_novary('Destination') -strmatch '%{REQUEST_SCHEME}://%{HTTP_HOST}/*'");

// Set (to 1) where the Host names the appliance: one of its own names, or
// the name of the custom port's virtual host that serves the request. Any
// other Host may be a page's own name rebound to the appliance: a rule
// without a host sends it on as it came, and no Origin, Referer or Host is
// translated for it, so that the back end's own checks decide as they do
// when it is reached directly. Set at server level (mod_setenvif, before
// any <If> is read).
const QLatin1String kOwnHostVariable("REVERSEPROXY_OWN_HOST");

QString ownHost()
{
    return QStringLiteral("reqenv('") + kOwnHostVariable + QStringLiteral("') == '1'");
}

QString ownHostLine(const QString &pattern)
{
    return QStringLiteral("SetEnvIfNoCase Host \"") + pattern + QStringLiteral("\" ") + kOwnHostVariable
           + QStringLiteral("=1");
}

// The same-site tests, each named once per site: SetEnvIfExpr at server
// level reads the request as it was read, before any <If> or location, and
// sets REVERSEPROXY_SAME_<kind> for any Host, REVERSEPROXY_OWN_<kind> where
// the Host also names the appliance (the test of a rule without a host).
// A rule's lines read them with reqenv(); SetEnv of a location comes too
// late for that level, so which rule serves the request stays per rule.
const char *const kOrigin = "ORIGIN";
const char *const kReferer = "REFERER";
const char *const kPage = "PAGE"; // its Origin or its Referer
const char *const kDestination = "DESTINATION";

QString sameSite(const char *kind, bool hostless)
{
    return QStringLiteral("-n reqenv('REVERSEPROXY_") % QLatin1String(hostless ? "OWN_" : "SAME_")
           % QLatin1String(kind) % QStringLiteral("')");
}

// The lines every site with rules shares, after its kOwnHostVariable lines
// (hostless: it has rules without a host): the same-site tests, and what
// every request a rule serves gets (see requestLines).
QStringList sharedLines(const QString &scheme, bool hostless)
{
    const QList<QPair<const char *, QString>> tests{
        {kOrigin, kOwnOrigin}, {kReferer, kOwnReferer}, {kDestination, kOwnDestination},
        {kPage, sameSite(kOrigin, false) % QStringLiteral(" || ") % sameSite(kReferer, false)}};
    QStringList lines{QString()};
    for (const auto &test : tests)
        lines << QStringLiteral("SetEnvIfExpr \"") % test.second % QStringLiteral("\" REVERSEPROXY_SAME_")
                     % QLatin1String(test.first) % QStringLiteral("=1");
    for (const auto &test : tests) {
        if (hostless)
            lines << QStringLiteral("SetEnvIfExpr \"") % ownHost() % QStringLiteral(" && ")
                         % sameSite(test.first, false) % QStringLiteral("\" REVERSEPROXY_OWN_")
                         % QLatin1String(test.first) % QStringLiteral("=1");
    }
    const QString served = QStringLiteral("\"expr=-n reqenv('") % QLatin1String(kRuleVariable) % QStringLiteral("')\"");
    return lines << QStringLiteral("RequestHeader set X-Forwarded-Proto '") % scheme % QStringLiteral("' ") % served
                 << QStringLiteral("RequestHeader merge %1 '%2' ").arg(QLatin1String(kHopHeader), KMApacheConf::hopToken())
                        % served;
}

// What the back end gets besides the request: the scheme the browser used
// and this Apache's mark (see hopGuardLines), set for every rule's requests
// by the site (sharedLines); for apps that check Origin or Referer against
// Host or X-Forwarded-Host, the browser's own page as the back end's own
// origin (unless the rule keeps the browser's Host, which that page matches
// as it is), with the client's address (set by the site where it sets
// mod_proxy's forwarding, siteFlags) but no X-Forwarded-Host (see
// forwardedLines), while another site's pass unchanged, so that the app
// still refuses them; and a WebDAV Destination that names the page's site
// under the rule's prefix (source) as the same path at the back end.
QStringList requestLines(const KMRuleSide &dest, const QString &source, const QString &ownRequest,
                         bool hostless, bool siteFlags, const QJsonValue &headers)
{
    if (preservesHost(headers))
        return {};
    const QString own = dest.protocol.toLower() % QStringLiteral("://") % proxiedHost(dest);
    const QString condition = QStringLiteral("\"expr=") % ownRequest % QStringLiteral(" && ");
    QStringList lines;
    if (!siteFlags)
        lines << QStringLiteral("    RequestHeader set X-Forwarded-For \"expr=%{REMOTE_ADDR}\" ") % condition
                     % sameSite(kPage, hostless) % QLatin1Char('"');
    return lines
           << QStringLiteral("    RequestHeader set Origin '") % QString(own).replace('%', QStringLiteral("%%"))
                  % QStringLiteral("' ") % condition % sameSite(kOrigin, hostless) % QLatin1Char('"')
           << QStringLiteral("    RequestHeader edit Referer '^https?://[^/]+' '") % replacementLiteral(own)
                  % QStringLiteral("' ") % condition % sameSite(kReferer, hostless) % QLatin1Char('"')
           << QStringLiteral("    RequestHeader edit Destination '^https?://[^/]+") % pathPattern(encodedPath(source))
                  % QStringLiteral("$' '") % replacementLiteral(own % dest.path) % QStringLiteral("$1' ") % condition
                  % sameSite(kDestination, hostless) % QLatin1Char('"');
}

// A request that carries this Apache's mark has come back through a rule
// whose destination leads here: refused wherever it arrives on the site,
// the appliance's own paths included, before it is proxied again. Apache
// reads the <If> before a location adds the mark, so only a request that
// carried it already is refused.
QStringList hopGuardLines()
{
    return {QString(),
            QStringLiteral("<If \"req('%1') =~ /%2/\">").arg(QLatin1String(kHopHeader), KMApacheConf::hopToken()),
            QStringLiteral("    Redirect 508"), QStringLiteral("</If>")};
}

// mod_proxy's X-Forwarded-Host names the appliance, at odds with the own
// page's Origin and Referer rewritten for apps that prefer it to Host: the
// rule's requests from its own page go without mod_proxy's forwarded headers
// (requestLines sets X-Forwarded-For). A rule without a host (hostless)
// keeps the browser's Host, and mod_proxy's forwarded headers, for requests
// by a name not the appliance's (see kOwnHostVariable). An <If> cannot read
// the rule's variable (SetEnv comes later): the site sets both for all its
// rules (siteFlagLines), and a rule that keeps the browser's Host itself
// keeps mod_proxy's headers in a section of its own requests (the caller's),
// which Apache reads after the site's. Where the site cannot tell its rules
// apart (siteFlags false), the rule's section sets both.
QStringList forwardedLines(const QJsonValue &headers, const QString &number, bool hostless, bool siteFlags)
{
    if (preservesHost(headers))
        return siteFlags ? QStringList{QStringLiteral("    SetEnv ") % QLatin1String(kKeepHostVariable)
                                           % QLatin1Char(' ') % number,
                                       QStringLiteral("    <If \"true\">"), QStringLiteral("        ProxyAddHeaders On"),
                                       QStringLiteral("    </If>")}
                         : QStringList();
    if (siteFlags)
        return {};
    QStringList lines{QStringLiteral("    <If \"") % sameSite(kPage, hostless) % QStringLiteral("\">"),
                      QStringLiteral("        ProxyAddHeaders Off"), QStringLiteral("    </If>")};
    if (hostless)
        lines << QStringLiteral("    <If \"! ") % ownHost() % QStringLiteral("\">")
              << QStringLiteral("        ProxyPreserveHost On") << QStringLiteral("    </If>");
    return lines;
}

// forwardedLines and the X-Forwarded-For of requestLines for every rule of
// a site that has rules without a host (hostless) or not; a request for a
// host rule carries namedVariable where that tells them apart (the private
// paths of a web port), and otherwise has a Host of its own site (a custom
// port's virtual host of the name). A rule that keeps the browser's Host
// names itself in kKeepHostVariable.
QStringList siteFlagLines(bool hostless, const QString &namedVariable)
{
    const QString named = namedVariable.isEmpty() ? QString()
                                                  : QStringLiteral("reqenv('") % namedVariable % QStringLiteral("')");
    QString page = named.isEmpty() ? sameSite(kPage, false)
                                   : QStringLiteral("-n ") % named % QStringLiteral(" && ") % sameSite(kPage, false);
    if (hostless)
        page = named.isEmpty() ? sameSite(kPage, true) : sameSite(kPage, true) % QStringLiteral(" || ") % page;
    const QString rule = QStringLiteral("reqenv('") % QLatin1String(kRuleVariable) % QStringLiteral("')");
    QStringList lines{QStringLiteral("RequestHeader set X-Forwarded-For \"expr=%{REMOTE_ADDR}\" \"expr=-n ") % rule
                          % QStringLiteral(" && reqenv('") % QLatin1String(kKeepHostVariable) % QStringLiteral("') != ")
                          % rule % QStringLiteral(" && (") % page % QStringLiteral(")\""),
                      QStringLiteral("<If \"") % page % QStringLiteral("\">"), QStringLiteral("    ProxyAddHeaders Off"),
                      QStringLiteral("</If>")};
    if (hostless)
        lines << QStringLiteral("<If \"! ") % ownHost() % (named.isEmpty() ? QString() : QStringLiteral(" && -z ") % named)
                     % QStringLiteral("\">")
              << QStringLiteral("    ProxyPreserveHost On") << QStringLiteral("</If>");
    return lines;
}

// The location blocks of earlier generations: most regenerations change one
// rule of many. A block is made of the rule's stored text and number and of
// the arguments alone; rules not read from the store are not kept. The
// generated files share the kept lines. The stored text enters the key by
// its digest (a rule's text may be a megabyte), and what is kept is bounded
// in bytes: a few large blocks weigh as much as thousands of small ones.
class BlockCache
{
public:
    QStringList block(const KMRule &rule, int ordinal, const QString &options,
                      const QStringList &nested, const QString &at, bool siteFlags)
    {
        if (rule.storedText.isEmpty() || rule.pxyno <= 0)
            return KMApacheConf::locationLines(rule, ordinal, options, nested, at, siteFlags);
        const QChar separator(0x1f);
        const QByteArray text = QByteArray::fromRawData(reinterpret_cast<const char *>(rule.storedText.constData()),
                                                        rule.storedText.size() * int(sizeof(QChar)));
        const QString key = QString::number(rule.pxyno) % separator % QString::number(ordinal)
                            % separator % options % separator % at % separator % QString::number(siteFlags) % separator
                            % nested.join(separator) % separator
                            % QLatin1String(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
        {
            std::lock_guard<std::mutex> locker(m_lock);
            const auto found = m_blocks.constFind(key);
            if (found != m_blocks.cend())
                return *found;
        }
        const QStringList lines = KMApacheConf::locationLines(rule, ordinal, options, nested, at, siteFlags);
        const qint64 bytes = weight(key, lines);
        std::lock_guard<std::mutex> locker(m_lock);
        if (m_bytes + bytes > kMaxBytes) {
            m_blocks.clear(); // the next generations fill it again
            m_bytes = 0;
        }
        if (bytes <= kMaxBytes && !m_blocks.contains(key)) {
            m_blocks.insert(key, lines);
            m_bytes += bytes;
        }
        return lines;
    }

private:
    static qint64 weight(const QString &key, const QStringList &lines)
    {
        qint64 characters = key.size();
        for (const QString &line : lines)
            characters += line.size();
        return characters * qint64(sizeof(QChar));
    }

    // Several times the blocks of a table at the configuration bound of
    // ordinary rules, a small part of the service's memory budget.
    static const qint64 kMaxBytes = 16 * 1024 * 1024;
    std::mutex m_lock;
    QHash<QString, QStringList> m_blocks;
    qint64 m_bytes = 0; // of the keys and lines kept
};

BlockCache &blocks()
{
    static BlockCache cache;
    return cache;
}

// Whether some of the rules have no host.
bool withoutHost(const QList<const KMRule *> &rules)
{
    return std::any_of(rules.cbegin(), rules.cend(), [](const KMRule *rule) { return rule->hostKey().isEmpty(); });
}

// The rules of one effective source port.
struct PortGroup
{
    QString protocol;
    int lastRule = 0;
    QList<const KMRule *> rules;
};

// The rules of one source host on a port: a site of its own.
struct NamedSite
{
    QString host; // as the first rule gives it
    QString key;  // lower case
    bool hsts = false; // any of its rules asks for it
    int lastRule = 0;
    QList<const KMRule *> rules;
    const KMRule *certificate = nullptr; // the rule whose certificate of its own serves the name
};

// The private paths under which a web port's site serves its host rules:
// mod_rewrite moves a named request there, so that only the locations of
// that name's rules (and none of the rules without a host at the same
// path) take it.
const QLatin1String kHostPaths("/.reverseproxy-host/");
// Set by that move to the site's number; a request that did not come
// through it is refused under the private paths.
const QLatin1String kHostVariable("REVERSEPROXY_HOST");

bool isWildcard(const QString &key)
{
    return key.startsWith(QLatin1String("*."));
}

// Whether the wildcard site takes requests for a name of the other key.
bool covers(const QString &wildcard, const QString &key)
{
    return isWildcard(wildcard) && key != wildcard
           && (isWildcard(key) ? key.mid(1) : QLatin1Char('.') + key).endsWith(wildcard.mid(1));
}

// Exact names first, then wildcards from the longest (most specific) on,
// as a name-based virtual host is chosen: the first that matches.
bool siteBefore(const NamedSite &a, const NamedSite &b)
{
    if (isWildcard(a.key) != isWildcard(b.key))
        return !isWildcard(a.key);
    if (a.key.size() != b.key.size() && isWildcard(a.key))
        return a.key.size() > b.key.size();
    return a.key < b.key;
}

// The host rules of a port by name, in the order sites are chosen; the rules
// without a host go to hostless.
QList<NamedSite> namedSites(const QList<const KMRule *> &rules, QList<const KMRule *> &hostless)
{
    QMap<QString, NamedSite> byKey;
    for (const KMRule *rule : rules) {
        const QString key = rule->hostKey();
        if (key.isEmpty()) {
            hostless << rule;
            continue;
        }
        NamedSite &site = byKey[key];
        if (site.rules.isEmpty()) {
            site.host = rule->source.host;
            site.key = key;
        }
        site.hsts = site.hsts || toBool(rule->params.value(QStringLiteral("hsts")));
        site.lastRule = rule->pxyno;
        site.rules << rule;
        if (!site.certificate && KMCertificate::ownSite(*rule))
            site.certificate = rule;
    }
    QList<NamedSite> sites = byKey.values();
    std::stable_sort(sites.begin(), sites.end(), siteBefore);
    return sites;
}

// A Host header naming the site, with or without a port or a final dot.
QString hostPattern(const QString &key)
{
    const QString name = isWildcard(key) ? QStringLiteral("[^.:]+(?:\\.[^.:]+)*") + regexLiteral(key.mid(1))
                                         : regexLiteral(key);
    return QLatin1Char('^') + name + QStringLiteral("\\.?(?::[0-9]*)?$");
}

// The source paths of the other rules of a site that the rule of prefix
// serves (longer ones, so their later <Location> takes those requests).
// sorted holds every source path of the site in order: those that begin
// with prefix follow it there.
QStringList nestedPaths(const QStringList &sorted, const QString &prefix)
{
    QStringList paths;
    for (auto path = std::upper_bound(sorted.cbegin(), sorted.cend(), prefix);
         path != sorted.cend() && path->startsWith(prefix); ++path) {
        if (serves(prefix, *path))
            paths << *path;
    }
    return paths;
}

// Whether one of sources serves path: the prefixes that could are path
// itself and path cut before or after each of its "/" (a lookup for each,
// not a pass over every rule of the site).
bool servedByOther(const QSet<QString> &sources, const QString &path)
{
    if (sources.contains(path))
        return true;
    for (int slash = path.indexOf(QLatin1Char('/')); slash >= 0; slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
        if ((slash > 0 && sources.contains(path.left(slash))) || sources.contains(path.left(slash + 1)))
            return true;
    }
    return false;
}

// A prefix ending in "/" whose destination path is not the back end's root
// serves its bare path as the destination's own bare path: a back end that
// redirects there (its address without the "/") is then reached, instead
// of meeting the bare-path redirect below in a loop. Not where another rule
// of the site serves that path or, on the appliance's web ports, the
// appliance reserves it. The rules are written as rules of their bare paths
// (copies kept in storage).
QList<const KMRule *> writtenRules(const QList<const KMRule *> &rules, bool webSite, std::list<KMRule> &storage)
{
    QSet<QString> sources;
    for (const KMRule *rule : rules)
        sources.insert(rule->source.path);
    QList<const KMRule *> written;
    for (const KMRule *rule : rules) {
        QString bare = rule->source.path;
        while (bare.endsWith(QLatin1Char('/')))
            bare.chop(1);
        if (bare.isEmpty() || bare == rule->source.path || joinedPath(bare, rule->dest.path).isEmpty()
            || servedByOther(sources, bare) || (webSite && KMAppliance::reservedSource(0, bare, KMAppliancePorts()))) {
            written << rule;
            continue;
        }
        storage.push_back(*rule);
        storage.back().source.path = bare;
        written << &storage.back();
    }
    return written;
}

// A prefix ending in "/" answers its bare path (without the "/") with a
// permanent redirect to the prefix, the query kept, unless another rule of
// the site serves that path or, on the appliance's web ports, the appliance
// reserves it. mod_alias would percent-encode the target in lower case,
// which browsers keep: cookie paths, encoded in upper case as browsers
// encode, would then not match. Without mod_rewrite the bare path stays
// unserved rather than every such rule failing Apache's test. The lines go
// before every location.
QStringList bareRedirectLines(const QList<const KMRule *> &rules, bool webSite, QList<int> &owners)
{
    QSet<QString> sources;
    for (const KMRule *rule : rules)
        sources.insert(rule->source.path);
    QStringList lines;
    int first = 0; // the rule of the first redirect, owner of the section lines
    bool opened = false;
    for (const KMRule *rule : rules) {
        QString bare = rule->source.path;
        while (bare.endsWith(QLatin1Char('/')))
            bare.chop(1);
        if (bare.isEmpty() || bare == rule->source.path || servedByOther(sources, bare)
            || (webSite && KMAppliance::reservedSource(0, bare, KMAppliancePorts())))
            continue;
        if (!opened) {
            opened = true;
            first = rule->pxyno;
            lines << QString() << QStringLiteral("<IfModule rewrite_module>") << QStringLiteral("    RewriteEngine On");
            owners << first << first << first;
        }
        lines << QStringLiteral("    RewriteRule '^") % regexLiteral(bare) % QStringLiteral("$' '")
                     % rewriteLiteral(encodedPath(rule->source.path)) % QStringLiteral("' [R=301,NE,L]");
        owners << rule->pxyno;
    }
    if (opened) {
        lines << QStringLiteral("</IfModule>");
        owners << first;
    }
    return lines;
}

// The lines of one site (file or virtual host), after its shared lines: the
// bare-path redirects, then the locations with the most specific rule last,
// since Apache lets the last matching location's ProxyPass win; then one
// <Proxy> section per https destination. owners gets the number of the rule
// behind each line (0 for the shared sections).
QStringList siteLines(QList<const KMRule *> rules, bool webSite, bool siteFlags,
                      const QHash<QString, PoolOptions> &options, QList<int> &owners)
{
    std::list<KMRule> bareForms;
    rules = writtenRules(rules, webSite, bareForms);
    std::stable_sort(rules.begin(), rules.end(), [](const KMRule *a, const KMRule *b) {
        return a->source.path.size() < b->source.path.size();
    });
    QStringList lines = bareRedirectLines(rules, webSite, owners);
    QStringList sorted;
    sorted.reserve(rules.size());
    for (const KMRule *rule : qAsConst(rules))
        sorted << rule->source.path;
    std::sort(sorted.begin(), sorted.end());
    QStringList httpsOrigins;
    QSet<QString> seen;
    for (int i = 0; i < rules.size(); ++i) {
        const KMRule *rule = rules.at(i);
        const QString key = origin(rule->dest);
        const QStringList nested = nestedPaths(sorted, rule->source.path);
        const QStringList block = blocks().block(*rule, i + 1, optionText(options.value(key)), nested,
                                                 rule->source.path, siteFlags); // the path as written
        lines << block;
        owners.reserve(owners.size() + block.size());
        for (int n = 0; n < block.size(); ++n)
            owners << rule->pxyno;
        if (rule->dest.protocol == QLatin1String("https") && !seen.contains(key)) {
            seen.insert(key);
            httpsOrigins << key;
        }
    }
    for (const QString &key : qAsConst(httpsOrigins))
        lines << proxySectionLines(key);
    while (owners.size() < lines.size())
        owners << 0;
    return lines;
}

// Appends block to lines, each line owned by owner.
void append(QStringList &lines, QList<int> &owners, const QStringList &block, int owner)
{
    lines << block;
    for (int i = 0; i < block.size(); ++i)
        owners << owner;
}

// The mod_rewrite lines of one named site of a web port (number k): its
// bare-path redirects, then the move of each request one of its rules serves
// to that rule's private path, the longest prefix first; a request no rule
// of the name serves ends there when a later wildcard site would take it.
void hostRewriteLines(const NamedSite &site, int k, bool coveredLater, QStringList &lines, QList<int> &owners)
{
    const QString condition = QStringLiteral("    RewriteCond '%{HTTP_HOST}' '") % hostPattern(site.key)
                              % QStringLiteral("' [NC]");
    QSet<QString> sources;
    for (const KMRule *rule : site.rules)
        sources.insert(rule->source.path);
    for (const KMRule *rule : site.rules) {
        QString bare = rule->source.path;
        while (bare.endsWith(QLatin1Char('/')))
            bare.chop(1);
        if (bare.isEmpty() || bare == rule->source.path || servedByOther(sources, bare))
            continue;
        append(lines, owners,
               {condition, QStringLiteral("    RewriteRule '^") % regexLiteral(bare) % QStringLiteral("$' '")
                               % rewriteLiteral(encodedPath(rule->source.path)) % QStringLiteral("' [R=301,NE,L]")},
               rule->pxyno);
    }
    QList<const KMRule *> longestFirst = site.rules;
    std::stable_sort(longestFirst.begin(), longestFirst.end(), [](const KMRule *a, const KMRule *b) {
        return a->source.path.size() > b->source.path.size();
    });
    const QString target = kHostPaths + QString::number(k);
    for (const KMRule *rule : qAsConst(longestFirst)) {
        append(lines, owners,
               {condition, QStringLiteral("    RewriteRule '^(") % servedPattern(rule->source.path)
                               % QStringLiteral(".*)$' '") % target % QStringLiteral("$1' [PT,L,E=")
                               % kHostVariable % QLatin1Char(':') % QString::number(k)
                               % QLatin1Char(']')},
               rule->pxyno);
    }
    if (coveredLater)
        append(lines, owners, {condition, QStringLiteral("    RewriteRule '^' '-' [L]")}, site.lastRule);
}

// The proxying of one named site of a web port (number k) under its private
// paths: server-level ProxyPass lines, which match in order (the longest
// first), then the locations (the longest last, as Apache lets the last
// matching one win) and the name's HSTS header.
void hostProxyLines(const NamedSite &site, int k, const QString &scheme, int &ordinal,
                    const QHash<QString, PoolOptions> &options, QStringList &lines, QList<int> &owners)
{
    const QString prefix = kHostPaths + QString::number(k);
    QList<const KMRule *> rules = site.rules;
    std::stable_sort(rules.begin(), rules.end(), [](const KMRule *a, const KMRule *b) {
        return a->source.path.size() > b->source.path.size();
    });
    QStringList sorted;
    for (const KMRule *rule : qAsConst(rules)) {
        KMRuleSide joined = rule->dest;
        joined.path = joinedPath(rule->source.path, rule->dest.path);
        append(lines, owners,
               {QStringLiteral("    ProxyPass '") % prefix % rule->source.path % QStringLiteral("' '")
                    % KMApacheConf::destinationUrl(joined) % QStringLiteral("' ")
                    % optionText(options.value(origin(rule->dest)))},
               rule->pxyno);
        sorted << prefix + rule->source.path;
    }
    std::sort(sorted.begin(), sorted.end());
    std::reverse(rules.begin(), rules.end());
    for (const KMRule *rule : qAsConst(rules)) {
        const QString at = prefix + rule->source.path;
        const QStringList nested = nestedPaths(sorted, at);
        QStringList block = blocks().block(*rule, ++ordinal, optionText(options.value(origin(rule->dest))),
                                           nested, at, true);
        for (QString &line : block)
            line = line.isEmpty() ? line : QStringLiteral("    ") + line;
        append(lines, owners, block, rule->pxyno);
    }
    if (site.hsts && scheme == QLatin1String("https")) {
        append(lines, owners,
               {QStringLiteral("    # 启用 HSTS: ") + site.host,
                QStringLiteral("    Header always set Strict-Transport-Security \"max-age=31536000; "
                               "includeSubDomains\" \"expr=%{HTTP_HOST} =~ /")
                    + hostPattern(site.key) + QStringLiteral("/i\"")},
               site.lastRule);
    }
}

// The host rules of a web port's site (http.conf or https.conf), which has
// no virtual host of its own: mod_rewrite picks the name's rule by Host and
// moves the request to the rule's private path, which a server-level
// ProxyPass (not the one of a <Location>, chosen before the move) sends on
// and a location of its own maps back; a request that names a private path
// itself is refused. Without mod_rewrite nothing of them is written.
// Ordinals continue after those of the rules without a host.
QStringList hostSectionLines(QList<NamedSite> sites, const QString &scheme, int ordinal,
                             const QHash<QString, PoolOptions> &options, QList<int> &owners)
{
    QStringList lines;
    if (sites.isEmpty())
        return lines;
    std::list<KMRule> bareForms;
    for (NamedSite &site : sites)
        site.rules = writtenRules(site.rules, false, bareForms);
    append(lines, owners, {QString(), QStringLiteral("<IfModule rewrite_module>"), QStringLiteral("    RewriteEngine On")}, 0);
    for (int k = 0; k < sites.size(); ++k) {
        const bool coveredLater = std::any_of(sites.cbegin() + k + 1, sites.cend(), [&](const NamedSite &later) {
            return covers(later.key, sites.at(k).key);
        });
        hostRewriteLines(sites.at(k), k + 1, coveredLater, lines, owners);
    }
    append(lines, owners,
           {QString(), QStringLiteral("    <Location '") + kHostPaths + QStringLiteral("'>"),
            QStringLiteral("        <If \"-z reqenv('") + kHostVariable + QStringLiteral("')\">"),
            QStringLiteral("            Require all denied"), QStringLiteral("        </If>"),
            QStringLiteral("    </Location>")},
           0);
    for (int k = 0; k < sites.size(); ++k)
        hostProxyLines(sites.at(k), k + 1, scheme, ordinal, options, lines, owners);
    append(lines, owners, {QStringLiteral("</IfModule>")}, 0);
    return lines;
}

// The <Proxy> sections for the https destinations of the host rules that no
// rule without a host (whose site writes its own) has.
QStringList hostProxySectionLines(const QList<NamedSite> &sites, const QList<const KMRule *> &hostless,
                                  QList<int> &owners)
{
    QSet<QString> seen;
    for (const KMRule *rule : hostless)
        seen.insert(origin(rule->dest));
    QStringList lines;
    for (const NamedSite &site : sites) {
        for (const KMRule *rule : site.rules) {
            const QString key = origin(rule->dest);
            if (rule->dest.protocol == QLatin1String("https") && !seen.contains(key)) {
                seen.insert(key);
                append(lines, owners, proxySectionLines(key), 0);
            }
        }
    }
    return lines;
}

// Adds to a named site the port's rules without a host that none of its own
// rules covers (a name's rule wins over a hostless one wherever it serves
// the path).
void addUncovered(NamedSite &site, const QList<const KMRule *> &hostless)
{
    for (const KMRule *rule : hostless) {
        if (std::none_of(site.rules.cbegin(), site.rules.cend(),
                         [rule](const KMRule *own) { return serves(own->source.path, rule->source.path); }))
            site.rules << rule;
    }
}

// Appends a virtual host's lines to file; its locations (with their owners)
// sit right before the two closing lines, every other line is the site's.
void appendSite(KMVirtualHostFile &file, const QStringList &lines, int locations, const QList<int> &owners,
                int lastRule)
{
    const int first = lines.size() - locations - 2;
    for (int i = 0; i < lines.size(); ++i) {
        const int at = i - first;
        file.owners << (at >= 0 && at < owners.size() && owners.at(at) ? owners.at(at) : lastRule);
    }
    file.lines << lines;
}

// The file of a custom port: its Listen lines, then one name-based virtual
// host per site: first the one for every name no other claims (the rules
// without a host; 404 for the rest), then each name's, which serves its own
// rules and the hostless rules none of them covers (a name's rule wins over
// a hostless one wherever it serves the path).
KMVirtualHostFile customPortFile(int port, const PortGroup &group, const QHash<QString, PoolOptions> &options)
{
    const QString scheme = group.protocol == QLatin1String("https") ? QStringLiteral("https") : QStringLiteral("http");
    QList<const KMRule *> hostless;
    const QList<NamedSite> sites = namedSites(group.rules, hostless);
    KMVirtualHostFile file;
    file.fileName = KMApacheConf::virtualHostFileName(group.protocol, port);
    append(file.lines, file.owners, KMApacheConf::listenLines(port, group.protocol), group.lastRule);
    NamedSite everyName;
    everyName.rules = hostless;
    everyName.lastRule = hostless.isEmpty() ? group.lastRule : hostless.last()->pxyno;
    for (const KMRule *rule : qAsConst(hostless))
        everyName.hsts = everyName.hsts || toBool(rule->params.value(QStringLiteral("hsts")));
    QList<NamedSite> all = sites;
    all.prepend(everyName);
    for (NamedSite &site : all) {
        if (!site.key.isEmpty())
            addUncovered(site, hostless);
        QList<int> owners;
        QStringList locations = siteLines(site.rules, false, true, options, owners);
        if (!site.rules.isEmpty()) {
            const QStringList shared = sharedLines(scheme, withoutHost(site.rules))
                                       + siteFlagLines(withoutHost(site.rules), QString());
            locations = shared + locations;
            owners = QVector<int>(shared.size(), 0).toList() + owners;
        }
        // A named site's own name is the appliance's on this port.
        if (!site.key.isEmpty()) {
            locations.prepend(ownHostLine(hostPattern(site.key)));
            owners.prepend(0);
        }
        locations.prepend(ownHostLine(KMOwnNames::hostPattern()));
        owners.prepend(0);
        const QStringList lines = KMApacheConf::virtualHostLines(
            port, group.protocol, site.host, site.hsts, locations,
            site.certificate ? KMCertificate::tlsLines(*site.certificate) : QStringList());
        appendSite(file, lines, locations.size(), owners, site.lastRule);
    }
    return file;
}

// The names of the appliance's https web port served with a certificate of
// their own: a virtual host each, at the address of the appliance's own https
// virtual host, which keeps every other name. Each serves its own rules and
// the port's rules without a host that none of them covers, as on a custom
// port.
KMVirtualHostFile namedHttpsFile(int port, const QList<const KMRule *> &named,
                                 const QList<const KMRule *> &portRules, const QHash<QString, PoolOptions> &options)
{
    QList<const KMRule *> hostless;
    for (const KMRule *rule : portRules) {
        if (rule->hostKey().isEmpty())
            hostless << rule;
    }
    QList<const KMRule *> none;
    const QList<NamedSite> sites = namedSites(named, none);
    KMVirtualHostFile file;
    file.fileName = KMApacheConf::virtualHostFileName(QStringLiteral("https"), port);
    const QString address = KMCertificate::applianceAddress(port);
    for (NamedSite site : sites) {
        addUncovered(site, hostless);
        QList<int> owners;
        // Its Host does not tell its rules apart: its own name is not the
        // appliance's to its rules without a host (see kOwnHostVariable),
        // so each rule sets mod_proxy's forwarding itself.
        QStringList locations = siteLines(site.rules, false, false, options, owners);
        const QStringList shared = sharedLines(QStringLiteral("https"), withoutHost(site.rules));
        locations = shared + locations;
        owners = QVector<int>(shared.size(), 0).toList() + owners;
        QStringList lines = KMApacheConf::virtualHostLines(port, QStringLiteral("https"), site.host, site.hsts,
                                                           locations, KMCertificate::tlsLines(*site.certificate));
        lines.first() = QStringLiteral("<VirtualHost ") + address + QLatin1Char('>');
        appendSite(file, lines, locations.size(), owners, site.lastRule);
    }
    return file;
}

// mod_md's settings and managed domains, once, at the head of the file of
// the lowest https port that serves an ACME name.
void addManagedDomains(KMApacheFiles &files, const QList<KMRule> &rules, const KMAppliancePorts &ports)
{
    QStringList names;
    int port = 0;
    for (const KMRule &rule : rules) {
        if (!KMCertificate::ownSite(rule) || KMCertificate::kind(rule.params) != KMCertificate::Kind::Acme)
            continue;
        if (!names.contains(rule.hostKey()))
            names << rule.hostKey();
        const int site = rule.source.effectivePort(ports);
        port = port == 0 ? site : std::min(port, site);
    }
    const QString name = KMApacheConf::virtualHostFileName(QStringLiteral("https"), port);
    for (KMVirtualHostFile &file : files.virtualHosts) {
        if (names.isEmpty() || file.fileName != name)
            continue;
        const QStringList lines = KMCertificate::managedDomainLines(names, KMAcmeSettings::current(), ports);
        file.lines = lines + file.lines;
        for (int i = 0; i < lines.size(); ++i)
            file.owners.prepend(0);
    }
}

// The site of a web port: the lines every rule shares, the host rules'
// section, then the rules without a host as locations of the appliance's
// own site.
QStringList webSiteLines(const QList<const KMRule *> &rules, const QString &scheme,
                         const QHash<QString, PoolOptions> &options, QList<int> &owners)
{
    QList<const KMRule *> hostless;
    const QList<NamedSite> sites = namedSites(rules, hostless);
    QList<int> hostlessOwners;
    const QStringList own = siteLines(hostless, true, true, options, hostlessOwners);
    QStringList lines;
    if (!hostless.isEmpty())
        lines << ownHostLine(KMOwnNames::hostPattern());
    if (!rules.isEmpty())
        lines << sharedLines(scheme, !hostless.isEmpty())
              << siteFlagLines(!hostless.isEmpty(), sites.isEmpty() ? QString() : QString(kHostVariable));
    for (int i = 0; i < lines.size(); ++i)
        owners << 0;
    lines << hostSectionLines(sites, scheme, hostless.size(), options, owners);
    lines << hostProxySectionLines(sites, hostless, owners) << own;
    owners << hostlessOwners;
    return lines;
}

} // namespace

KMApacheFiles KMApacheConf::generate(const QList<KMRule> &rules, const KMAppliancePorts &ports)
{
    QHash<QString, PoolOptions> options; // every rule to an origin gets the options of all
    QMap<int, PortGroup> groups;
    // The names of the https web port with a certificate of their own, and
    // every rule of those names.
    QSet<QString> ownNames;
    for (const KMRule &rule : rules) {
        if (ports.https > 0 && rule.source.effectivePort(ports) == ports.https && KMCertificate::ownSite(rule))
            ownNames.insert(rule.hostKey());
    }
    QList<const KMRule *> named;
    for (const KMRule &rule : rules) {
        PoolOptions &pool = options[origin(rule.dest)];
        const PoolOptions own = ruleOptions(rule.params);
        pool.timeout = pool.timeout || own.timeout;
        pool.reuse = pool.reuse || own.reuse;
        if (rule.source.effectivePort(ports) == ports.https && ownNames.contains(rule.hostKey())) {
            named << &rule;
            continue;
        }
        PortGroup &group = groups[rule.source.effectivePort(ports)];
        group.protocol = rule.source.protocol;
        group.lastRule = rule.pxyno;
        group.rules << &rule;
    }
    // The web ports' rules go into the appliance's own sites, every other
    // port becomes a file of virtual hosts. (Both ports 0: all goes to http.conf.)
    KMApacheFiles files;
    for (const KMRule &rule : rules)
        KMRuleAccess::addUserFile(rule.params, files.userFiles);
    const QList<const KMRule *> httpsRules = groups.value(ports.https).rules;
    files.http = webSiteLines(groups.take(ports.http).rules, QStringLiteral("http"), options, files.httpOwners);
    files.https = webSiteLines(groups.take(ports.https).rules, QStringLiteral("https"), options, files.httpsOwners);
    // A destination may lead back to either web port, rules or not.
    if (!rules.isEmpty()) {
        const QStringList guard = hopGuardLines();
        files.http = guard + files.http;
        files.https = guard + files.https;
        for (QList<int> *owners : {&files.httpOwners, &files.httpsOwners}) {
            for (int i = 0; i < guard.size(); ++i)
                owners->prepend(0);
        }
    }
    for (auto group = groups.cbegin(); group != groups.cend(); ++group)
        files.virtualHosts << customPortFile(group.key(), group.value(), options);
    if (!named.isEmpty()) {
        files.virtualHosts << namedHttpsFile(ports.https, named, httpsRules, options);
        std::stable_sort(files.virtualHosts.begin(), files.virtualHosts.end(),
                         [](const KMVirtualHostFile &a, const KMVirtualHostFile &b) {
                             return virtualHostPort(a.fileName) < virtualHostPort(b.fileName);
                         });
    }
    addManagedDomains(files, rules, ports);
    return files;
}

int KMApacheFiles::ownerOf(const QString &path, int line) const
{
    const QString name = QFileInfo(path).fileName();
    const QList<int> *owners = nullptr;
    if (path == orbaPath(QLatin1String(kReverseproxyHttpConf)))
        owners = &httpOwners;
    else if (path == orbaPath(QLatin1String(kReverseproxyHttpsConf)))
        owners = &httpsOwners;
    for (const KMVirtualHostFile &host : virtualHosts) {
        if (host.fileName == name && !owners)
            owners = &host.owners;
    }
    return owners ? owners->value(line - 1) : 0;
}

QString KMApacheConf::virtualHostFileName(const QString &protocol, int port)
{
    return protocol + QLatin1Char('_') + QString::number(port) + QStringLiteral(".conf");
}

int KMApacheConf::virtualHostPort(const QString &fileName)
{
    static const QRegularExpression own(QStringLiteral("^https?_([0-9]+)\\.conf$"));
    const QRegularExpressionMatch match = own.match(fileName);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

QString KMApacheConf::destinationUrl(const KMRuleSide &dest)
{
    return dest.protocol + QStringLiteral("://") + bracketedHost(dest) + QLatin1Char(':')
           + QString::number(dest.port) + dest.path;
}

QString KMApacheConf::hopToken()
{
    static const QString token = QString::fromLatin1(
        QMessageAuthenticationCode::hash(QByteArrayLiteral("reverseproxy hop"), QSysInfo::machineUniqueId(),
                                         QCryptographicHash::Sha256)
            .toHex()
            .left(16));
    return token;
}

QString KMApacheConf::hopHeader()
{
    return QLatin1String(kHopHeader);
}

QStringList KMApacheConf::locationLines(const KMRule &rule, int ordinal, const QString &options,
                                        const QStringList &nested, const QString &at, bool siteFlags)
{
    const QString &location = at.isEmpty() ? rule.source.path : at;
    const QString &source = rule.source.path;
    KMRuleSide joined = rule.dest;
    joined.path = joinedPath(source, rule.dest.path);
    const QString number = QString::number(ordinal);
    const QString ownRequest = QStringLiteral("reqenv('") % QLatin1String(kRuleVariable) % QStringLiteral("') == '")
                               % number % QLatin1Char('\'');
    const bool hostless = rule.hostKey().isEmpty();
    const QJsonValue headers = rule.params.value(QStringLiteral("httpheaders"));
    const bool ownErrorPages = toBool(rule.params.value(QStringLiteral("desterrpage")));
    QStringList lines;
    lines.reserve(kLocationLines);
    lines << QString() << QStringLiteral("# ") % rule.name
          << QStringLiteral("<Location '") % location % QStringLiteral("'>")
          << QStringLiteral("    ProxyPass '") % destinationUrl(joined) % QStringLiteral("' ") % options
          << QStringLiteral("    SetEnv ") % QLatin1String(kRuleVariable) % QLatin1Char(' ') % number
          << answerLines(rule, joined.path, ownRequest)
          << requestLines(joined, source, ownRequest, hostless, siteFlags, headers)
          // The back end's own 4xx answers (JSON errors, a 409 with the header
          // its client must echo) pass; the appliance's pages stand in for
          // server errors only.
          << (ownErrorPages ? QStringLiteral("    ProxyErrorOverride Off")
                            : QStringLiteral("    ProxyErrorOverride On 500 502 503 504"));
    // The forwarded-header section takes the rule's own requests: those of
    // its <Location> when no later rule's prefix lies within it.
    const QStringList forwarded = forwardedLines(headers, number, hostless, siteFlags);
    if (!nested.isEmpty() && !forwarded.isEmpty())
        lines << QStringLiteral("</Location>")
              << QStringLiteral("<LocationMatch '") % ownPattern(location, nested) % QStringLiteral("'>") << forwarded
              << QStringLiteral("</LocationMatch>");
    else
        lines << forwarded << QStringLiteral("</Location>");
    lines << headerLines(headers, location, nested)
          << KMRuleAccess::lines(rule.params, ownPattern(location, nested), rule.name) << QString();
    return lines;
}

QStringList KMApacheConf::listenLines(int port, const QString &protocol)
{
    const QString p = QString::number(port);
    if (protocol != QLatin1String("https"))
        return {QString(), QStringLiteral("# http 自定义端口配置"), QStringLiteral("Listen ") + p};
    return {QString(),
            QStringLiteral("# https 自定义端口配置"),
            QStringLiteral("<IfModule ssl_module>"),
            QStringLiteral("        Listen ") + p,
            QStringLiteral("</IfModule>"),
            QStringLiteral("<IfModule mod_gnutls.c>"),
            QStringLiteral("        Listen ") + p,
            QStringLiteral("</IfModule>")};
}

QStringList KMApacheConf::virtualHostLines(int port, const QString &protocol,
                                           const QString &serverName, bool hsts,
                                           const QStringList &locations, const QStringList &tls)
{
    const bool https = protocol == QLatin1String("https");
    QStringList lines;
    lines << QStringLiteral("<VirtualHost *:") + QString::number(port) + QLatin1Char('>');
    // A wildcard is no server name; the virtual host without one answers to
    // the server's, which the first virtual host of the port takes anyway.
    if (serverName.startsWith(QLatin1String("*.")))
        lines << QStringLiteral("    ServerAlias ") + serverName;
    else if (!serverName.isEmpty())
        lines << QStringLiteral("    ServerName ") + serverName;
    lines << QStringLiteral("    AddDefaultCharset UTF-8");
    if (https) {
        // The cipher policy is the appliance's, from its snippet; every
        // name of the port without a certificate of its own shares its
        // certificate.
        lines << QStringLiteral("    SSLEngine on");
        if (tls.isEmpty())
            lines << QStringLiteral("    Include ") + orbaPath(QLatin1String(kApacheSslSnippet));
        for (const QString &line : tls)
            lines << QStringLiteral("    ") + line;
        if (hsts) {
            // Browsers ignore the header without max-age (one year here).
            lines << QString() << QStringLiteral("    # 启用 HSTS")
                  << QStringLiteral("    Header always set Strict-Transport-Security \"max-age=31536000; includeSubDomains\"");
        }
    }
    for (const QString &line : hopGuardLines())
        lines << (line.isEmpty() ? line : QStringLiteral("    ") + line);
    // Outside its rules' prefixes the site has nothing to serve (not the
    // server's document root). mod_alias decides after mod_proxy has taken
    // the requests of the rules' locations.
    lines << QStringLiteral("    Redirect 404 /");
    for (const QString &line : locations)
        lines << QStringLiteral("    ") + line;
    lines << QStringLiteral("</VirtualHost>") << QString();
    return lines;
}
