#include "proxyfixture.h"

#include "zx2journals.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

// apache2 -t parses every module and included file.
const int kConfigTestWaitMs = 30000;

bool writeFile(const QString &path, const QByteArray &data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

} // namespace

ProxyFixture::ProxyFixture() = default;

ProxyFixture::~ProxyFixture()
{
    m_apache.stop();
    m_manager.reset();
    qunsetenv("ORBA_ROOT");
}

bool ProxyFixture::prepareRoot()
{
    qputenv("ORBA_ROOT", m_root.path().toUtf8());
    m_httpPort = TestApache::freePort();
    do
        m_httpsPort = TestApache::freePort();
    while (m_httpsPort == m_httpPort);
    const QString defines = m_root.filePath("etc/apache2/apps/desktop/conf/");
    const QString snippet = m_root.filePath("etc/apache2/snippets/ssl.conf");
    const QString generated = m_root.filePath("etc/reverseproxy");
    if (!writeFile(defines + "orbadesktop-http-port.conf",
                   "Define ORBA_DESKTOP_HTTP_PORT " + QByteArray::number(m_httpPort) + "\n")
        || !writeFile(defines + "orbadesktop-https-port.conf",
                      "Define ORBA_DESKTOP_HTTPS_PORT " + QByteArray::number(m_httpsPort) + "\n")
        || !writeFile(snippet, QString("SSLCertificateFile \"%1/tls/server.crt\"\n"
                                       "SSLCertificateKeyFile \"%1/tls/server.key\"\n")
                                   .arg(m_apache.serverRoot()).toUtf8())
        || !writeFile(m_bin.filePath("systemctl"), "#!/bin/bash\nexit 0\n", true))
        return false;
    qputenv("PATH", m_bin.path().toUtf8() + ":" + qgetenv("PATH"));
    const QString modules = "/usr/lib/apache2/modules/";
    m_apache.setExtraConfig(QString(
        "LoadModule proxy_module %1mod_proxy.so\n"
        "LoadModule proxy_http_module %1mod_proxy_http.so\n"
        "LoadModule env_module %1mod_env.so\n"
        "Include \"%2orbadesktop-http-port.conf\"\n"
        "Include \"%2orbadesktop-https-port.conf\"\n"
        "Listen 127.0.0.1:${ORBA_DESKTOP_HTTP_PORT}\n"
        "Listen 127.0.0.1:${ORBA_DESKTOP_HTTPS_PORT} https\n"
        "<VirtualHost 127.0.0.1:${ORBA_DESKTOP_HTTP_PORT}>\n"
        "    IncludeOptional \"%3/http.conf\"\n"
        "</VirtualHost>\n"
        "<VirtualHost 127.0.0.1:${ORBA_DESKTOP_HTTPS_PORT}>\n"
        "    SSLEngine on\n"
        "    Include \"%4\"\n"
        "    IncludeOptional \"%3/https.conf\"\n"
        "</VirtualHost>\n"
        "IncludeOptional \"%3/virtualhost/*.conf\"\n")
                               .arg(modules, defines, generated, snippet));
    return true;
}

bool ProxyFixture::start()
{
    if (!m_root.isValid() || !m_bin.isValid() || !prepareRoot()) {
        m_error = "cannot prepare ORBA_ROOT";
        return false;
    }
    m_manager.reset(new KMReverseproxy);
    ZX2Journals journals;
    if (!m_manager->start(journals)) {
        m_error = journals.errmsg();
        return false;
    }
    if (m_apache.start())
        return true;
    m_error = m_apache.errorText();
    return false;
}

KMReverseproxy &ProxyFixture::manager()
{
    return *m_manager;
}

quint16 ProxyFixture::httpPort() const
{
    return m_httpPort;
}

quint16 ProxyFixture::httpsPort() const
{
    return m_httpsPort;
}

bool ProxyFixture::create(const QJsonObject &params)
{
    ZX2Journals journals;
    if (m_manager->create(journals, params))
        return true;
    m_error = journals.errmsg();
    return false;
}

bool ProxyFixture::clear()
{
    ZX2Journals journals;
    QJsonObject rules;
    if (!m_manager->alload(journals, rules))
        return false;
    for (const QJsonValue &rule : qAsConst(rules)) {
        if (!m_manager->remove(journals, rule.toObject().value("pxyno").toInt()))
            return false;
    }
    return true;
}

QString ProxyFixture::configTest() const
{
    QProcess test;
    test.setProcessChannelMode(QProcess::MergedChannels);
    test.start("/usr/sbin/apache2", {"-f", m_apache.configPath(), "-t"});
    if (!test.waitForFinished(kConfigTestWaitMs))
        return "apache2 -t did not finish";
    const QString output = QString::fromUtf8(test.readAll());
    return test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0 ? QString() : output;
}

bool ProxyFixture::apply()
{
    m_error = configTest();
    if (!m_error.isEmpty())
        return false;
    m_apache.stop();
    if (m_apache.start())
        return true;
    m_error = m_apache.errorText();
    return false;
}

QString ProxyFixture::errorText() const
{
    return m_error;
}
