#include "apachefixture.h"
#include "appliancefixture.h"
#include "kmapacheconf.h"
#include "kmapachesite.h"
#include "rawbackend.h"
#include "zx2journals.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QUrl>
#include <QTemporaryDir>
#include <QtTest>

// Sites by host name through a real Apache: the generated files in place of
// the appliance's (inside its own virtual hosts, or http.conf at server
// level), requests naming a host in the Host header and, over TLS, by SNI.
// Rules are written "site host path backend destpath [extra]", several
// separated by ";": site is http or https (the appliance's web port of that
// protocol), custom or customs (a custom http or https port); host "-" for
// none. Requests are "site host target", the host as the Host header
// ("{port}" stands for the port asked).
class TestKMApacheConf : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir root;
    TestApache apache;
    RawBackend a{"A"};
    RawBackend b{"B"};
    RawBackend c{"C"};
    RawBackend s{"S", RawBackend::Tls};
    quint16 httpPort = 0;
    quint16 httpsPort = 0;
    quint16 customPort = 0;
    quint16 customTlsPort = 0;
    QString siteConfig; // the appliance's, as the template has it
    QString applied;

    const RawBackend &backend(const QString &name) const
    {
        return name == "A" ? a : name == "B" ? b : name == "C" ? c : s;
    }

    quint16 port(const QString &site) const
    {
        return site == "http" ? httpPort : site == "https" ? httpsPort : site == "custom" ? customPort : customTlsPort;
    }

    KMRule rule(const QString &written, int number) const
    {
        const QStringList parts = written.split(' ', Qt::SkipEmptyParts);
        const QString site = parts.value(0);
        const RawBackend &to = backend(parts.value(3));
        const bool custom = site.startsWith("custom");
        QJsonObject source{{"protocol", site == "https" || site == "customs" ? "https" : "http"},
                           {"port", custom ? port(site) : 0},
                           {"path", parts.value(2)}};
        if (parts.value(1) != "-")
            source["host"] = parts.value(1);
        source["path"] = QUrl::fromPercentEncoding(parts.value(2).toUtf8());
        QJsonObject params{{"name", QString("r%1").arg(number)},
                           {"source", source},
                           {"dest", QJsonObject{{"protocol", to.isTls() ? "https" : "http"}, {"host", "127.0.0.1"},
                                                {"port", to.port()}, {"path", parts.value(4)}}}};
        const QString extra = parts.value(5);
        if (extra == "hsts")
            params["hsts"] = true;
        else if (extra == "admin")
            params["httpheaders"] = QJsonArray{QJsonObject{{"key", "RequestHeader"}, {"value", "set X-Remote-User admin"}}};
        KMRule parsed = KMRule::fromParams(params);
        parsed.pxyno = number;
        return parsed;
    }

    // http.conf inside the appliance's http virtual host (as the template
    // has it), the same without mod_rewrite, or at server level, where the
    // main server answers that port.
    QString placed(const QString &placement) const
    {
        if (placement == "vhost")
            return siteConfig;
        QString config = siteConfig;
        if (placement == "no rewrite")
            return config.remove(QRegularExpression("<IfModule !rewrite_module>[^<]*</IfModule>\n"));
        const QString include = QString("    IncludeOptional \"%1/etc/reverseproxy/http.conf\"\n").arg(root.path());
        config.replace("<VirtualHost 127.0.0.1:${ORBA_DESKTOP_HTTP_PORT}>\n" + include + "</VirtualHost>\n",
                       include.trimmed() + '\n');
        return config;
    }

    // Generates the files for the rules, tests them and restarts Apache on them.
    bool use(const QString &rules, const QString &placement)
    {
        if (applied == placement + rules)
            return true;
        applied.clear();
        QList<KMRule> table;
        for (const QString &written : rules.split(';', Qt::SkipEmptyParts))
            table << rule(written, table.size() + 1);
        ZX2Journals journals;
        if (!KMApacheSite::write(journals, KMApacheConf::generate(table, {httpPort, httpsPort}))) {
            qWarning() << journals.errmsg();
            return false;
        }
        apache.stop();
        apache.setExtraConfig(placed(placement));
        const QString verdict = apache.configTest();
        if (!verdict.isEmpty()) {
            qWarning().noquote() << verdict;
            return false;
        }
        if (!apache.start()) {
            qWarning().noquote() << apache.errorText();
            return false;
        }
        applied = placement + rules;
        return true;
    }

    // What the client saw: the back end's name and request line, "status N"
    // otherwise; or one header of the answer, or the X-Remote-User the back
    // end received.
    QString seen(const QString &request, const QString &look) const
    {
        const QStringList parts = request.split(' ');
        const QString site = parts.value(0);
        const QByteArray host = parts.value(1).replace("{port}", QString::number(port(site))).toUtf8();
        const bool tls = site == "https" || site == "customs";
        const RawReply reply = rawRequest(port(site), tls, parts.value(2).toUtf8(), QByteArray(), host);
        if (look == "line") {
            if (reply.status != 200)
                return QString("status %1").arg(reply.status);
            return reply.body.split('\n').first().trimmed().replace(" HTTP/1.1", "");
        }
        if (look == "admin") {
            RawReply backendSaw;
            backendSaw.head = reply.body;
            return backendSaw.header("X-Remote-User");
        }
        return reply.header(look.toUtf8());
    }

private slots:
    void initTestCase()
    {
        for (RawBackend *backend : {&a, &b, &c, &s})
            QVERIFY(backend->start());
        qputenv("ORBA_ROOT", root.path().toUtf8());
        QVERIFY(prepareApplianceSite(root.path(), apache, &httpPort, &httpsPort));
        siteConfig = applianceSiteConfig(root.path());
        customPort = TestApache::freePort();
        do
            customTlsPort = TestApache::freePort();
        while (customTlsPort == customPort);
        QVERIFY(apache.writeDocument("index.html", "appliance\n"));
        QVERIFY(apache.writeDocument("media/index.html", "appliance media\n"));
        QVERIFY(apache.writeDocument("api/x", "appliance api\n"));
        QVERIFY2(apache.start(), qPrintable(apache.errorText())); // makes the certificate
    }

    void cleanupTestCase()
    {
        apache.stop();
        qunsetenv("ORBA_ROOT");
    }

    void routing_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("placement");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("look");
        QTest::addColumn<QString>("expected");
        const QString twoHosts = "http a.nas.test /media/ A /;http b.nas.test /media/ B /";
        for (const QString placement : {"vhost", "server"}) {
            const auto row = [&placement](const char *name) {
                return &QTest::newRow(qPrintable(QString("%1: %2").arg(placement, name)));
            };
            *row("two hosts, same path: first") << twoHosts << placement << "http a.nas.test /media/x" << "line" << "A GET /x";
            *row("two hosts: second, case and port") << twoHosts << placement << "http B.NAS.TEST:{port} /media/x" << "line" << "B GET /x";
            *row("two hosts: another name") << twoHosts << placement << "http c.nas.test /media/x" << "line" << "status 404";
            *row("two hosts: the appliance's name") << twoHosts << placement << "http 127.0.0.1 /media/x" << "line" << "status 404";
            *row("two hosts: the appliance's root") << twoHosts << placement << "http a.nas.test /" << "line" << "appliance";
            const QString withHostless = "http - /media/ C /;http a.nas.test /media/ A /";
            *row("host rule beside a hostless one: its name") << withHostless << placement << "http a.nas.test /media/x" << "line" << "A GET /x";
            *row("hostless rule: every other name") << withHostless << placement << "http b.nas.test /media/x" << "line" << "C GET /x";
            *row("hostless rule: no Host name") << withHostless << placement << "http 127.0.0.1 /media/x" << "line" << "C GET /x";
        }
        // Without mod_rewrite the host rules are not written at all.
        QTest::newRow("no mod_rewrite: not served") << twoHosts << "no rewrite" << "http a.nas.test /media/" << "line" << "appliance media";
        QTest::newRow("no mod_rewrite: no private path") << twoHosts << "no rewrite" << "http a.nas.test /.reverseproxy-host/1/media/x"
                                                        << "line" << "status 404";
        const QString photos = "http photos.nas.test / A /;http - /app C /";
        QTest::newRow("a name's root takes the name") << photos << "vhost" << "http photos.nas.test /api/x" << "line" << "A GET /api/x";
        QTest::newRow("a name's root: the appliance keeps its own") << photos << "vhost" << "http nas /" << "line" << "appliance";
        QTest::newRow("a name's root over a hostless rule") << photos << "vhost" << "http photos.nas.test /app/x" << "line" << "A GET /app/x";
        QTest::newRow("hostless rule for the other names") << photos << "vhost" << "http nas /app/x" << "line" << "C GET /x";
        QTest::newRow("a name's root: the appliance's paths for other names") << photos << "vhost" << "http nas /api/x" << "line" << "appliance api";
        const QString onlyB = "http b.nas.test /media/ B /";
        QTest::newRow("one name removed: it goes back to the appliance") << onlyB << "vhost" << "http a.nas.test /media/" << "line" << "appliance media";
        QTest::newRow("one name removed: the other stays") << onlyB << "vhost" << "http b.nas.test /media/x" << "line" << "B GET /x";
        const QString spelled = "http a.nas.test /my%20app/ A /;http a.nas.test /%E7%A7%8D%E5%AD%90/ B /;http a.nas.test /q/ C /";
        QTest::newRow("space prefix per host") << spelled << "vhost" << "http a.nas.test /my%20app/x" << "line" << "A GET /x";
        QTest::newRow("UTF-8 prefix per host") << spelled << "vhost" << "http a.nas.test /%E7%A7%8D%E5%AD%90/x%20y" << "line" << "B GET /x%20y";
        // mod_rewrite refuses to move a path whose decoded form holds a "?".
        QTest::newRow("escaped question mark per host") << spelled << "vhost" << "http a.nas.test /q/a%3Fb?c=1" << "line" << "status 403";
        QTest::newRow("escaped percent sign per host") << spelled << "vhost" << "http a.nas.test /q/a%25b?c=1" << "line" << "C GET /a%25b?c=1";
        QTest::newRow("UTF-8 prefix per host: redirect") << spelled << "vhost" << "http a.nas.test /%E7%A7%8D%E5%AD%90/x?location=/y"
                                                        << "Location" << "/%E7%A7%8D%E5%AD%90/y";
        const QString nested = "http a.nas.test /app A /;http a.nas.test /app/admin B /admin;http b.nas.test /app C /";
        QTest::newRow("nested per host: inner") << nested << "vhost" << "http a.nas.test /app/admin/x" << "line" << "B GET /admin/x";
        QTest::newRow("nested per host: outer") << nested << "vhost" << "http a.nas.test /app/administrator" << "line" << "A GET /administrator";
        QTest::newRow("nested per host: the other name") << nested << "vhost" << "http b.nas.test /app/admin/x" << "line" << "C GET /admin/x";
        QTest::newRow("nested per host: bare prefix") << nested << "vhost" << "http a.nas.test /app" << "line" << "A GET /";
        QTest::newRow("nested per host: doubled slashes") << nested << "vhost" << "http a.nas.test //app//admin/x" << "line" << "B GET /admin/x";
        const QString mapped = "http a.nas.test /bpp/ B /;http b.nas.test /bpp/ B /other/";
        QTest::newRow("redirect mapped per host") << mapped << "vhost" << "http a.nas.test /bpp/x?location=/y" << "Location" << "/bpp/y";
        QTest::newRow("redirect mapped per host: the other") << mapped << "vhost" << "http b.nas.test /bpp/x?location=/other/y" << "Location" << "/bpp/y";
        QTest::newRow("cookie mapped per host") << mapped << "vhost" << "http a.nas.test /bpp/x?cookie=a%3D1%3B%20Path%3D/" << "Set-Cookie" << "a=1; Path=/bpp/";
        QTest::newRow("bare prefix redirect keeps the host") << mapped << "vhost" << "http a.nas.test:{port} /bpp" << "Location"
                                                            << QString("http://a.nas.test:%1/bpp/").arg(httpPort);
        const QString bareDest = "http a.nas.test /wetty/ A /wetty/;custom - /wetty/ B /wetty/";
        QTest::newRow("bare destination path per host") << bareDest << "vhost" << "http a.nas.test /wetty" << "line" << "A GET /wetty";
        QTest::newRow("bare destination path per host: redirect") << bareDest << "vhost" << "http a.nas.test /wetty/?location=/wetty"
                                                                  << "Location" << "/wetty";
        QTest::newRow("bare destination path on a custom port") << bareDest << "vhost" << "custom b.nas.test /wetty" << "line" << "B GET /wetty";
        const QString admin = "http a.nas.test /portal A / admin;http - /portal B /";
        QTest::newRow("httpheaders on the host rule's requests") << admin << "vhost" << "http a.nas.test /portal/x" << "admin" << "admin";
        QTest::newRow("httpheaders not on the hostless rule's") << admin << "vhost" << "http b.nas.test /portal/x" << "admin" << "";
        const QString hostlessAdmin = "http a.nas.test /portal A /;http - /portal B / admin";
        QTest::newRow("hostless httpheaders not on a host rule's requests") << hostlessAdmin << "vhost" << "http a.nas.test /portal/x" << "admin" << "";
        QTest::newRow("hostless httpheaders on its own") << hostlessAdmin << "vhost" << "http b.nas.test /portal/x" << "admin" << "admin";
        QTest::newRow("private paths refused") << admin << "vhost" << "http b.nas.test /.reverseproxy-host/1/portal/x" << "line" << "status 403";
        QTest::newRow("https back end per host") << "https a.nas.test /s/ S /sub/" << "vhost" << "https a.nas.test /s/x" << "line" << "S GET /sub/x";
        const QString hsts = "https a.nas.test /h/ A / hsts;https b.nas.test /h/ B /";
        QTest::newRow("HSTS for its name") << hsts << "vhost" << "https a.nas.test /h/x" << "Strict-Transport-Security"
                                           << "max-age=31536000; includeSubDomains";
        QTest::newRow("no HSTS for the other name") << hsts << "vhost" << "https b.nas.test /h/x" << "Strict-Transport-Security" << "";
        const QString wildcard = "http *.nas.test /w/ A /;http b.nas.test /w/ B /";
        QTest::newRow("wildcard: a name below") << wildcard << "vhost" << "http x.nas.test /w/1" << "line" << "A GET /1";
        QTest::newRow("wildcard: the exact name first") << wildcard << "vhost" << "http b.nas.test /w/1" << "line" << "B GET /1";
        const QString below = "http *.nas.test / A /;http b.nas.test /w/ B /";
        QTest::newRow("wildcard: an exact name keeps its site") << below << "vhost" << "http b.nas.test /" << "line" << "appliance";
        QTest::newRow("wildcard: the names below") << below << "vhost" << "http c.d.nas.test /" << "line" << "A GET /";
        const QString customBelow = "custom *.nas.test / A /;custom b.nas.test /w/ B /";
        QTest::newRow("custom port wildcard: an exact name keeps its site") << customBelow << "vhost" << "custom b.nas.test /" << "line" << "status 404";
        QTest::newRow("custom port wildcard: the names below") << customBelow << "vhost" << "custom c.nas.test /" << "line" << "A GET /";
        QTest::newRow("wildcard: not the name itself") << wildcard << "vhost" << "http nas.test /w/1" << "line" << "status 404";
        const QString custom = "custom a.nas.test / A /;custom b.nas.test / B /;custom b.nas.test /b2/ C /";
        QTest::newRow("custom port: first name") << custom << "vhost" << "custom a.nas.test /x" << "line" << "A GET /x";
        QTest::newRow("custom port: second name") << custom << "vhost" << "custom B.nas.test:{port} /x" << "line" << "B GET /x";
        QTest::newRow("custom port: a name's nested rule") << custom << "vhost" << "custom b.nas.test /b2/x" << "line" << "C GET /x";
        QTest::newRow("custom port: no rule for the name") << custom << "vhost" << "custom c.nas.test /x" << "line" << "status 404";
        const QString customHostless = "custom - /app C /;custom a.nas.test /x A /";
        QTest::newRow("custom port: hostless for the name too") << customHostless << "vhost" << "custom a.nas.test /app/1" << "line" << "C GET /1";
        QTest::newRow("custom port: hostless for every name") << customHostless << "vhost" << "custom z.nas.test /app/1" << "line" << "C GET /1";
        QTest::newRow("custom port: a name's own rule") << customHostless << "vhost" << "custom a.nas.test /x/1" << "line" << "A GET /1";
        QTest::newRow("custom port: not another name's") << customHostless << "vhost" << "custom z.nas.test /x/1" << "line" << "status 404";
        const QString customTls = "customs a.nas.test / A / hsts;customs b.nas.test / B /";
        QTest::newRow("custom https: SNI and Host") << customTls << "vhost" << "customs b.nas.test /x" << "line" << "B GET /x";
        QTest::newRow("custom https: HSTS for its name") << customTls << "vhost" << "customs a.nas.test /x" << "Strict-Transport-Security"
                                                         << "max-age=31536000; includeSubDomains";
        QTest::newRow("custom https: no HSTS for the other") << customTls << "vhost" << "customs b.nas.test /x" << "Strict-Transport-Security" << "";
    }
    void routing()
    {
        QFETCH(QString, rules);
        QFETCH(QString, placement);
        QFETCH(QString, request);
        QFETCH(QString, look);
        QFETCH(QString, expected);
        QVERIFY(use(rules, placement));
        QCOMPARE(seen(request, look), expected);
    }

    // Apache's refusal of a line names the rule behind it: every line of a
    // file has its rule (0 for the sections shared by several).
    void ownersPerLine()
    {
        const QString rules = "http a.nas.test /m/ A /;http - /m/ B /;http b.nas.test /m/ C /;custom a.nas.test / A /";
        QList<KMRule> table;
        for (const QString &written : rules.split(';'))
            table << rule(written, table.size() + 1);
        const KMApacheFiles files = KMApacheConf::generate(table, {httpPort, httpsPort});
        QCOMPARE(files.httpOwners.size(), files.http.size());
        const QList<const RawBackend *> backends{&a, &b, &c};
        for (int i = 0; i < files.http.size(); ++i) {
            for (int n = 0; n < backends.size(); ++n) {
                if (files.http.at(i).contains(backends.at(n)->origin()))
                    QCOMPARE(files.httpOwners.at(i), n + 1);
            }
        }
        QCOMPARE(files.virtualHosts.size(), 1);
        QCOMPARE(files.virtualHosts.first().owners.size(), files.virtualHosts.first().lines.size());
        QVERIFY(!files.virtualHosts.first().owners.contains(0));
    }

    // What every rule shares is written once per site: a simple rule on a
    // web port adds a dozen lines and under 1 KB to http.conf.
    void simpleRuleCost()
    {
        QList<KMRule> table;
        for (int n = 1; n <= 100; ++n)
            table << rule(QString("http - /app%1 A /").arg(n), n);
        const QStringList before = KMApacheConf::generate(table, {httpPort, httpsPort}).http;
        table << rule("http - /app101 A /", 101);
        const QStringList after = KMApacheConf::generate(table, {httpPort, httpsPort}).http;
        QVERIFY(after.filter(QRegularExpression("\\S")).size() - before.filter(QRegularExpression("\\S")).size() <= 14);
        QVERIFY(after.join('\n').toUtf8().size() - before.join('\n').toUtf8().size() < 1024);
    }

    void webSocket()
    {
        QVERIFY(use("http a.nas.test /ws A /;http - /ws B /", "vhost"));
        QCOMPARE(webSocketEcho(httpPort, false, "/ws/chat", "hello", QByteArray(), "a.nas.test"), QByteArray("hello"));
    }
};

QTEST_GUILESS_MAIN(TestKMApacheConf)
#include "tst_kmapacheconf.moc"
