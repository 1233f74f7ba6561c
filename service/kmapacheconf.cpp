#include "kmapacheconf.h"

#include "zx2paths.h"
#include "zx2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

// Apache's worker host name field holds at most a DNS name; longer hosts fail
// its configuration test.
const int kMaxHostLength = 253;

QString sideHost(const QJsonObject &side)
{
    return toString(side.value(QStringLiteral("host"))).trimmed();
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

// Apache compiles LocationMatch expressions without UTF mode, where escapes of
// code points above 0xff (valid in QRegularExpression's UTF mode) are errors.
bool wideEscape(const QString &path)
{
    static const QRegularExpression escape(
        QStringLiteral("\\\\(?:x\\{([0-9A-Fa-f]+)\\}|o\\{([0-7]+)\\}|N\\{U\\+)"));
    QRegularExpressionMatchIterator matches = escape.globalMatch(path);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        if (match.capturedLength(1) > 0) {
            if (match.captured(1).toUInt(nullptr, 16) > 0xff)
                return true;
        } else if (match.capturedLength(2) > 0) {
            if (match.captured(2).toUInt(nullptr, 8) > 0xff)
                return true;
        } else {
            return true; // \N{U+...} needs UTF mode whatever the code point
        }
    }
    return false;
}

bool validPort(int port)
{
    return port >= 0 && port <= 65535;
}

// ServerName takes a host name or a bracketed IPv6 address, optionally
// followed by ":" and a port; anything else fails Apache's configuration test.
bool validServerName(const QString &host)
{
    if (host.isEmpty())
        return true;
    QString name = host;
    const int colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0 && !host.endsWith(QLatin1Char(']'))) {
        bool ok = false;
        const int port = host.mid(colon + 1).toInt(&ok, 10);
        if (!ok || port < 1 || port > 65535)
            return false;
        name = host.left(colon);
    }
    return name.size() <= kMaxHostLength && (isHostName(name) || isBracketedIpv6(name));
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

QString unsafeHeaderField(const QJsonValue &headers)
{
    static const QRegularExpression directive(QStringLiteral("^[A-Za-z][A-Za-z0-9_]*$"));
    const QString field = QStringLiteral("httpheaders");
    for (const QJsonValue &item : headers.toArray()) {
        const QJsonObject header = item.toObject();
        const QString key = toString(header.value(QStringLiteral("key"))).trimmed();
        const QString value = toString(header.value(QStringLiteral("value"))).trimmed();
        if (key.isEmpty() || value.isEmpty())
            continue; // never written
        const QString description = toString(header.value(QStringLiteral("description"))).trimmed();
        if (unsafeText(key) || unsafeText(value) || unsafeText(description)
            || !directive.match(key).hasMatch())
            return field;
    }
    return QString();
}

QString proxyOptions(const QJsonObject &rule)
{
    QStringList options;
    const QJsonObject timeouts = rule.value(QStringLiteral("timeouts")).toObject();
    const qint64 total = qint64(toInt(timeouts.value(QStringLiteral("conn"))))
                         + toInt(timeouts.value(QStringLiteral("send")))
                         + toInt(timeouts.value(QStringLiteral("recv")));
    if (total > 0)
        options << QStringLiteral("timeout=360"); // a fixed time-out; the sum only switches it on
    // Apache's proxy speaks HTTP/1.1 to back ends already; it has no "proto" parameter.
    if (toString(rule.value(QStringLiteral("httpversion"))).trimmed().toLower()
        == QLatin1String("http/1.1"))
        options << QStringLiteral("enablereuse=on");
    return options.join(QLatin1Char(' '));
}

QStringList headerLines(const QJsonValue &headers)
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
    return lines;
}

void runReload()
{
    QProcess systemctl;
    systemctl.start(QStringLiteral("systemctl"),
                    {QStringLiteral("reload"), QStringLiteral("apache2")});
    systemctl.waitForFinished(-1);
}

} // namespace

QString KMApacheConf::sidePath(const QJsonObject &side)
{
    QString path = toString(side.value(QStringLiteral("path"))).trimmed();
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(QLatin1Char('/'));
    return path;
}

QString KMApacheConf::destinationUrl(const QJsonObject &dest)
{
    QString host = sideHost(dest);
    if (host.isEmpty())
        host = QStringLiteral("127.0.0.1");
    else if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return toString(dest.value(QStringLiteral("protocol"))).trimmed().toLower()
           + QStringLiteral("://") + host + QLatin1Char(':')
           + QString::number(toInt(dest.value(QStringLiteral("port")))) + sidePath(dest);
}

QStringList KMApacheConf::locationLines(const QJsonObject &rule)
{
    const QString url = destinationUrl(rule.value(QStringLiteral("dest")).toObject());
    const bool ownErrorPages = toBool(rule.value(QStringLiteral("desterrpage")));
    QStringList lines;
    lines << QString()
          << QStringLiteral("# ") + toString(rule.value(QStringLiteral("name"))).trimmed()
          << QStringLiteral("<LocationMatch '")
                 + sidePath(rule.value(QStringLiteral("source")).toObject()) + QStringLiteral("'>")
          << QStringLiteral("    ProxyPass '") + url + QStringLiteral("' ") + proxyOptions(rule)
          << QStringLiteral("    ProxyPassReverse '") + url + QLatin1Char('\'')
          << QStringLiteral("    ProxyPassReverse /")
          << QString()
          << QStringLiteral("    ProxyPassReverse On")
          << QStringLiteral("    ProxyPassInterpolateEnv On")
          << QStringLiteral("    ProxyErrorOverride ")
                 + (ownErrorPages ? QStringLiteral("Off") : QStringLiteral("On"))
          << QString();
    lines << headerLines(rule.value(QStringLiteral("httpheaders")));
    lines << QStringLiteral("</LocationMatch>") << QString();
    return lines;
}

QStringList KMApacheConf::virtualHostLines(int port, const QString &protocol,
                                           const QString &serverName, bool hsts,
                                           const QStringList &locations)
{
    const QString p = QString::number(port);
    const bool https = protocol == QLatin1String("https");
    QStringList lines;
    lines << QString();
    if (https) {
        lines << QStringLiteral("# https 自定义端口配置")
              << QStringLiteral("<IfModule ssl_module>") << QStringLiteral("        Listen ") + p
              << QStringLiteral("</IfModule>")
              << QStringLiteral("<IfModule mod_gnutls.c>") << QStringLiteral("        Listen ") + p
              << QStringLiteral("</IfModule>");
    } else {
        lines << QStringLiteral("# http 自定义端口配置") << QStringLiteral("Listen ") + p;
    }
    lines << QStringLiteral("<VirtualHost *:") + p + QLatin1Char('>');
    if (!serverName.isEmpty())
        lines << QStringLiteral("    ServerName ") + serverName;
    lines << QStringLiteral("    AddDefaultCharset UTF-8");
    if (https) {
        lines << QStringLiteral("    SSLEngine on")
              << QStringLiteral("    SSLCipherSuite ALL:!ADH:!EXPORT56:RC4+RSA:+HIGH:+MEDIUM:+LOW:+SSLv2:+EXP:+eNULL")
              << QStringLiteral("    Include ") + orbaPath(QLatin1String(kApacheSslSnippet));
        if (hsts) {
            // Browsers ignore the header without max-age (one year here).
            lines << QString() << QStringLiteral("    # 启用 HSTS")
                  << QStringLiteral("    Header always set Strict-Transport-Security \"max-age=31536000; includeSubDomains\"");
        }
    }
    for (const QString &line : locations)
        lines << QStringLiteral("    ") + line;
    lines << QStringLiteral("</VirtualHost>") << QString();
    return lines;
}

QString KMApacheConf::unsafeField(const QJsonObject &rule)
{
    const QJsonObject source = rule.value(QStringLiteral("source")).toObject();
    const QJsonObject dest = rule.value(QStringLiteral("dest")).toObject();
    const QString sourceHost = sideHost(source);
    const QString sourcePath = sidePath(source);
    const QString destHost = sideHost(dest);
    const QString destPath = sidePath(dest);
    const QChar quote = QLatin1Char('\''); // the paths and the URL sit inside '...'

    if (unsafeText(toString(rule.value(QStringLiteral("name"))).trimmed()))
        return QStringLiteral("name");
    if (unsafeText(sourceHost) || !validServerName(sourceHost))
        return QStringLiteral("source.host");
    if (unsafeText(sourcePath) || sourcePath.contains(quote)
        || !QRegularExpression(sourcePath).isValid() // LocationMatch reads it as a regular expression
        || wideEscape(sourcePath))
        return QStringLiteral("source.path");
    if (!validPort(toInt(source.value(QStringLiteral("port")))))
        return QStringLiteral("source.port");
    if (unsafeText(destHost) || destHost.contains(quote) || !validDestinationHost(destHost))
        return QStringLiteral("dest.host");
    if (unsafeText(destPath) || destPath.contains(quote))
        return QStringLiteral("dest.path");
    if (!validPort(toInt(dest.value(QStringLiteral("port")))))
        return QStringLiteral("dest.port");
    return unsafeHeaderField(rule.value(QStringLiteral("httpheaders")));
}

int KMApacheConf::definedPort(const QByteArray &text, const QString &name)
{
    const int zero = text.indexOf('\0');
    const QString content = QString::fromUtf8(zero < 0 ? text : text.left(zero));
    for (QString line : content.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList parts =
            line.replace(QLatin1Char('\t'), QLatin1Char(' ')).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() >= 3 && parts.at(0) == QLatin1String("Define") && parts.at(1) == name)
            return parts.at(2).toInt(nullptr, 10);
    }
    return 0;
}

QList<int> KMApacheConf::listeningPorts(const QByteArray &output)
{
    const int zero = output.indexOf('\0');
    QStringList lines = QString::fromUtf8(zero < 0 ? output : output.left(zero))
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QList<int> ports;
    if (lines.isEmpty())
        return ports;
    lines.removeFirst(); // "Active Internet connections ..."
    for (const QString &line : qAsConst(lines)) {
        const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() <= 3 || !parts.at(0).startsWith(QLatin1String("tcp")))
            continue;
        const QString local = parts.at(3);
        const int port = local.mid(local.lastIndexOf(QLatin1Char(':')) + 1).toInt(nullptr, 10);
        if (port > 0)
            ports << port;
    }
    return ports;
}

bool KMApacheConf::reservedPath(const QString &path)
{
    static const QStringList reserved = {
        QStringLiteral("/"),         QStringLiteral("/product"), QStringLiteral("/product/"),
        QStringLiteral("/api"),      QStringLiteral("/api/"),    QStringLiteral("/wmi"),
        QStringLiteral("/wmi/"),     QStringLiteral("/shares"),  QStringLiteral("/shares/"),
        QStringLiteral("/desktop"),  QStringLiteral("/desktop/"), QStringLiteral("/apps"),
        QStringLiteral("/apps/"),    QStringLiteral("/download"), QStringLiteral("/download/")};
    return reserved.contains(path);
}

bool KMApacheConf::writeLines(const QString &path, const QStringList &lines)
{
    const QFileInfo info(path);
    const QByteArray data = lines.join(QLatin1Char('\n')).toUtf8();
    // Most regenerations change one file; leaving the others alone spares a
    // write and a disk sync each.
    QFile current(info.absoluteFilePath());
    if (info.isFile() && current.open(QIODevice::ReadOnly) && current.size() == data.size()
        && current.readAll() == data)
        return true;
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // Written beside the target and renamed over it, so Apache reads the old
    // file or the new one, never a part. No disk sync: the files are made
    // again from the database at every start, and a sync per change would
    // double the cost of a change.
    QTemporaryFile file(info.absoluteFilePath() + QStringLiteral(".XXXXXX"));
    if (!file.open() || file.write(data) != data.size() || !file.flush())
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                        | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}

void KMApacheConf::scheduleReload()
{
    // Process-wide: the reload thread outlives the operation and the manager.
    static std::mutex mutex;
    static bool waiting = false; // a reload thread is sleeping and will read the files
    std::lock_guard<std::mutex> lock(mutex);
    if (waiting)
        return;
    waiting = true;
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(3)); // resumes after a signal
        {
            std::lock_guard<std::mutex> lock(mutex);
            waiting = false; // a later regeneration schedules a reload of its own
        }
        runReload();
    }).detach();
}
