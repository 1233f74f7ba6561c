#include "kmrule.h"

#include "kmapacheconf.h"
#include "kmruleaccess.h"
#include "zx2utils.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QRegularExpression>
#include <QUrl>

namespace {

// A source path is a literal prefix: <Location> reads "*", "?", "[" and "]"
// as wildcards while ProxyPass reads them literally, and Apache has no escape
// for them; quotes and backslashes would change what Apache reads from a
// quoted argument.
const QRegularExpression kPathWildcards(QStringLiteral("[*?\\[\\]\\\\'\"]"));

// Apache's worker host name field holds at most a DNS name; longer hosts fail
// its configuration test.
const int kMaxHostLength = 253;
const int kMaxNameLength = 255;     // a name is a label for people, not a document
const int kMaxPathLength = 2048;    // longer URL paths are refused by common clients anyway
const int kMaxHeaderText = 4096;    // one directive's arguments or description
const int kMaxHeaderCount = 64;     // directives per rule
// The store keeps the whole parameter object as it came: keys the service
// does not read must not fill the disk (the fields it reads stay far below).
const int kMaxParamsLength = 1024 * 1024; // characters

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

// The protocols a rule's URLs and virtual hosts are written for; another
// scheme would reach ProxyPass as it came.
bool webProtocol(const QString &protocol)
{
    return protocol == QLatin1String("http") || protocol == QLatin1String("https");
}

bool validPort(int port)
{
    return port >= 0 && port <= 65535;
}

// The framework conversion reads a text that is no decimal number as
// hexadecimal and true as 1; a port is a number, a decimal text, or left
// out (missing, null or an empty text: the appliance web port).
bool decimalPort(const QJsonValue &value)
{
    if (value.isDouble() || value.isNull() || value.isUndefined())
        return true;
    if (!value.isString())
        return false;
    bool ok = false;
    value.toString().toInt(&ok, 10);
    return ok || value.toString().trimmed().isEmpty();
}

// A line feed would start a new directive, a control character breaks the
// line, and a trailing backslash makes Apache join the next line to it.
bool unsafeText(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return text.endsWith(QLatin1Char('\\'));
}

bool isIpv6(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

bool isBracketedIpv6(const QString &host)
{
    return host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))
           && isIpv6(host.mid(1, host.size() - 2));
}

bool isHostName(const QString &host)
{
    static const QRegularExpression name(QStringLiteral("^[\\p{L}\\p{N}._-]+$"));
    return name.match(host).hasMatch();
}

// A source host is a DNS name (letters, digits, hyphens, dots between
// labels), optionally "*." and a name for every name below it.
bool validSourceHost(const QString &host)
{
    static const QRegularExpression name(QStringLiteral("^(\\*\\.)?[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*$"));
    return host.isEmpty() || (host.size() <= kMaxHostLength && name.match(host).hasMatch());
}

// The destination host goes into a URL: a host name or an IPv6 address with
// or without brackets.
bool validDestinationHost(const QString &host)
{
    if (host.isEmpty())
        return true;
    return host.size() <= kMaxHostLength
           && (isHostName(host) || isIpv6(host) || isBracketedIpv6(host));
}

// The directives a rule may add to its location: they act on requests and
// responses only, never while Apache reads its configuration.
bool allowedDirective(const QString &key)
{
    static const QStringList allowed = {
        QStringLiteral("header"), QStringLiteral("requestheader"), QStringLiteral("setenv"),
        QStringLiteral("unsetenv"), QStringLiteral("require"), QStringLiteral("limitrequestbody"),
        QStringLiteral("proxypreservehost"), QStringLiteral("proxyaddheaders"),
        QStringLiteral("proxypassreversecookiedomain"), QStringLiteral("proxypassreversecookiepath")};
    return allowed.contains(key.toLower());
}

// Expression functions and operators that read files, or the environment
// Apache runs in, would hand what they find (or whether a file exists) to
// whoever sends the request; "${" is expanded from Apache's own definitions
// and environment when it reads the configuration. Expressions come as an
// "expr=" argument, "Require expr" or a "%{...}" variable; Apache reads
// names of functions, variables and operators in any letter case.
bool unsafeArguments(const QString &value)
{
    static const QRegularExpression fileFunction(
        QStringLiteral("%\\{\\s*(file|filesize|filemod)\\s*:|\\b(file|filesize|filemod)\\s*\\("),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression environmentVariable(QStringLiteral("%\\{\\s*(os)?env\\s*:"),
                                                        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression expression(QStringLiteral("\\bexpr\\b|%\\{"),
                                               QRegularExpression::CaseInsensitiveOption);
    // A unary operator is "-" and one letter that no name character follows
    // ("-f'/x'", "-f %{...}"); "max-age" or "-1" are none.
    static const QRegularExpression fileTestOrEnvironment(
        QStringLiteral("(?<![\\w-])-[defhlsuax](?![\\w-])|\\b(os)?env\\s*\\("),
        QRegularExpression::CaseInsensitiveOption);
    return value.contains(QLatin1String("${")) || fileFunction.match(value).hasMatch()
           || environmentVariable.match(value).hasMatch()
           || (expression.match(value).hasMatch() && fileTestOrEnvironment.match(value).hasMatch());
}

// A directive's arguments as Apache splits them: at blanks, quotes kept
// together and taken away.
QStringList arguments(const QString &value)
{
    static const QRegularExpression argument(QStringLiteral("\"([^\"]*)\"|'([^']*)'|(\\S+)"));
    QStringList out;
    QRegularExpressionMatchIterator it = argument.globalMatch(value);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        out << match.captured(1) + match.captured(2) + match.captured(3);
    }
    return out;
}

// Whether a Header line sets or edits Set-Cookie, or echoes request headers
// the client names (any letter case) into it: cookies on the appliance's
// whole site, its own session included. Removing them is the rule's own
// business.
bool setsCookies(const QString &key, const QString &value)
{
    if (key.compare(QLatin1String("header"), Qt::CaseInsensitive) != 0)
        return false;
    QStringList args = arguments(value);
    const QString condition = args.value(0).toLower();
    if (condition == QLatin1String("always") || condition == QLatin1String("onsuccess"))
        args.removeFirst();
    const QString action = args.value(0).toLower();
    const QString name = args.value(1).trimmed(); // "Set-Cookie:" would still reach browsers as one
    if (action == QLatin1String("echo"))
        return QRegularExpression(name, QRegularExpression::CaseInsensitiveOption)
            .match(QLatin1String("set-cookie"))
            .hasMatch();
    return action != QLatin1String("unset") && action != QLatin1String("note")
           && name.startsWith(QLatin1String("set-cookie"), Qt::CaseInsensitive);
}

// A line that names the loop guard's header could take this Apache's mark
// away or forge it, and one request would go round until every worker is busy.
bool namesHopHeader(const QString &value)
{
    return value.contains(KMApacheConf::hopHeader(), Qt::CaseInsensitive);
}

QString unsafeHeaderField(const QJsonValue &headers)
{
    const QString field = QStringLiteral("httpheaders");
    const QJsonArray items = headers.toArray();
    if (items.size() > kMaxHeaderCount)
        return field;
    for (const QJsonValue &item : items) {
        const QJsonObject header = item.toObject();
        const QString key = toString(header.value(QStringLiteral("key"))).trimmed();
        const QString value = toString(header.value(QStringLiteral("value"))).trimmed();
        const QString description = toString(header.value(QStringLiteral("description"))).trimmed();
        if (value.size() > kMaxHeaderText || description.size() > kMaxHeaderText)
            return field;
        if (key.isEmpty() || value.isEmpty())
            continue; // never written
        if (unsafeText(key) || unsafeText(value) || unsafeText(description)
            || !allowedDirective(key) || unsafeArguments(value))
            return field;
        if (namesHopHeader(value) || setsCookies(key, value))
            return field + QStringLiteral(": ") + key + QLatin1Char(' ') + value;
    }
    return QString();
}

} // namespace

int KMAppliancePorts::of(const QString &protocol) const
{
    return protocol == QLatin1String("https") ? https : http;
}

int KMRuleSide::effectivePort(const KMAppliancePorts &ports) const
{
    return port >= 1 && port <= 65535 ? port : ports.of(protocol);
}

KMRule KMRule::fromParams(const QJsonObject &params, bool collapseSourceSlashes)
{
    KMRule rule;
    rule.params = params;
    rule.name = toString(params.value(QStringLiteral("name"))).trimmed();
    rule.source = readSide(params.value(QStringLiteral("source")), collapseSourceSlashes);
    rule.dest = readSide(params.value(QStringLiteral("dest")), false);
    for (const QJsonValue &item : params.value(QStringLiteral("httpheaders")).toArray()) {
        const QJsonObject header = item.toObject();
        rule.directives = rule.directives
                          || (!toString(header.value(QStringLiteral("key"))).trimmed().isEmpty()
                              && !toString(header.value(QStringLiteral("value"))).trimmed().isEmpty());
    }
    rule.directives = rule.directives || KMRuleAccess::restricts(params);
    return rule;
}

KMRule KMRule::fromRow(const QJsonObject &row)
{
    const QString text = toString(row.value(QStringLiteral("params")));
    KMRule rule = fromParams(toJsonObject(text));
    rule.pxyno = toInt(row.value(QStringLiteral("pxyno")));
    rule.storedText = text;
    return rule;
}

bool KMRule::destReachable() const
{
    if (!dest.host.isEmpty() || (dest.port >= 1 && dest.port <= 65535))
        return true;
    return QString(dest.path).replace(QStringLiteral("//"), QStringLiteral("/")) != QLatin1String("/");
}

QString KMRule::hostKey() const
{
    return source.host.toLower();
}

QString KMRule::conflictKey(const KMAppliancePorts &ports) const
{
    return QString::number(source.effectivePort(ports)) + QLatin1Char(' ') + hostKey() + QLatin1Char(' ')
           + matchedPath(source.path);
}

QStringList KMRule::matchedSegments(const QString &path)
{
    QStringList segments;
    const QString decoded = QUrl::fromPercentEncoding(path.toUtf8());
    for (const QString &segment : decoded.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("..")) {
            if (!segments.isEmpty())
                segments.removeLast();
        } else if (segment != QLatin1String(".")) {
            segments << segment;
        }
    }
    return segments;
}

QString KMRule::matchedPath(const QString &path)
{
    return QLatin1Char('/') + matchedSegments(path).join(QLatin1Char('/'));
}

bool KMRule::writesDirectives() const
{
    return directives;
}

QString KMRule::sourceUrl() const
{
    return QStringLiteral("://") + source.host + QLatin1Char(':') + QString::number(source.port) + source.path;
}

QJsonObject KMRule::storedValues() const
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("srcprotocol"), source.protocol},
            {QStringLiteral("srcport"), source.port},
            {QStringLiteral("srcpath"), source.path},
            {QStringLiteral("srcurl"), sourceUrl()},
            {QStringLiteral("params"), jsonToString(params)}};
}

QString KMRule::unsafeField() const
{
    const QChar quote = QLatin1Char('\''); // the paths and the URL sit inside '...'
    const auto portValue = [this](const QString &side) {
        return params.value(side).toObject().value(QStringLiteral("port"));
    };
    if (unsafeText(name) || name.size() > kMaxNameLength)
        return QStringLiteral("name");
    if (!webProtocol(source.protocol))
        return QStringLiteral("source.protocol");
    if (!validSourceHost(source.host))
        return QStringLiteral("source.host");
    if (unsafeText(source.path) || source.path.contains(kPathWildcards)
        || source.path.size() > kMaxPathLength || source.path.contains(QLatin1String("${")))
        return QStringLiteral("source.path");
    if (!validPort(source.port) || !decimalPort(portValue(QStringLiteral("source"))))
        return QStringLiteral("source.port");
    if (!webProtocol(dest.protocol))
        return QStringLiteral("dest.protocol");
    if (unsafeText(dest.host) || dest.host.contains(quote) || !validDestinationHost(dest.host))
        return QStringLiteral("dest.host");
    // Inside the quoted URL Apache would take one backslash of a pair away.
    if (unsafeText(dest.path) || dest.path.contains(quote) || dest.path.contains(QLatin1Char('\\'))
        || dest.path.size() > kMaxPathLength || dest.path.contains(QLatin1String("${")))
        return QStringLiteral("dest.path");
    if (!validPort(dest.port) || !decimalPort(portValue(QStringLiteral("dest"))))
        return QStringLiteral("dest.port");
    const QString headers = unsafeHeaderField(params.value(QStringLiteral("httpheaders")));
    if (!headers.isEmpty())
        return headers;
    const QString access = KMRuleAccess::unsafeField(params.value(QStringLiteral("access")));
    if (!access.isEmpty())
        return access;
    if (jsonToString(params).size() > kMaxParamsLength)
        return QStringLiteral("params");
    return QString();
}
