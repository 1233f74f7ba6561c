#include "kmapacheconf.h"

#include "zx2paths.h"
#include "zx2utils.h"

#include <QJsonArray>
#include <QMap>

namespace {

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

// The rules of one effective source port; the attributes come from its last rule.
struct PortGroup
{
    QString protocol;
    QString serverName;
    bool hsts = false;
    QStringList locations;
};

} // namespace

KMApacheFiles KMApacheConf::generate(const QList<KMRule> &rules, const KMAppliancePorts &ports)
{
    QMap<int, PortGroup> groups;
    for (const KMRule &rule : rules) {
        PortGroup &group = groups[rule.source.effectivePort(ports)];
        group.protocol = rule.source.protocol;
        group.serverName = rule.source.host;
        group.hsts = toBool(rule.params.value(QStringLiteral("hsts")));
        group.locations << locationLines(rule);
    }
    // The web ports' rules go into the appliance's own sites, every other
    // port becomes a virtual host. (Both ports 0: all goes to http.conf.)
    KMApacheFiles files;
    files.http = groups.take(ports.http).locations;
    files.https = groups.take(ports.https).locations;
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        const QString name = group->protocol + QLatin1Char('_') + QString::number(group.key())
                             + QStringLiteral(".conf");
        files.virtualHosts << KMVirtualHostFile{name, virtualHostLines(group.key(), group->protocol,
                                                                       group->serverName, group->hsts,
                                                                       group->locations)};
    }
    return files;
}

QString KMApacheConf::destinationUrl(const KMRuleSide &dest)
{
    QString host = dest.host;
    if (host.isEmpty())
        host = QStringLiteral("127.0.0.1");
    else if (host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('[')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return dest.protocol + QStringLiteral("://") + host + QLatin1Char(':')
           + QString::number(dest.port) + dest.path;
}

QStringList KMApacheConf::locationLines(const KMRule &rule)
{
    const QString url = destinationUrl(rule.dest);
    const bool ownErrorPages = toBool(rule.params.value(QStringLiteral("desterrpage")));
    QStringList lines;
    lines << QString()
          << QStringLiteral("# ") + rule.name
          << QStringLiteral("<LocationMatch '") + rule.source.path + QStringLiteral("'>")
          << QStringLiteral("    ProxyPass '") + url + QStringLiteral("' ") + proxyOptions(rule.params)
          << QStringLiteral("    ProxyPassReverse '") + url + QLatin1Char('\'')
          << QStringLiteral("    ProxyPassReverse /")
          << QString()
          << QStringLiteral("    ProxyPassReverse On")
          << QStringLiteral("    ProxyPassInterpolateEnv On")
          << QStringLiteral("    ProxyErrorOverride ")
                 + (ownErrorPages ? QStringLiteral("Off") : QStringLiteral("On"))
          << QString();
    lines << headerLines(rule.params.value(QStringLiteral("httpheaders")));
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

