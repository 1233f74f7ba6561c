#ifndef APACHEFIXTURE_H
#define APACHEFIXTURE_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private Apache instance for tests: /usr/sbin/apache2 run with a
// configuration of its own in a temporary server root (PID file, logs, runtime
// files, document root, self-signed certificate), listening on 127.0.0.1 on
// free high ports: one plain HTTP port and one HTTPS port (mod_ssl). It loads
// mod_mime, mod_dir, mod_deflate (text, HTML, JSON and CSS are sent gzip
// encoded when the client accepts it), mod_cgi ("*.cgi" files in the document
// root run as CGI scripts) and mod_headers. The access log records
// "%m %U %>s %{Content-Encoding}o" per request. The system's Apache and its
// configuration are never used.
class TestApache
{
public:
    TestApache();
    ~TestApache(); // stops the server

    // Configuration text appended at server level (modules, Listen lines,
    // virtual hosts, ...). Set before start().
    void setExtraConfig(const QString &text);

    // Picks free ports, writes the configuration and starts the server; true
    // once both ports accept connections. errorText() explains a failure.
    bool start();
    // Stops the server by the PID in its PID file and waits until it is gone.
    void stop();
    bool isRunning() const;

    quint16 httpPort() const;
    quint16 httpsPort() const;
    // "http://127.0.0.1:<port>" + path, "https://127.0.0.1:<port>" + path.
    QString httpUrl(const QString &path = QStringLiteral("/")) const;
    QString httpsUrl(const QString &path = QStringLiteral("/")) const;

    QString serverRoot() const;
    QString documentRoot() const;
    QString configPath() const;
    // Empty when "apache2 -t" accepts the configuration as it stands, else its output.
    QString configTest() const;
    // Writes a file below the document root (directories are created), readable
    // by the server's user; executable for CGI scripts.
    bool writeDocument(const QString &relativePath, const QByteArray &content,
                       bool executable = false);
    // Lines of the access log and the error log text.
    QStringList accessLog() const;
    QString errorLog() const;
    QString errorText() const;

    // A TCP port on 127.0.0.1 that was free a moment ago.
    static quint16 freePort();

private:
    bool writeConfig();
    bool makeCertificate();
    bool launch();
    bool waitUntilListening();
    qint64 pid() const;

    QTemporaryDir m_root;
    QString m_extraConfig;
    quint16 m_httpPort = 0;
    quint16 m_httpsPort = 0;
    bool m_running = false;
    QString m_error;
    Q_DISABLE_COPY(TestApache)
};

#endif // APACHEFIXTURE_H
