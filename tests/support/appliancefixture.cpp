#include "appliancefixture.h"

#include "servicefixture.h"
#include "testfiles.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

QString applianceSiteConfig(const QString &orbaRoot)
{
    QFile file(QStringLiteral(APPLIANCE_APACHE_TEMPLATE));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll())
        .replace(QStringLiteral("@ORBA_ROOT@"), orbaRoot)
        .replace(QStringLiteral("@APACHE_MODULES@"), QStringLiteral("/usr/lib/apache2/modules"));
}

bool prepareApplianceSite(const QString &orbaRoot, TestApache &apache, quint16 *httpPort,
                          quint16 *httpsPort)
{
    *httpPort = TestApache::freePort();
    do
        *httpsPort = TestApache::freePort();
    while (*httpsPort == *httpPort);
    const QString config = applianceSiteConfig(orbaRoot);
    apache.setExtraConfig(config);
    return !config.isEmpty() && writeDefinePorts(orbaRoot, *httpPort, *httpsPort)
        && writeTestFile(orbaRoot + QStringLiteral("/etc/apache2/snippets/ssl.conf"),
                     QStringLiteral("SSLCertificateFile \"%1/tls/server.crt\"\n"
                                    "SSLCertificateKeyFile \"%1/tls/server.key\"\n")
                         .arg(apache.serverRoot())
                         .toUtf8());
}

ApplianceApache::ApplianceApache(ServiceRoot &root)
    : m_root(root)
{
}

bool ApplianceApache::start()
{
    return prepareApplianceSite(m_root.root(), m_apache, &m_httpPort, &m_httpsPort) && m_apache.start()
        && writeStandins(m_root.root() + QStringLiteral("/bin"), m_root.root(), &m_apache);
}

QString ApplianceApache::configTest() const
{
    return m_apache.configTest();
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
