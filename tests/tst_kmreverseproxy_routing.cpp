#include "kmapacheconf.h"
#include "kmownnames.h"
#include "kmpaths.h"
#include "proxyfixture.h"
#include "rawbackend.h"
#include "testfiles.h"

#include <QHostInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTcpSocket>
#include <QUrl>
#include <QtTest>

// Rules as users mean them, through a real Apache to back ends that report
// the exact request head they receive. Rules are written "source backend
// destpath [extra]" (the source percent-decoded, extra naming more
// parameters), several separated by ";", all on the appliance web port of the
// row's scheme or, for "http custom" and "https custom", on a custom port,
// created in the order given. Back ends A, B and C speak plain HTTP, S speaks
// TLS with a self-signed certificate. Every request says it comes from
// http://127.0.0.1, the Host it names.
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
    quint16 customPort = 0;

    const RawBackend &backend(const QString &name) const
    {
        return name == "A" ? a : name == "B" ? b : name == "C" ? c : s;
    }

    static QJsonObject with(QJsonObject object, const QString &key, const QString &value)
    {
        object.insert(key, value);
        return object;
    }

    static QJsonObject headers(const QString &key, const QString &value)
    {
        return {{"key", key}, {"value", value}};
    }

    QJsonObject rule(const QString &written, const QString &scheme, int number) const
    {
        const QStringList parts = written.split(' ', Qt::SkipEmptyParts);
        const RawBackend &to = backend(parts.value(1));
        const bool custom = scheme.endsWith(" custom");
        QJsonObject params{
            {"name", QString("r%1").arg(number)},
            {"source", QJsonObject{{"protocol", scheme.section(' ', 0, 0)}, {"port", custom ? customPort : 0},
                                   {"path", QUrl::fromPercentEncoding(parts.value(0).toUtf8())}}},
            {"dest", QJsonObject{{"protocol", to.isTls() ? "https" : "http"}, {"host", "127.0.0.1"},
                                 {"port", to.port()}, {"path", parts.value(2)}}}};
        const QString extra = parts.value(3);
        if (extra == "errpage")
            params["desterrpage"] = true;
        else if (extra == "preserve")
            params["httpheaders"] = QJsonArray{headers("ProxyPreserveHost", "On")};
        else if (extra.startsWith("host="))
            params["source"] = with(params["source"].toObject(), "host", extra.mid(5));
        else if (extra == "admin")
            params["httpheaders"] = QJsonArray{headers("RequestHeader", "set X-Remote-User admin"),
                                               headers("Header", "always set Refresh 5")};
        return params;
    }

    quint16 port(const QString &scheme) const
    {
        return scheme.endsWith(" custom") ? customPort
                                          : scheme == "https" ? fixture.httpsPort() : fixture.httpPort();
    }

    // Puts the rules in force; every generated configuration must pass -t.
    bool use(const QString &rules, const QString &scheme)
    {
        if (applied == scheme + rules)
            return true;
        applied.clear();
        // A custom port is free for the next rule once Apache no longer
        // serves it: a reload, which the fixture makes by hand.
        if (!fixture.clear() || (scheme.endsWith(" custom") && !fixture.apply()))
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

    // A request without Host, as HTTP/1.0 allows.
    static RawReply http10Request(quint16 port, const QByteArray &target, const QByteArray &extraHeaders)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        RawReply reply;
        if (!socket.waitForConnected(10000))
            return reply;
        socket.write("GET " + target + " HTTP/1.0\r\n" + extraHeaders + "\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(30000))
            answer += socket.readAll();
        const int end = answer.indexOf("\r\n\r\n");
        reply.head = answer.left(end);
        reply.body = answer.mid(end + 4);
        reply.status = answer.mid(9, 3).toInt();
        return reply;
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
        // A name the owner reaches the appliance by from outside.
        KMOwnNames::configure({"nas.example.org"});
        QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
        QVERIFY(fixture.server().writeDocument("index.html", "document root\n"));
        customPort = TestApache::freePort();
    }

    // What the back end saw ("line": its name and request line), or the
    // Location ("{site}" for the proxy's own origin) or Set-Cookie header of
    // the answer, or the X-Forwarded-Proto the back end received when the
    // client sent a forged one; "answer": the status, X-Backend header and
    // body the client got ("replaced" when not the back end's); "admin": the X-Remote-User the back
    // end saw and the Refresh header the client got.
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
        // Attributes as browsers read them.
        QTest::newRow("cookie path after a blank") << "/photos/ A /" << "http" << "/photos/x cookie=a=1; Path= /"
                                                   << "cookie" << "a=1; Path= /photos/";
        QTest::newRow("cookie path name before a blank") << "/photos/ A /" << "http" << "/photos/x cookie=a=1; path =/"
                                                         << "cookie" << "a=1; path =/photos/";
        QTest::newRow("cookie path after a tab") << "/photos/ A /" << "http" << "/photos/x cookie=a=1; Path=\t/"
                                                 << "cookie" << "a=1; Path=\t/photos/";
        QTest::newRow("cookie paths: the last") << "/photos/ A /" << "http" << "/photos/x cookie=a=1; Path=/x; PATH\t= / ;Secure"
                                                << "cookie" << "a=1; Path=/photos/x; PATH\t= /photos/ ;Secure";
        QTest::newRow("cookie path outside") << "/d C /in" << "http" << "/d/x cookie=a=1; Path=/inside" << "cookie" << "a=1; Path=/inside";
        // A back end told its public prefix names its pages under it already.
        const QString told = "/p/ B /";
        QTest::newRow("told prefix: under it") << told << "http" << "/p/x location=/p/.web" << "location" << "/p/.web";
        QTest::newRow("told prefix: outside it") << told << "http" << "/p/x location=/.web" << "location" << "/p/.web";
        QTest::newRow("told prefix: itself") << told << "http" << "/p/x location=/p/" << "location" << "/p/";
        QTest::newRow("told prefix: bare") << told << "http" << "/p/x location=/p?a=1" << "location" << "/p/?a=1";
        QTest::newRow("told prefix: not a whole segment") << told << "http" << "/p/x location=/pcalendar" << "location" << "/p/pcalendar";
        QTest::newRow("told prefix: absolute") << told << "http" << "/p/x location={B}/p/.web" << "location" << "/p/.web";
        QTest::newRow("told prefix: cookie under it") << told << "http" << "/p/x cookie=a=1; Path=/p/json" << "cookie" << "a=1; Path=/p/json";
        QTest::newRow("told prefix: cookie on it") << told << "http" << "/p/x cookie=a=1; Path=/p; HttpOnly" << "cookie" << "a=1; Path=/p/; HttpOnly";
        QTest::newRow("told prefix: cookie outside") << told << "http" << "/p/x cookie=a=1; Path=/" << "cookie" << "a=1; Path=/p/";
        QTest::newRow("told prefix without /") << "/p B /" << "http" << "/p/x location=/p/.web" << "location" << "/p/.web";
        QTest::newRow("told prefix without /: outside") << "/p B /" << "http" << "/p/x location=/pcal" << "location" << "/p/pcal";
        QTest::newRow("destination under the prefix") << "/a/ B /a/b/" << "http" << "/a/x location=/a/b/c" << "location" << "/a/c";
        // Relative redirects reach the browser as written.
        for (const char *relative : {"onboarding", "Online.html", "on", "next?a=1"})
            QTest::newRow(qPrintable(QString("relative: %1").arg(relative))) << told << "http"
                << QString("/p/x location=%1").arg(relative) << "location" << relative;
        QTest::newRow("forwarded proto http") << "/app A /" << "http" << "/app/x" << "proto" << "http";
        QTest::newRow("forwarded proto https") << "/app A /" << "https" << "/app/x" << "proto" << "https";
        QTest::newRow("https back end") << "/s S /" << "http" << "/s/x" << "line" << "S GET /x";
        QTest::newRow("https back end, https site") << "/s S /sub" << "https" << "/s/x" << "line" << "S GET /sub/x";
        QTest::newRow("back end's 409 passes") << "/t A /" << "http" << "/t/x status=409" << "answer" << "409 A {\"backend\":\"A\"}";
        QTest::newRow("back end's 403 passes") << "/t A /" << "http" << "/t/x status=403" << "answer" << "403 A {\"backend\":\"A\"}";
        QTest::newRow("back end's 502 replaced") << "/t A /" << "http" << "/t/x status=502" << "answer" << "502  replaced";
        QTest::newRow("desterrpage: 502 passes") << "/t A / errpage" << "http" << "/t/x status=502" << "answer" << "502 A {\"backend\":\"A\"}";
        const QString utf8 = "/%E7%A7%8D%E5%AD%90/";
        QTest::newRow("UTF-8 prefix, encoded request") << utf8 + " A /" << "http" << utf8 + "x" << "line" << "A GET /x";
        QTest::newRow("UTF-8 prefix, raw request") << utf8 + " A /" << "http" << "/种子/x" << "line" << "A GET /x";
        QTest::newRow("UTF-8 prefix, redirect") << utf8 + " A /" << "http" << utf8 + "x location=/y" << "location" << utf8 + "y";
        QTest::newRow("UTF-8 prefix, told") << utf8 + " A /" << "http" << utf8 + "x location=" + utf8 + "y" << "location" << utf8 + "y";
        QTest::newRow("UTF-8 prefix, cookie") << utf8 + " A /" << "http" << utf8 + "x cookie=a=1; Path=/" << "cookie" << "a=1; Path=" + utf8;
        QTest::newRow("UTF-8 prefix, bare") << utf8 + " A /" << "http" << "/%E7%A7%8D%E5%AD%90" << "location" << "{site}" + utf8;
        QTest::newRow("space prefix, encoded request") << "/my%20app/ A /" << "http" << "/my%20app/x" << "line" << "A GET /x";
        QTest::newRow("space prefix, redirect") << "/my%20app/ A /" << "http" << "/my%20app/x location=/y" << "location" << "/my%20app/y";
        QTest::newRow("space prefix, cookie") << "/my%20app/ A /" << "http" << "/my%20app/x cookie=a=1; Path=/" << "cookie" << "a=1; Path=/my%20app/";
        QTest::newRow("bare prefix redirected") << "/sync/ A /" << "https" << "/sync q=1" << "location" << "{site}/sync/?q=1";
        // A back end whose address is its path without the "/" is reached there.
        QTest::newRow("bare destination path: redirect") << "/wetty/ A /wetty/" << "http" << "/wetty/ location=/wetty"
                                                         << "location" << "/wetty";
        QTest::newRow("bare destination path: reached") << "/wetty/ A /wetty/" << "http" << "/wetty" << "line" << "A GET /wetty";
        QTest::newRow("bare destination path: query") << "/app/ A /ui/" << "http" << "/app?q=1" << "line" << "A GET /ui?q=1";
        QTest::newRow("bare destination path: its rest") << "/app/ A /ui/" << "http" << "/app/x" << "line" << "A GET /ui/x";
        QTest::newRow("bare destination path: not a longer name") << "/app/ A /ui/" << "http" << "/appx" << "line" << "status 404";
        QTest::newRow("bare prefix of another rule's") << "/a/ A /;/a/sync/ B /" << "http" << "/a/sync" << "line" << "A GET /sync";
        const QString portal = "/portal A / admin;/portal/app B /";
        QTest::newRow("httpheaders: own requests") << portal << "http" << "/portal/x" << "admin" << "admin|5";
        QTest::newRow("httpheaders: not a nested rule's") << portal << "http" << "/portal/app/x" << "admin" << "|";
        QTest::newRow("httpheaders: not through //") << portal << "http" << "//portal//app/x" << "admin" << "|";
        QTest::newRow("custom port: outside the rules") << "/z A /" << "http custom" << "/index.html" << "line" << "status 404";
        QTest::newRow("custom port: a rule") << "/z A /" << "http custom" << "/z/x" << "line" << "A GET /x";
        QTest::newRow("custom port: a rule on /") << "/ A /" << "https custom" << "/index.html" << "line" << "A GET /index.html";
    }
    void routing()
    {
        QFETCH(QString, rules);
        QFETCH(QString, scheme);
        QFETCH(QString, request);
        QFETCH(QString, look);
        QFETCH(QString, expected);
        QVERIFY2(use(rules, scheme), qPrintable(fixture.errorText()));
        const bool https = scheme.startsWith("https");
        const RawReply reply = rawRequest(port(scheme), https, target(request),
                                          "X-Forwarded-Proto: forged\r\nOrigin: http://127.0.0.1\r\n");
        RawReply seenByBackend;
        seenByBackend.head = reply.body;
        const QString site = QString(https ? "https://127.0.0.1:%1" : "http://127.0.0.1:%1").arg(port(scheme));
        QString seen;
        if (look == "location")
            seen = QString(reply.header("Location")).replace(site, "{site}");
        else if (look == "answer")
            seen = QString("%1 %2 %3").arg(reply.status).arg(QString(reply.header("X-Backend")),
                                                             reply.body.startsWith("{\"backend\"") ? reply.body : "replaced");
        else if (look == "admin")
            seen = seenByBackend.header("X-Remote-User") + '|' + reply.header("Refresh");
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
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("ws:// to a plain back end") << "/ws A /" << "http" << QByteArray("/ws/chat") << QByteArray("hello");
        QTest::newRow("wss:// to a TLS back end") << "/ws S /sub" << "https" << QByteArray("/ws/chat") << QByteArray("hello");
    }
    void webSocket()
    {
        QFETCH(QString, rules);
        QFETCH(QString, scheme);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, expected);
        QVERIFY2(use(rules, scheme), qPrintable(fixture.errorText()));
        QCOMPARE(webSocketEcho(port(scheme), scheme == "https", target, "hello", "Origin: http://127.0.0.1\r\n"),
                 expected);
    }

    // Apps that check Origin or Referer against the host they are reached by
    // (checkorigin) take their own page's requests and WebSockets, which
    // reach them as from their own origin, and refuse another site's, which
    // pass unchanged. The browser asks for Host 127.0.0.1, unless the row
    // names another ("Host: name; "), and sends one header ("{site}": that
    // site's origin), with a Destination as a WebDAV MOVE; the back end's
    // answer and the Host, Origin, Referer, Destination and X-Forwarded-Host
    // it got ("{A}", "{S}": the back end's host and port), or the WebSocket's
    // outcome.
    void origin_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("upgrade");
        QTest::addColumn<QString>("expected");
        const QString evil = "refused, Host {A}, Origin http://evil.example, X-Forwarded-Host 127.0.0.1";
        const QString kept = "accepted, Host 127.0.0.1, Origin http://127.0.0.1, X-Forwarded-Host 127.0.0.1";
        QTest::newRow("own page") << "/nb A /" << "http" << "Origin: {site}" << false << "accepted, Host {A}, Origin http://{A}";
        QTest::newRow("own page, WebSocket") << "/nb A /" << "http" << "Origin: {site}" << true << "accepted";
        QTest::newRow("own page's link") << "/nb A /" << "http" << "Referer: {site}/nb/tree?a=/b" << false
                                         << "accepted, Host {A}, Referer http://{A}/nb/tree?a=/b";
        QTest::newRow("another site") << "/nb A /" << "http" << "Origin: http://evil.example" << false << evil;
        QTest::newRow("another site, WebSocket") << "/nb A /" << "http" << "Origin: http://evil.example" << true << "refused";
        QTest::newRow("another site's link") << "/nb A /" << "http" << "Referer: http://evil.example/nb/tree" << false
                                             << "refused, Host {A}, Referer http://evil.example/nb/tree, X-Forwarded-Host 127.0.0.1";
        QTest::newRow("another port's link") << "/nb A /" << "http" << "Referer: {site}:1/nb/" << false
                                             << "refused, Host {A}, Referer http://127.0.0.1:1/nb/, X-Forwarded-Host 127.0.0.1";
        QTest::newRow("Host that reads as a pattern") << "/nb A /" << "http" << "Host: [::1]; Referer: http://1/nb/" << false
                                                      << "refused, Host {A}, Referer http://1/nb/, X-Forwarded-Host [::1]";
        QTest::newRow("another port") << "/nb A /" << "http" << "Origin: {site}:1" << false
                                      << "refused, Host {A}, Origin http://127.0.0.1:1, X-Forwarded-Host 127.0.0.1";
        QTest::newRow("https site") << "/nb A /" << "https" << "Origin: {site}" << false << "accepted, Host {A}, Origin http://{A}";
        QTest::newRow("https site, WebSocket") << "/nb A /" << "https" << "Origin: {site}" << true << "accepted";
        QTest::newRow("https site's link") << "/nb A /" << "https" << "Referer: {site}/nb/" << false
                                           << "accepted, Host {A}, Referer http://{A}/nb/";
        QTest::newRow("https site, http page") << "/nb A /" << "https" << "Origin: http://127.0.0.1" << false
                                               << "refused, Host {A}, Origin http://127.0.0.1, X-Forwarded-Host 127.0.0.1";
        QTest::newRow("TLS back end") << "/nb S /" << "https" << "Origin: {site}" << false << "accepted, Host {S}, Origin https://{S}";
        QTest::newRow("custom port") << "/nb A /" << "http custom" << "Origin: {site}" << true << "accepted";
        QTest::newRow("host kept") << "/nb A / preserve" << "http" << "Origin: {site}" << false << kept;
        QTest::newRow("host kept, WebSocket") << "/nb A / preserve" << "http" << "Origin: {site}" << true << "accepted";
        QTest::newRow("host kept, link") << "/nb A / preserve" << "http" << "Referer: {site}/nb/tree" << false
                                         << "accepted, Host 127.0.0.1, Referer http://127.0.0.1/nb/tree, X-Forwarded-Host 127.0.0.1";
        QTest::newRow("host kept, another site") << "/nb A / preserve" << "http" << "Origin: http://evil.example" << true
                                                 << "refused";
        QTest::newRow("host kept inside a rule that does not") << "/nb A /;/nb/x A / preserve" << "http" << "Origin: {site}"
                                                               << false << kept;
        QTest::newRow("inside a rule that keeps the host") << "/nb A / preserve;/nb/x A /" << "http" << "Origin: {site}"
                                                           << false << "accepted, Host {A}, Origin http://{A}";
        // WebDAV clients send no Origin: mod_proxy's forwarded headers go.
        const QString move = "accepted, Host {A}, Destination ";
        const QString forwarded = ", X-Forwarded-Host 127.0.0.1";
        const QString moved = move + "http://{A}/dav/b%20c?x=1" + forwarded;
        QTest::newRow("MOVE on the site") << "/nb A /dav/" << "http" << "Destination: {site}/nb/b%20c?x=1" << false << moved;
        QTest::newRow("MOVE, https site") << "/nb A /dav/" << "https" << "Destination: {site}/nb/b%20c?x=1" << false << moved;
        QTest::newRow("MOVE to the prefix") << "/nb/ A /dav/" << "http" << "Destination: {site}/nb/" << false
                                            << move + "http://{A}/dav/" + forwarded;
        QTest::newRow("MOVE, TLS back end") << "/nb S /" << "https" << "Destination: {site}/nb/y" << false
                                            << "accepted, Host {S}, Destination https://{S}/y" + forwarded;
        for (const char *elsewhere : {"http://evil.example/nb/y", "{site}:1/nb/y", "{site}/nbx/y", "{site}/other/nb/y",
                                      "https://127.0.0.1/nb/y"})
            QTest::newRow(qPrintable(QString("MOVE elsewhere: %1").arg(elsewhere)))
                << "/nb A /dav/" << "http" << QString("Destination: ") + elsewhere << false
                << move + QString(elsewhere).replace("{site}", "http://127.0.0.1") + forwarded;
    }
    void origin()
    {
        QFETCH(QString, rules);
        QFETCH(QString, scheme);
        QFETCH(QString, sent);
        QFETCH(bool, upgrade);
        QFETCH(QString, expected);
        QVERIFY2(use(rules, scheme), qPrintable(fixture.errorText()));
        const bool https = scheme.startsWith("https");
        const QByteArray host = sent.startsWith("Host: ") ? sent.section("; ", 0, 0).mid(6).toUtf8() : "127.0.0.1";
        if (sent.startsWith("Host: "))
            sent = sent.section("; ", 1);
        const QByteArray header = sent.replace("{site}", https ? "https://127.0.0.1" : "http://127.0.0.1").toUtf8() + "\r\n";
        QString seen;
        if (upgrade) {
            const QByteArray echo = webSocketEcho(port(scheme), https, "/nb/chat?checkorigin=1", "hello", header);
            seen = echo == "hello" ? "accepted" : echo == "HTTP/1.1 403 Forbidden" ? "refused" : QString(echo);
        } else {
            const RawReply reply = rawRequest(port(scheme), https, "/nb/x?checkorigin=1", header, host,
                                              sent.startsWith("Destination") ? "MOVE" : "GET");
            RawReply seenByBackend;
            seenByBackend.head = reply.body;
            seen = reply.status == 200 ? "accepted" : reply.status == 403 ? "refused" : QString("status %1").arg(reply.status);
            for (const char *name : {"Host", "Origin", "Referer", "Destination", "X-Forwarded-Host"}) {
                const QByteArray value = seenByBackend.header(name);
                if (!value.isEmpty())
                    seen += QString(", %1 %2").arg(name, QString(value));
            }
            // Whatever the page, the back end learns the client's address.
            QCOMPARE(seenByBackend.header("X-Forwarded-For"), QByteArray("127.0.0.1"));
        }
        QCOMPARE(seen, QString(expected).replace("{A}", a.origin().mid(7)).replace("{S}", s.origin().mid(8)));
    }

    // A page may rebind its own name to the appliance: only the appliance's
    // own names and the rule's own name get the back end's Host and Origin.
    // Any other Host reaches the back end as sent, with its Origin, and the
    // back end (refusing a Host it does not know) decides as when reached
    // directly. The browser sends the Origin of the Host it names ("{port}":
    // the web port); the answer's status and the Host and Origin the back
    // end got.
    void rebinding_data()
    {
        QTest::addColumn<QString>("rules");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected");
        const QString own = "200, Host {A}, Origin http://{A}";
        QTest::newRow("foreign Host") << "/nb A /" << "/nb/x" << "evil.test:{port}"
                                      << "421, Host evil.test:{port}, Origin http://evil.test:{port}";
        QTest::newRow("the appliance's address") << "/nb A /" << "/nb/x" << "127.0.0.1:{port}" << own;
        QTest::newRow("localhost") << "/nb A /" << "/nb/x" << "LOCALHOST.:{port}" << own;
        QTest::newRow(".local name") << "/nb A /" << "/nb/x" << QHostInfo::localHostName() + ".local:{port}" << own;
        QTest::newRow("configured name") << "/nb A /" << "/nb/x" << "nas.example.org:{port}" << own;
        QTest::newRow("the rule's own name") << "/nb A / host=photos.test" << "/nb/x" << "Photos.test:{port}" << own;
        QTest::newRow("the rule's own name, a rule without a host beside") << "/nb A / host=photos.test;/other A /"
                                                                          << "/nb/x" << "Photos.test:{port}" << own;
        QTest::newRow("foreign Host, a host rule beside") << "/nb A /;/other A / host=photos.test" << "/nb/x"
                                                          << "evil.test:{port}"
                                                          << "421, Host evil.test:{port}, Origin http://evil.test:{port}";
        QTest::newRow("absolute-form target") << "/nb A /" << "http://evil.test/nb/x" << "127.0.0.1:{port}"
                                              << "421, Host evil.test, Origin http://127.0.0.1:{port}";
        QTest::newRow("HTTP/1.0 without Host") << "/nb A /" << "/nb/x" << "" << "421, Host localhost, Origin http://";
    }
    void rebinding()
    {
        QFETCH(QString, rules);
        QFETCH(QString, target);
        QFETCH(QString, host);
        QFETCH(QString, expected);
        QVERIFY2(use(rules, "http"), qPrintable(fixture.errorText()));
        host.replace("{port}", QString::number(fixture.httpPort()));
        const QByteArray origin = "Origin: http://" + host.toUtf8() + "\r\n";
        const RawReply reply = host.isEmpty() ? http10Request(fixture.httpPort(), target.toUtf8() + "?checkhost=1", origin)
                                              : rawRequest(fixture.httpPort(), false, target.toUtf8() + "?checkhost=1",
                                                           origin, host.toUtf8());
        RawReply seenByBackend;
        seenByBackend.head = reply.body;
        const QString seen = QString("%1, Host %2, Origin %3")
                                 .arg(reply.status)
                                 .arg(QString(seenByBackend.header("Host")), QString(seenByBackend.header("Origin")));
        QCOMPARE(seen, QString(expected)
                           .replace("{A}", a.origin().mid(7))
                           .replace("{port}", QString::number(fixture.httpPort())));
    }

    // The names of the appliance's own site, as Apache has them, are its
    // own: they keep every reserved path.
    void siteNamesReserved()
    {
        // Read from Apache's own account of its virtual hosts.
        QTemporaryDir bin;
        QVERIFY(writeScript(bin.path(), "apache2ctl",
                            QString("exec /usr/sbin/apache2 -f '%1' \"$@\"\n").arg(fixture.server().configPath())));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.path().toUtf8() + ':' + path);
        KMOwnNames::refresh();
        qputenv("PATH", path);
        QVERIFY(KMOwnNames::names().contains("nas-site.test"));
        QVERIFY(fixture.clear());
        applied.clear();
        QJsonObject params = rule("/api/ A /", "http", 1);
        params["source"] = with(params["source"].toObject(), "host", "NAS-site.test");
        QVERIFY(!fixture.create(params));
        QCOMPARE(fixture.errorText(), QString("源路径已被保留不可用"));
    }

    // Each proxied request carries this Apache's mark once, also where two
    // rules' locations take it; one that carries it already has come back
    // here and is refused wherever it goes on either web port (the
    // appliance's own pages too, which still serve unmarked requests),
    // another appliance's passes.
    void hopMark_data()
    {
        QTest::addColumn<QString>("request"); // scheme and path
        QTest::addColumn<QString>("mark");
        QTest::addColumn<QString>("expected");
        QTest::newRow("none") << "http /app/admin/x" << "" << "200 {mark}";
        QTest::newRow("another appliance's") << "http /app/admin/x" << "0123456789abcdef" << "200 0123456789abcdef, {mark}";
        QTest::newRow("this Apache's") << "http /app/admin/x" << "{mark}" << "508";
        QTest::newRow("this Apache's after another's") << "http /app/admin/x" << "0123456789abcdef, {mark}" << "508";
        QTest::newRow("appliance's page") << "http /index.html" << "" << "200 ";
        QTest::newRow("appliance's page, this Apache's") << "http /index.html" << "{mark}" << "508";
        QTest::newRow("port without rules, this Apache's") << "https /index.html" << "{mark}" << "508";
        QTest::newRow("port without rules, another's") << "https /index.html" << "0123456789abcdef" << "200 ";
    }
    void hopMark()
    {
        QFETCH(QString, request);
        QFETCH(QString, mark);
        QFETCH(QString, expected);
        const QString own = KMApacheConf::hopToken();
        QVERIFY2(use("/app A /;/app/admin B /admin", "http"), qPrintable(fixture.errorText()));
        const QByteArray header = mark.isEmpty() ? QByteArray()
                                                 : "X-Reverseproxy-Hop: " + mark.replace("{mark}", own).toUtf8() + "\r\n";
        const bool https = request.startsWith("https ");
        const RawReply reply = rawRequest(https ? fixture.httpsPort() : fixture.httpPort(), https,
                                          request.section(' ', 1).toUtf8(), header);
        RawReply seenByBackend;
        seenByBackend.head = reply.body;
        const QString seen = reply.status == 200 ? "200 " + seenByBackend.header("X-Reverseproxy-Hop")
                                                 : QString::number(reply.status);
        QCOMPARE(seen, expected.replace("{mark}", own));
    }

    // A destination that leads back to this Apache under a name the checks
    // at creation do not take for it (written into the file here): one
    // request is proxied once, and its return refused.
    void loopEndsAtOneHop()
    {
        QVERIFY2(use("/loop A /loop", "http"), qPrintable(fixture.errorText()));
        applied.clear();
        QFile file(orbaPath(QLatin1String(kReverseproxyHttpConf)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray text = file.readAll();
        file.close();
        QVERIFY(text.contains(a.origin().toUtf8()));
        text.replace(a.origin().toUtf8(), "http://localhost:" + QByteArray::number(fixture.httpPort()));
        QVERIFY(writeTestFile(file.fileName(), text));
        QVERIFY2(fixture.apply(), qPrintable(fixture.errorText()));
        QCOMPARE(rawRequest(fixture.httpPort(), false, "/loop/x").status, 508);
        fixture.server().stop(); // every request logged
        QCOMPARE(fixture.server().accessLog().filter("/loop/x"), QStringList({"GET /loop/x 508 -", "GET /loop/x 508 -"}));
    }

    // An https custom port offers only what the appliance's TLS policy (here
    // Apache's default) allows: no null, export, low or RC4 cipher, nor
    // others outside it, even to a client that would take them.
    void customPortCiphers_data()
    {
        QTest::addColumn<QString>("ciphers");
        QTest::addColumn<bool>("connects");
        QTest::newRow("outside the policy") << "eNULL:EXP:LOW:RC4:CAMELLIA:@SECLEVEL=0" << false;
        QTest::newRow("the policy's") << "DEFAULT" << true;
    }
    void customPortCiphers()
    {
        QFETCH(QString, ciphers);
        QFETCH(bool, connects);
        QVERIFY2(use("/z A /", "https custom"), qPrintable(fixture.errorText()));
        QProcess probe; // TLS 1.2: the cipher list does not apply to TLS 1.3
        probe.start("openssl", {"s_client", "-connect", QString("127.0.0.1:%1").arg(customPort), "-tls1_2",
                                "-cipher", ciphers});
        probe.closeWriteChannel();
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.exitCode() == 0, connects);
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxyRouting)
#include "tst_kmreverseproxy_routing.moc"
