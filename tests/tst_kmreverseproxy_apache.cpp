#include "appliancefixture.h"
#include "proxyfixture.h"

#include <QJsonArray>
#include <QtTest>

// The generated configuration in a real Apache: a private instance on
// loopback that includes http.conf and https.conf in the appliance's web
// ports and the virtual-host files at server level, like the appliance does.
// "systemctl reload apache2" and "apache2ctl" are stand-ins acting on this instance.
class TestKMReverseproxyApache : public QObject
{
    Q_OBJECT
private:
    ProxyFixture fixture{true};
    TestApache &apache = fixture.server();

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

    // The body of a plain HTTP/1.0 GET, or the status line or error.
    static QByteArray get(quint16 port, const QString &target)
    {
        const QByteArray answer = ApplianceApache::get(port, target);
        const int body = answer.indexOf("\r\n\r\n");
        return answer.startsWith("HTTP/1.1 200") && body > 0 ? answer.mid(body + 4) : answer.left(answer.indexOf('\r'));
    }

    // False, with the reason in the log, when the rule is refused.
    bool create(const QJsonObject &params)
    {
        if (fixture.create(params))
            return true;
        qWarning("create: %s", qPrintable(fixture.errorText()));
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
        QVERIFY(apache.writeDocument("backend/hello.txt", "hello through the web port\n"));
        QVERIFY(apache.writeDocument("backend/vh/hello.txt", "hello through a virtual host\n"));
        QVERIFY(create(rule("web port", "http", 0, "/app", backend())));
    }

    // Created after the start: the reload brings it in.
    void proxiesOnTheApplianceWebPort()
    {
        QTRY_COMPARE_WITH_TIMEOUT(get(fixture.httpPort(), "/app/hello.txt"), QByteArray("hello through the web port\n"), 60000);
    }

    // Created while Apache runs: the reload makes it listen on the new port.
    void proxiesOnACustomPortAfterReload()
    {
        const quint16 port = TestApache::freePort();
        QJsonObject params = rule("custom", "http", port, "/vh", backend("/backend/vh"));
        params.insert("httpversion", "HTTP/1.1");
        params.insert("timeouts", QJsonObject{{"recv", 30}});
        QVERIFY(create(params));
        QTRY_COMPARE_WITH_TIMEOUT(get(port, "/vh/hello.txt"), QByteArray("hello through a virtual host\n"), 60000);
        QVERIFY2(apache.isRunning() && apache.configTest().isEmpty(), qPrintable(apache.errorLog()));
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
        secure.insert("source", source("https", TestApache::freePort(), "nas.example", "/s"));
        secure.insert("hsts", true);
        QJsonObject named = rule("named vhost", "", 0, "", {{"protocol", "http"}, {"host", "::1"}, {"port", 8080}, {"path", "/v6/"}});
        named.insert("source", source("http", TestApache::freePort(), "files.example", "n"));
        for (const QJsonObject &params :
             {options, secure, named,
              rule("ipv6 in brackets", "http", 0, "/b6", {{"protocol", "http"}, {"host", "[::1]"}, {"port", 81}}),
              rule("port 0", "https", 0, "/zero", {{"protocol", "http"}, {"host", "backend.example"}}),
              rule("quotes elsewhere", "http", 0, "/q", backend("/q\"x.(y)")),
              rule("not ASCII", "http", 0, "/é/文件 x", backend())})
            QVERIFY(create(params));
        QCOMPARE(apache.configTest(), QString());
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxyApache)
#include "tst_kmreverseproxy_apache.moc"

