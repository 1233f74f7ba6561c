#include "proxyfixture.h"
#include "rawbackend.h"

#include <QUrl>
#include <QtTest>

// Rules as users mean them, through a real Apache to back ends that report
// the exact request head they receive. Rules are written "source backend
// destpath", several separated by ";", all on the appliance web port of the
// row's scheme, created in the order given. Back ends A, B and C speak plain
// HTTP, S speaks TLS with a self-signed certificate.
class TestKMReverseproxyRouting : public QObject
{
    Q_OBJECT
private:
    ProxyFixture fixture;
    RawBackend a{"A"};
    RawBackend b{"B"};
    RawBackend c{"C"};
    RawBackend s{"S", RawBackend::Tls};
    QString applied; // the rules in force, to skip a restart between rows

    const RawBackend &backend(const QString &name) const
    {
        return name == "A" ? a : name == "B" ? b : name == "C" ? c : s;
    }

    QJsonObject rule(const QString &written, const QString &scheme, int number) const
    {
        const QStringList parts = written.split(' ', Qt::SkipEmptyParts);
        const RawBackend &to = backend(parts.value(1));
        return {{"name", QString("r%1").arg(number)},
                {"source", QJsonObject{{"protocol", scheme}, {"port", 0}, {"path", parts.value(0)}}},
                {"dest", QJsonObject{{"protocol", to.isTls() ? "https" : "http"}, {"host", "127.0.0.1"},
                                     {"port", to.port()}, {"path", parts.value(2)}}}};
    }

    // Puts the rules in force; every generated configuration must pass -t.
    bool use(const QString &rules, const QString &scheme)
    {
        if (applied == scheme + rules)
            return true;
        applied.clear();
        if (!fixture.clear())
            return false;
        int number = 0;
        for (const QString &written : rules.split(';')) {
            if (!fixture.create(rule(written, scheme, ++number)))
                return false;
        }
        if (!fixture.apply())
            return false;
        applied = scheme + rules;
        return true;
    }

    // "path" or "path key=value"; "{B}" in the value stands for B's origin.
    QByteArray target(const QString &request) const
    {
        const int blank = request.indexOf(' ');
        if (blank < 0)
            return request.toUtf8();
        const QString parameter = request.mid(blank + 1);
        const int equals = parameter.indexOf('=');
        const QString value = parameter.mid(equals + 1).replace("{B}", b.origin());
        return request.left(blank).toUtf8() + '?' + parameter.left(equals).toUtf8() + '='
            + QUrl::toPercentEncoding(value);
    }

private slots:
    void initTestCase()
    {
        for (RawBackend *backend : {&a, &b, &c, &s})
            QVERIFY(backend->start());
        QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    }

    // What the back end saw ("line": its name and request line), or the
    // Location or Set-Cookie header of the answer, or the X-Forwarded-Proto
    // the back end received when the client sent a forged one.
    void routing_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("look");
        QTest::addColumn<QString>("expected");
        const QString overlap = "/app2 B /;/app A /";
        const QString overlapReversed = "/app A /;/app2 B /";
        const QString nested = "/app A /;/app/admin B /admin";
        const QString nestedReversed = "/app/admin B /admin;/app A /";
        QTest::newRow("longer prefix created first") << overlap << "http" << "/app2/x" << "line" << "B GET /x";
        QTest::newRow("shorter prefix created first") << overlapReversed << "http" << "/app2/x" << "line" << "B GET /x";
        QTest::newRow("shorter prefix keeps its own") << overlap << "http" << "/app/x" << "line" << "A GET /x";
        QTest::newRow("nested: inner") << nested << "http" << "/app/admin/x" << "line" << "B GET /admin/x";
        QTest::newRow("nested: outer keeps the rest") << nested << "http" << "/app/administrator" << "line" << "A GET /administrator";
        QTest::newRow("nested created inner first") << nestedReversed << "http" << "/app/admin/x" << "line" << "B GET /admin/x";
        QTest::newRow("prefix inside a segment") << "/app A /" << "http" << "/appx/y" << "line" << "status 404";
        QTest::newRow("prefix deeper in the path") << "/app A /" << "http" << "/foo/app/x" << "line" << "status 404";
        QTest::newRow("bare prefix") << "/app A /" << "http" << "/app" << "line" << "A GET /";
        QTest::newRow("/app to /") << "/app A /" << "http" << "/app/x" << "line" << "A GET /x";
        QTest::newRow("/app/ to /") << "/app/ A /" << "http" << "/app/x" << "line" << "A GET /x";
        QTest::newRow("/app to /sub") << "/app A /sub" << "http" << "/app/x" << "line" << "A GET /sub/x";
        QTest::newRow("/app/ to /sub") << "/app/ A /sub" << "http" << "/app/x" << "line" << "A GET /sub/x";
        QTest::newRow("/app to /sub/") << "/app A /sub/" << "http" << "/app/x" << "line" << "A GET /sub/x";
        QTest::newRow("/app/ to /sub/") << "/app/ A /sub/" << "http" << "/app/x" << "line" << "A GET /sub/x";
        QTest::newRow("bare prefix to /sub/") << "/app A /sub/" << "http" << "/app" << "line" << "A GET /sub";
        QTest::newRow("redirect to a path") << "/bpp B /" << "http" << "/bpp/x location=/y" << "location" << "/bpp/y";
        QTest::newRow("redirect to the back end") << "/bpp B /" << "http" << "/bpp/x location={B}/z?q=1" << "location" << "/bpp/z?q=1";
        QTest::newRow("redirect to another host") << "/bpp B /" << "http" << "/bpp/x location=http://elsewhere.example/y"
                                                  << "location" << "http://elsewhere.example/y";
        QTest::newRow("redirect within /w/") << "/w/ C /w/" << "http" << "/w/x location=/w/y" << "location" << "/w/y";
        QTest::newRow("redirect outside the destination") << "/d C /in" << "http" << "/d/x location=/inside" << "location" << "/inside";
        QTest::newRow("redirect under the destination") << "/d C /in" << "http" << "/d/x location=/in/y" << "location" << "/d/y";
        QTest::newRow("nested redirect: inner mapping only") << "/app B /;/app/admin B /admin" << "http"
                                                             << "/app/admin/x location=/admin/y" << "location" << "/app/admin/y";
        QTest::newRow("nested redirect: outside the inner") << "/app B /;/app/admin B /admin" << "http"
                                                            << "/app/admin/x location=/y" << "location" << "/y";
        QTest::newRow("cookie path /") << "/photos/ A /" << "http" << "/photos/x cookie=a=1; Path=/; HttpOnly"
                                       << "cookie" << "a=1; Path=/photos/; HttpOnly";
        QTest::newRow("cookie path below") << "/photos/ A /" << "http" << "/photos/x cookie=a=1; path=/settings"
                                           << "cookie" << "a=1; path=/photos/settings";
        QTest::newRow("cookie path outside") << "/d C /in" << "http" << "/d/x cookie=a=1; Path=/inside" << "cookie" << "a=1; Path=/inside";
        QTest::newRow("forwarded proto http") << "/app A /" << "http" << "/app/x" << "proto" << "http";
        QTest::newRow("forwarded proto https") << "/app A /" << "https" << "/app/x" << "proto" << "https";
        QTest::newRow("https back end") << "/s S /" << "http" << "/s/x" << "line" << "S GET /x";
        QTest::newRow("https back end, https site") << "/s S /sub" << "https" << "/s/x" << "line" << "S GET /sub/x";
    }
    void routing()
    {
        QFETCH(QString, rules);
        QFETCH(QString, scheme);
        QFETCH(QString, request);
        QFETCH(QString, look);
        QFETCH(QString, expected);
        QVERIFY2(use(rules, scheme), qPrintable(fixture.errorText()));
        const bool https = scheme == "https";
        const RawReply reply = rawRequest(https ? fixture.httpsPort() : fixture.httpPort(), https,
                                          target(request), "X-Forwarded-Proto: forged\r\n");
        RawReply seenByBackend;
        seenByBackend.head = reply.body;
        QString seen;
        if (look == "location")
            seen = reply.header("Location");
        else if (look == "cookie")
            seen = reply.header("Set-Cookie");
        else if (look == "proto")
            seen = seenByBackend.header("X-Forwarded-Proto");
        else if (reply.status == 200)
            seen = reply.body.left(reply.body.indexOf("\r\n")).replace(" HTTP/1.1", "");
        else
            seen = QString("status %1").arg(reply.status);
        QCOMPARE(seen, expected);
    }

    void webSocket_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("scheme");
        QTest::newRow("ws:// to a plain back end") << "/ws A /" << "http";
        QTest::newRow("wss:// to a TLS back end") << "/ws S /sub" << "https";
    }
    void webSocket()
    {
        QFETCH(QString, rules);
        QFETCH(QString, scheme);
        QVERIFY2(use(rules, scheme), qPrintable(fixture.errorText()));
        const bool https = scheme == "https";
        QCOMPARE(webSocketEcho(https ? fixture.httpsPort() : fixture.httpPort(), https, "/ws/chat", "hello"),
                 QByteArray("hello"));
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxyRouting)
#include "tst_kmreverseproxy_routing.moc"
