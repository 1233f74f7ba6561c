#include "apachefixture.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace {

const char *const kApache = "/usr/sbin/apache2";
const char *const kModules = "/usr/lib/apache2/modules";
const int kStartAttempts = 4;
const int kWaitMs = 20000;

const char *const kConfig = R"conf(ServerRoot "%1"
ServerName 127.0.0.1
PidFile "%1/run/apache2.pid"
DefaultRuntimeDir "%1/run"
ErrorLog "%1/logs/error.log"
LogLevel warn
LoadModule mpm_prefork_module %4/mod_mpm_prefork.so
LoadModule authz_core_module %4/mod_authz_core.so
LoadModule authz_host_module %4/mod_authz_host.so
LoadModule mime_module %4/mod_mime.so
LoadModule dir_module %4/mod_dir.so
LoadModule filter_module %4/mod_filter.so
LoadModule deflate_module %4/mod_deflate.so
LoadModule headers_module %4/mod_headers.so
LoadModule cgi_module %4/mod_cgi.so
LoadModule socache_shmcb_module %4/mod_socache_shmcb.so
LoadModule ssl_module %4/mod_ssl.so
User www-data
Group www-data
StartServers 2
MinSpareServers 1
MaxSpareServers 4
MaxRequestWorkers 16
Timeout 30
Listen 127.0.0.1:%2
Listen 127.0.0.1:%3 https
TypesConfig /etc/mime.types
LogFormat "%m %U %>s %{Content-Encoding}o" testlog
CustomLog "%1/logs/access.log" testlog
DocumentRoot "%1/htdocs"
DirectoryIndex index.html
<Directory "%1/htdocs">
    Options +ExecCGI
    AllowOverride None
    Require all granted
</Directory>
AddHandler cgi-script .cgi
AddOutputFilterByType DEFLATE text/plain text/html text/css application/json
SSLSessionCache "shmcb:%1/run/ssl_scache(512000)"
<VirtualHost 127.0.0.1:%3>
    SSLEngine on
    SSLCertificateFile "%1/tls/server.crt"
    SSLCertificateKeyFile "%1/tls/server.key"
</VirtualHost>
)conf";

// A process that has ended but was not reaped (state Z) counts as gone; one
// that was re-parented to this process is reaped here.
bool processAlive(qint64 pid)
{
    if (::waitpid(pid_t(pid), nullptr, WNOHANG) == pid_t(pid))
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) != "Z";
}

bool portAccepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(500);
}

const QFileDevice::Permissions kReadable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ReadGroup | QFileDevice::ReadOther;
const QFileDevice::Permissions kExecutable = QFileDevice::ExeOwner | QFileDevice::ExeGroup
    | QFileDevice::ExeOther;

} // namespace

TestApache::TestApache()
{
    // The daemonised server is re-parented to this process, which can then
    // reap it instead of leaving that to an init that may not.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The server's children run as www-data and must reach the document root.
    QFile::setPermissions(m_root.path(), kReadable | kExecutable);
    for (const char *dir : {"logs", "run", "htdocs", "tls"})
        QDir(m_root.path()).mkpath(QString::fromLatin1(dir));
}

TestApache::~TestApache()
{
    // Without its configuration no stand-in can start this server again
    // while it stops, or after its directory is gone.
    QFile::remove(configPath());
    stop();
}

void TestApache::setExtraConfig(const QString &text)
{
    m_extraConfig = text;
}

bool TestApache::start()
{
    if (m_running)
        return true;
    if (!m_root.isValid() || !makeCertificate())
        return false;
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        m_httpPort = freePort();
        do
            m_httpsPort = freePort();
        while (m_httpsPort == m_httpPort);
        if (!writeConfig())
            return false;
        m_running = launch() && waitUntilListening();
        if (m_running)
            return true;
        stop();
        // Another process may have taken a port in the meantime: try new ones.
        if (!errorText().contains(QLatin1String("Address already in use")))
            return false;
    }
    return false;
}

void TestApache::stop()
{
    const qint64 id = pid();
    m_running = false;
    if (id <= 0)
        return;
    ::kill(pid_t(id), SIGTERM);
    QDeadlineTimer deadline(kWaitMs);
    while (processAlive(id) && !deadline.hasExpired())
        QThread::msleep(50);
    if (processAlive(id))
        ::kill(pid_t(id), SIGKILL);
    QFile::remove(m_root.filePath(QStringLiteral("run/apache2.pid")));
}

bool TestApache::isRunning() const
{
    return m_running;
}

quint16 TestApache::httpPort() const
{
    return m_httpPort;
}

quint16 TestApache::httpsPort() const
{
    return m_httpsPort;
}

QString TestApache::httpUrl(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path);
}

QString TestApache::httpsUrl(const QString &path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(m_httpsPort).arg(path);
}

QString TestApache::serverRoot() const
{
    return m_root.path();
}

QString TestApache::documentRoot() const
{
    return m_root.filePath(QStringLiteral("htdocs"));
}

QString TestApache::configPath() const
{
    return m_root.filePath(QStringLiteral("apache2.conf"));
}

QString TestApache::configTest() const
{
    QProcess test;
    test.setProcessChannelMode(QProcess::MergedChannels);
    test.start(QString::fromLatin1(kApache), {QStringLiteral("-f"), configPath(), QStringLiteral("-t")});
    if (!test.waitForFinished(kWaitMs))
        return QStringLiteral("apache2 -t did not finish");
    const QString output = QString::fromUtf8(test.readAll());
    return test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0 ? QString() : output;
}

bool TestApache::writeDocument(const QString &relativePath, const QByteArray &content,
                               bool executable)
{
    const QString path = QDir(documentRoot()).filePath(relativePath);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        return false;
    file.close();
    return file.setPermissions(executable ? kReadable | kExecutable : kReadable);
}

QStringList TestApache::accessLog() const
{
    QFile file(m_root.filePath(QStringLiteral("logs/access.log")));
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString TestApache::errorLog() const
{
    QFile file(m_root.filePath(QStringLiteral("logs/error.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString TestApache::errorText() const
{
    return m_error + errorLog();
}

quint16 TestApache::freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool TestApache::writeConfig()
{
    const QString text = QString::fromLatin1(kConfig)
                             .arg(m_root.path())
                             .arg(m_httpPort)
                             .arg(m_httpsPort)
                             .arg(QString::fromLatin1(kModules))
        + m_extraConfig + QLatin1Char('\n');
    QFile file(configPath());
    const QByteArray bytes = text.toUtf8();
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size())
        return true;
    m_error = QStringLiteral("cannot write %1\n").arg(configPath());
    return false;
}

bool TestApache::makeCertificate()
{
    if (QFile::exists(m_root.filePath(QStringLiteral("tls/server.crt"))))
        return true;
    const QString error = writeCertificate(m_root.filePath(QStringLiteral("tls")));
    if (!error.isEmpty())
        m_error = QStringLiteral("openssl failed: %1\n").arg(error);
    return error.isEmpty();
}

// apache2 parses the configuration, forks the server and returns.
bool TestApache::launch()
{
    QProcess apache;
    apache.setProcessChannelMode(QProcess::MergedChannels);
    apache.start(QString::fromLatin1(kApache), {QStringLiteral("-f"), configPath()});
    const bool ok = apache.waitForFinished(kWaitMs) && apache.exitStatus() == QProcess::NormalExit
        && apache.exitCode() == 0;
    m_error = QString::fromUtf8(apache.readAll());
    return ok;
}

bool TestApache::waitUntilListening()
{
    QDeadlineTimer deadline(kWaitMs);
    while (!deadline.hasExpired()) {
        if (pid() > 0 && portAccepts(m_httpPort) && portAccepts(m_httpsPort))
            return true;
        if (pid() > 0 && !processAlive(pid()))
            break;
        QThread::msleep(50);
    }
    m_error += QStringLiteral("apache did not start listening\n");
    return false;
}

qint64 TestApache::pid() const
{
    QFile file(m_root.filePath(QStringLiteral("run/apache2.pid")));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().trimmed().toLongLong();
}
