#ifndef SERVICEFIXTURE_H
#define SERVICEFIXTURE_H

#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A development root for the reverse-proxy service, used by the end-to-end
// tests and the benchmarks: a temporary ORBA_ROOT holding the appliance's
// Define files and a bin directory with the stand-ins of testfiles.h
// ("systemctl" logs to systemctl.log in the root, "netstat" prints
// netstat.txt, "apache2ctl" accepts every configuration), put first on PATH
// of the service it starts.
class ServiceRoot
{
public:
    ServiceRoot();

    bool isValid() const;
    QString root() const;
    // The fixed path with the leading /orba replaced by this root.
    QString path(const QString &fixedPath) const;
    // Socket path the default configuration uses.
    QString lpcid() const;

    void writeDefinePorts(int httpPort, int httpsPort);
    // Writes /orba/etc/reverseproxy/config.json and returns its path.
    QString writeConfig(const QJsonObject &config);
    QString writeDefaultConfig(bool debugging);
    // Replaces the body of the systemctl stand-in (a bash script).
    void setSystemctlScript(const QString &body);
    QString systemctlLog() const;

    QProcessEnvironment environment() const;
    // Writes a stand-in program (a bash script body) into the bin directory.
    void writeScript(const QString &name, const QString &body);

private:

    QTemporaryDir m_dir;
};

// The real service binary as a child process of the test.
class ServiceProcess
{
public:
    explicit ServiceProcess(const ServiceRoot &root);
    ~ServiceProcess(); // ends the service with SIGTERM, SIGKILL when it stays

    // Starts build/bin/reverseproxy with the arguments; with waitForSocket,
    // returns once the socket accepts connections (false if it never does).
    bool start(const QStringList &arguments, const QString &socketToWaitFor = QString());
    // Sets a variable in the environment of the next start().
    void setEnvironmentVariable(const QString &name, const QString &value);
    // A program and its arguments that the next start() runs the service
    // through ("setpriv ..."); empty: the service itself.
    void setLauncher(const QStringList &launcher);
    // Waits for the process to end on its own; false if it does not within the time.
    bool waitForExit(int msecs = 30000);
    void signal(int signal);
    qint64 pid() const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    bool isRunning() const;
    // Everything written to standard output so far.
    QString output();
    // Everything written to standard error so far.
    QString errors();

private:
    QProcess m_process;
    QStringList m_launcher;
    QByteArray m_output;
    QByteArray m_errors;
};

// One client connection to the service; requests on it share the
// connection's call environment.
class ServiceConnection
{
public:
    bool open(const QString &name, int msecs = 5000);
    // Sends one request and waits for its answer; false on time-out or a
    // closed connection.
    bool request(const QJsonObject &request, QJsonObject *answer, int msecs = 30000);
    // Waits for the next answer; false on time-out or a closed connection.
    bool receive(QJsonObject *answer, int msecs = 30000);
    bool send(const QByteArray &bytes);
    // Waits until the service closes the connection; false if it does not in time.
    bool waitForClosed(int msecs = 30000);
    void close();

private:
    QLocalSocket m_socket;
    QByteArray m_buffer;
};

// The rule parameter object of a simple rule forwarding an appliance web path.
QJsonObject simpleRule(const QString &name, const QString &sourcePath, int destPort);

#endif // SERVICEFIXTURE_H
