#include "apachefixture.h"
#include "kmreverseproxy.h"
#include "zx2journals.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

// The generated configuration in a real Apache: a private instance on
// loopback that includes http.conf and https.conf in the appliance's web
// ports and the virtual-host files at server level, like the appliance does.
// "systemctl reload apache2" is a stand-in that reloads this instance.
class TestKMReverseproxyApache : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir root;
    QTemporaryDir bin;
    TestApache apache;
    QScopedPointer<KMReverseproxy> manager;
    quint16 applianceHttp = 0;
    quint16 applianceHttps = 0;

    QString path(const QString &relative) const { return root.filePath(relative); }

    static bool writeFile(const QString &path, const QByteArray &data, bool executable = false)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            return false;
        file.close();
        return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
    }

    static QJsonObject rule(const QString &name, const QString &protocol, int port,
                            const QString &sourcePath, const QJsonObject &dest)
    {
        return {{"name", name},
                {"source", QJsonObject{{"protocol", protocol}, {"port", port}, {"path", sourcePath}}},
                {"dest", dest}};
    }

    // The instance's own document root, below /backend. Apache replaces the
    // part of the URL that the location matched by the destination path.
    QJsonObject backend(const QString &path = "/backend") const
    {
        return {{"protocol", "http"}, {"host", "127.0.0.1"}, {"port", apache.httpPort()}, {"path", path}};
    }

    // Apache's own verdict on the configuration as it stands.
    QString configTest() const
    {
        QProcess test;
        test.setProcessChannelMode(QProcess::MergedChannels);
        test.start("/usr/sbin/apache2", {"-f", apache.configPath(), "-t"});
        if (!test.waitForFinished(30000))
            return "apache2 -t did not finish";
        const QString output = QString::fromUtf8(test.readAll());
        return test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0 ? QString() : output;
    }

    // The body of a plain HTTP/1.0 GET, or the error.
    static QByteArray get(quint16 port, const QString &target)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return "no connection";
        socket.write("GET " + target.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000)) {
        }
        const QByteArray answer = socket.readAll();
        const int body = answer.indexOf("\r\n\r\n");
        return answer.startsWith("HTTP/1.1 200") && body > 0 ? answer.mid(body + 4) : answer.left(answer.indexOf('\r'));
    }

    void create(const QJsonObject &params)
    {
        ZX2Journals journals;
        QVERIFY2(manager->create(journals, params), qPrintable(journals.errmsg()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid() && bin.isValid());
        qputenv("ORBA_ROOT", root.path().toUtf8());
        applianceHttp = TestApache::freePort();
        do
            applianceHttps = TestApache::freePort();
        while (applianceHttps == applianceHttp);
        const QString defines = path("etc/apache2/apps/desktop/conf/");
        QVERIFY(writeFile(defines + "orbadesktop-http-port.conf",
                          "Define ORBA_DESKTOP_HTTP_PORT " + QByteArray::number(applianceHttp) + "\n"));
        QVERIFY(writeFile(defines + "orbadesktop-https-port.conf",
                          "Define\tORBA_DESKTOP_HTTPS_PORT\t" + QByteArray::number(applianceHttps) + "\n"));
        QVERIFY(writeFile(path("etc/apache2/snippets/ssl.conf"),
                          QString("SSLCertificateFile \"%1/tls/server.crt\"\nSSLCertificateKeyFile \"%1/tls/server.key\"\n")
                              .arg(apache.serverRoot()).toUtf8()));
        const QString modules = "/usr/lib/apache2/modules/";
        apache.setExtraConfig(QString(
            "LoadModule proxy_module %1mod_proxy.so\n"
            "LoadModule proxy_http_module %1mod_proxy_http.so\n"
            "LoadModule env_module %1mod_env.so\n"
            "SSLProxyEngine on\n"
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
                                  .arg(modules, defines, path("etc/reverseproxy"),
                                       path("etc/apache2/snippets/ssl.conf")));
        // Reload the instance only while it runs: a graceful restart of a
        // stopped server would start one.
        const QString pidFile = apache.serverRoot() + "/run/apache2.pid";
        QVERIFY(writeFile(bin.filePath("systemctl"),
                          QString("#!/bin/bash\n[ \"$*\" = 'reload apache2' ] && [ -s '%1' ] && kill -0 \"$(cat '%1')\" "
                                  "&& exec /usr/sbin/apache2 -f '%2' -k graceful\nexit 0\n")
                              .arg(pidFile, apache.configPath()).toUtf8(),
                          true));
        QVERIFY(writeFile(bin.filePath("apache2ctl"),
                          QString("#!/bin/bash\nexec /usr/sbin/apache2 -f '%1' \"$@\"\n").arg(apache.configPath()).toUtf8(), true));
        qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));

        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
        QVERIFY(apache.writeDocument("backend/hello.txt", "hello through the web port\n"));
        QVERIFY(apache.writeDocument("backend/vh/hello.txt", "hello through a virtual host\n"));
        QVERIFY2(apache.start(), qPrintable(apache.errorText()));
        create(rule("web port", "http", 0, "/app", backend()));
    }

    void cleanupTestCase()
    {
        apache.stop();
        manager.reset();
        qunsetenv("ORBA_ROOT");
    }

    // Created after the start: the reload brings it in.
    void proxiesOnTheApplianceWebPort()
    {
        QTRY_COMPARE_WITH_TIMEOUT(get(applianceHttp, "/app/hello.txt"), QByteArray("hello through the web port\n"), 60000);
    }

    // Created while Apache runs: the reload makes it listen on the new port.
    void proxiesOnACustomPortAfterReload()
    {
        const quint16 port = TestApache::freePort();
        QJsonObject params = rule("custom", "http", port, "/vh", backend("/backend/vh"));
        params.insert("httpversion", "HTTP/1.1");
        params.insert("timeouts", QJsonObject{{"recv", 30}});
        create(params);
        QTRY_COMPARE_WITH_TIMEOUT(get(port, "/vh/hello.txt"), QByteArray("hello through a virtual host\n"), 60000);
        QVERIFY2(apache.isRunning() && configTest().isEmpty(), qPrintable(apache.errorLog()));
    }

    // A varied set of rules (all options, https and IPv6 destinations,
    // custom https and http virtual hosts with server names) passes "-t".
    void configurationTestPasses()
    {
        auto source = [](const QString &protocol, int port, const QString &host, const QString &path) {
            return QJsonObject{{"protocol", protocol}, {"port", port}, {"host", host}, {"path", path}};
        };
        QJsonObject options = rule("选项", "https", 0, "/(shop|store)/a+b$%{X}e",
                                   {{"protocol", "https"}, {"host", "backend.example"}, {"port", 443}, {"path", "a b"}});
        options.insert("timeouts", QJsonObject{{"conn", 1}, {"send", 2}, {"recv", 3}});
        options.insert("httpversion", "http/1.1");
        options.insert("desterrpage", true);
        options.insert("httpheaders", QJsonArray{
            QJsonObject{{"key", "Header"}, {"value", "set X-Proxied yes"}, {"description", "标记"}},
            QJsonObject{{"key", "RequestHeader"}, {"value", "unset Authorization"}}, QJsonObject{{"key", "ignored"}}});
        QJsonObject secure = rule("secure vhost", "", 0, "", backend());
        secure.insert("source", source("https", TestApache::freePort(), "nas.example:8443", "/s"));
        secure.insert("hsts", true);
        QJsonObject named = rule("named vhost", "", 0, "", {{"protocol", "http"}, {"host", "::1"}, {"port", 8080}, {"path", "/v6/"}});
        named.insert("source", source("http", TestApache::freePort(), "files.example", "n"));
        for (const QJsonObject &params :
             {options, secure, named,
              rule("ipv6 in brackets", "http", 0, "/b6", {{"protocol", "http"}, {"host", "[::1]"}, {"port", 81}}),
              rule("port 0", "https", 0, "/zero", {{"protocol", "http"}, {"host", "127.0.0.1"}}),
              rule("quotes elsewhere", "http", 0, "/q", backend("/q\"x.(y)")),
              rule("not ASCII", "http", 0, "/é/文件 x", backend())})
            create(params);
        QCOMPARE(configTest(), QString());
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxyApache)
#include "tst_kmreverseproxy_apache.moc"

