#include "servicefixture.h"

#include "testfiles.h"
#include "zx2rpcpacket.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

#include <csignal>

ServiceRoot::ServiceRoot()
{
    writeStandins(root() + QStringLiteral("/bin"), root());
}

bool ServiceRoot::isValid() const
{
    return m_dir.isValid();
}

QString ServiceRoot::root() const
{
    return m_dir.path();
}

QString ServiceRoot::path(const QString &fixedPath) const
{
    return root() + fixedPath.mid(QStringLiteral("/orba").size());
}

QString ServiceRoot::lpcid() const
{
    return root() + QStringLiteral("/run/reverseproxy.sock");
}

void ServiceRoot::writeDefinePorts(int httpPort, int httpsPort)
{
    ::writeDefinePorts(root(), httpPort, httpsPort);
}

QString ServiceRoot::writeConfig(const QJsonObject &config)
{
    const QString file = path(QStringLiteral("/orba/etc/reverseproxy/config.json"));
    writeTestFile(file, QJsonDocument(config).toJson());
    return file;
}

QString ServiceRoot::writeDefaultConfig(bool debugging)
{
    return writeConfig({{QStringLiteral("debugging"), debugging},
                        {QStringLiteral("appname"), QStringLiteral("reverseproxy")},
                        {QStringLiteral("lpcid"), lpcid()}});
}

void ServiceRoot::setSystemctlScript(const QString &body)
{
    writeScript(QStringLiteral("systemctl"), body);
}

QString ServiceRoot::systemctlLog() const
{
    QFile file(root() + QStringLiteral("/systemctl.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QProcessEnvironment ServiceRoot::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ORBA_ROOT"), root());
    env.insert(QStringLiteral("PATH"), root() + QStringLiteral("/bin:") + env.value(QStringLiteral("PATH")));
    return env;
}

void ServiceRoot::writeScript(const QString &name, const QString &body)
{
    ::writeScript(root() + QStringLiteral("/bin"), name, body);
}

ServiceProcess::ServiceProcess(const ServiceRoot &root)
{
    m_process.setProcessEnvironment(root.environment());
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
}

ServiceProcess::~ServiceProcess()
{
    // SIGTERM first: the service then ends the programs it runs itself,
    // which SIGKILL would leave running behind the test.
    if (isRunning()) {
        m_process.terminate();
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished(10000);
        }
    }
}

bool ServiceProcess::start(const QStringList &arguments, const QString &socketToWaitFor)
{
    const QStringList command = m_launcher + QStringList{QStringLiteral(BIN_DIR "/reverseproxy")} + arguments;
    m_process.start(command.first(), command.mid(1));
    if (!m_process.waitForStarted(10000))
        return false;
    if (socketToWaitFor.isEmpty())
        return true;
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && isRunning()) {
        ServiceConnection probe;
        if (probe.open(socketToWaitFor, 200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool ServiceProcess::waitForExit(int msecs)
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(msecs);
}

void ServiceProcess::signal(int signal)
{
    ::kill(static_cast<pid_t>(m_process.processId()), signal);
}

qint64 ServiceProcess::pid() const
{
    return m_process.processId();
}

int ServiceProcess::exitCode() const
{
    return m_process.exitCode();
}

QProcess::ExitStatus ServiceProcess::exitStatus() const
{
    return m_process.exitStatus();
}

void ServiceProcess::setEnvironmentVariable(const QString &name, const QString &value)
{
    QProcessEnvironment environment = m_process.processEnvironment();
    environment.insert(name, value);
    m_process.setProcessEnvironment(environment);
}

void ServiceProcess::setLauncher(const QStringList &launcher)
{
    m_launcher = launcher;
}

bool ServiceProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

QString ServiceProcess::output()
{
    m_output += m_process.readAllStandardOutput();
    return QString::fromLocal8Bit(m_output);
}

QString ServiceProcess::errors()
{
    m_errors += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_errors);
}

bool ServiceConnection::open(const QString &name, int msecs)
{
    m_socket.connectToServer(name);
    return m_socket.waitForConnected(msecs);
}

bool ServiceConnection::request(const QJsonObject &request, QJsonObject *answer, int msecs)
{
    return send(ZX2RpcPacket(request).toDatagram()) && receive(answer, msecs);
}

bool ServiceConnection::receive(QJsonObject *answer, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (!deadline.hasExpired()) {
        ZX2RpcPacket packet;
        int result;
        while ((result = packet.fromDatagram(m_buffer)) == 0 || result == 1) {
            if (result == 0 && !packet.isEmpty()) {
                *answer = packet;
                return true;
            }
        }
        if (m_socket.state() != QLocalSocket::ConnectedState) {
            // An answer may have arrived together with the close.
            const QByteArray rest = m_socket.readAll();
            if (rest.isEmpty())
                return false;
            m_buffer += rest;
            continue;
        }
        if (m_socket.waitForReadyRead(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 1000))))
            m_buffer += m_socket.readAll();
    }
    return false;
}

bool ServiceConnection::send(const QByteArray &bytes)
{
    if (m_socket.state() != QLocalSocket::ConnectedState || m_socket.write(bytes) != bytes.size())
        return false;
    return m_socket.waitForBytesWritten(10000) || m_socket.bytesToWrite() == 0;
}

bool ServiceConnection::waitForClosed(int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (m_socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
        if (m_socket.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 1000))))
            m_buffer += m_socket.readAll();
    }
    return m_socket.state() != QLocalSocket::ConnectedState;
}

void ServiceConnection::close()
{
    m_socket.abort();
}

QJsonObject simpleRule(const QString &name, const QString &sourcePath, int destPort)
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("source"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                   {QStringLiteral("port"), 0},
                                                   {QStringLiteral("path"), sourcePath}}},
            {QStringLiteral("dest"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                 {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                                 {QStringLiteral("port"), destPort},
                                                 {QStringLiteral("path"), QStringLiteral("/")}}}};
}
