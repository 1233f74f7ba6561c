#include "appliancefixture.h"

#include "servicefixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>

namespace {

const char *const kSiteConfig = R"conf(LoadModule proxy_module /usr/lib/apache2/modules/mod_proxy.so
LoadModule proxy_http_module /usr/lib/apache2/modules/mod_proxy_http.so
LoadModule env_module /usr/lib/apache2/modules/mod_env.so
Include "%1/orbadesktop-http-port.conf"
Include "%1/orbadesktop-https-port.conf"
Listen 127.0.0.1:${ORBA_DESKTOP_HTTP_PORT}
Listen 127.0.0.1:${ORBA_DESKTOP_HTTPS_PORT} https
<VirtualHost 127.0.0.1:${ORBA_DESKTOP_HTTP_PORT}>
    IncludeOptional "%2/http.conf"
</VirtualHost>
<VirtualHost 127.0.0.1:${ORBA_DESKTOP_HTTPS_PORT}>
    SSLEngine on
    Include "%3"
    IncludeOptional "%2/https.conf"
</VirtualHost>
IncludeOptional "%2/virtualhost/*.conf"
)conf";

// systemctl as the appliance's init system answers for this instance only.
const char *const kSystemctl = R"sh(pid='%1'; conf='%2'
echo "$*" >> "$ORBA_ROOT/systemctl.log"
running() { [ -s "$pid" ] && kill -0 "$(cat "$pid")" 2>/dev/null; }
case "$1 $2" in
  "reload apache2") running || exit 1; /usr/sbin/apache2 -f "$conf" -t 2>/dev/null || exit 1
                    exec /usr/sbin/apache2 -f "$conf" -k graceful ;;
  "start apache2") running || exec /usr/sbin/apache2 -f "$conf" -k start ;;
  "is-active apache2") running && exit 0; exit 3 ;;
esac
exit 0
)sh";

} // namespace

ApplianceApache::ApplianceApache(ServiceRoot &root)
    : m_root(root)
{
}

bool ApplianceApache::start()
{
    m_httpPort = TestApache::freePort();
    do
        m_httpsPort = TestApache::freePort();
    while (m_httpsPort == m_httpPort);
    m_root.writeDefinePorts(m_httpPort, m_httpsPort);
    const QString snippet = m_root.path(QStringLiteral("/orba/etc/apache2/snippets/ssl.conf"));
    QDir().mkpath(QFileInfo(snippet).absolutePath());
    QFile ssl(snippet);
    if (!ssl.open(QIODevice::WriteOnly))
        return false;
    ssl.write(QStringLiteral("SSLCertificateFile \"%1/tls/server.crt\"\nSSLCertificateKeyFile \"%1/tls/server.key\"\n")
                  .arg(m_apache.serverRoot()).toUtf8());
    ssl.close();
    m_apache.setExtraConfig(QString::fromLatin1(kSiteConfig)
                                .arg(m_root.path(QStringLiteral("/orba/etc/apache2/apps/desktop/conf")),
                                     m_root.path(QStringLiteral("/orba/etc/reverseproxy")), snippet));
    if (!m_apache.start())
        return false;
    m_root.setSystemctlScript(QString::fromLatin1(kSystemctl)
                                  .arg(m_apache.serverRoot() + QStringLiteral("/run/apache2.pid"),
                                       m_apache.configPath()));
    m_root.writeScript(QStringLiteral("apache2ctl"),
                       QStringLiteral("exec /usr/sbin/apache2 -f '%1' \"$@\"\n").arg(m_apache.configPath()));
    return true;
}

QString ApplianceApache::configTest() const
{
    QProcess test;
    test.setProcessChannelMode(QProcess::MergedChannels);
    test.start(QStringLiteral("/usr/sbin/apache2"), {QStringLiteral("-f"), m_apache.configPath(), QStringLiteral("-t")});
    if (!test.waitForFinished(30000))
        return QStringLiteral("apache2 -t did not finish");
    const QString output = QString::fromUtf8(test.readAll());
    return test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0 ? QString() : output;
}

QByteArray ApplianceApache::get(quint16 port, const QString &target)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return "no connection";
    socket.write("GET " + target.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000)) {
    }
    return socket.readAll();
}
