#include "apachefixture.h"
#include "httpfixture.h"
#include "zx2http.h"
#include "zx3http.h"
#include "zx3httppool.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QtTest>

#include <time.h>

namespace {

const QByteArray kForm = "application/x-www-form-urlencoded; charset=UTF-8";

// Answers a POST with its method, content type and body as JSON.
const QByteArray kEchoScript = R"sh(#!/bin/sh
body=$(head -c "${CONTENT_LENGTH:-0}")
printf 'Content-Type: application/json\r\n\r\n'
printf '{"method":"%s","contenttype":"%s","body":"%s"}' "$REQUEST_METHOD" "$CONTENT_TYPE" \
    "$(printf %s "$body" | sed 's/["\\]/\\&/g')"
)sh";

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class TestZX2Http : public QObject
{
    Q_OBJECT

    TestHttpServer server;
    TestApache apache;

private slots:
    void initTestCase()
    {
        // Last-modified times are shown in local time: fix the zone.
        qputenv("TZ", "CST-8");
        tzset();
        QVERIFY(server.startServer());
        const QByteArray json = "application/json";
        server.setAnswer("/json", TestHttpServer::answer(200, "{\"a\":1}", "", json));
        server.setAnswer("/text", TestHttpServer::answer(200, "plain text"));
        server.setAnswer("/array", TestHttpServer::answer(200, "[1,2]", "", json));
        server.setAnswer("/moved", TestHttpServer::answer(302, "", "Location: /json\r\n"));
        server.setAnswer("/moved-abs", TestHttpServer::answer(
            301, "", "Location:  " + server.url("/text").toLatin1() + " \r\n"));
        server.setAnswer("/located", TestHttpServer::answer(200, "located", "Location: /text\r\n"));
        server.setAnswer("/created", TestHttpServer::answer(201, "created", "Location: /json\r\n"));
        server.setAnswer("/loop", TestHttpServer::answer(302, "", "Location: /loop\r\n"));
        server.setAnswer("/slow", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial", true);
        server.setAnswer("/hang", "", true);
        server.setAnswer("/head", "HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n"
                                  "Last-Modified: Tue, 01 Dec 2026 08:09:10 GMT\r\n"
                                  "Connection: close\r\n\r\n");
        server.setAnswer("/head-moved", TestHttpServer::answer(302, "", "Location: /head\r\n"));
        server.setAnswer("/posted", TestHttpServer::answer(200, "ok"));
        server.setAnswer("/geted", TestHttpServer::answer(200, "ok"));

        QVERIFY(apache.writeDocument("data.json", "{\"served\":\"by apache\"}"));
        QVERIFY(apache.writeDocument("blob.bin", QByteArray(3000, 'b')));
        QVERIFY(apache.writeDocument("echo.cgi", kEchoScript, true));
        QVERIFY2(apache.start(), qPrintable(apache.errorText()));
    }
    void cleanupTestCase() { apache.stop(); }
    void init() { server.clearRequests(); }

    void get_data()
    {
        QTest::addColumn<bool>("pooled");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("error");
        for (bool pooled : {false, true}) {
            const char *client = pooled ? "ZX3Http" : "ZX2Http";
            QTest::addRow("%s plain", client) << pooled << QByteArray("/json") << true
                                              << QByteArray("{\"a\":1}") << 0;
            QTest::addRow("%s 302 relative", client) << pooled << QByteArray("/moved") << true
                                                     << QByteArray("{\"a\":1}") << 0;
            QTest::addRow("%s 301 absolute", client) << pooled << QByteArray("/moved-abs")
                                                     << true << QByteArray("plain text") << 0;
            QTest::addRow("%s not found", client)
                << pooled << QByteArray("/missing") << false << QByteArray()
                << int(QNetworkReply::ContentNotFoundError);
            QTest::addRow("%s redirect loop", client)
                << pooled << QByteArray("/loop") << false << QByteArray()
                << int(QNetworkReply::TooManyRedirectsError);
        }
        // Only a redirect status makes ZX2Http follow; ZX3Http follows any Location.
        QTest::newRow("ZX2Http 200 with Location")
            << false << QByteArray("/located") << true << QByteArray("located") << 0;
        QTest::newRow("ZX3Http 200 with Location")
            << true << QByteArray("/located") << true << QByteArray("plain text") << 0;
    }
    void get()
    {
        QFETCH(bool, pooled);
        QFETCH(QByteArray, path);
        QFETCH(bool, ok);
        QFETCH(QByteArray, body);
        QFETCH(int, error);
        QByteArray reply;
        int code = -1;
        if (pooled) {
            ZX3Http http(5000);
            QCOMPARE(http.get(reply, server.url(path), &code), ok);
        } else {
            ZX2Http http;
            QCOMPARE(http.get(reply, server.url(path)), ok);
            code = http.replyError();
            QCOMPARE(http.get(server.url(path)), body);
        }
        QCOMPARE(reply, body);
        QCOMPARE(code, error);
        if (!pooled && ok)
            QVERIFY(!server.requestsFor(path).value(0).headers.value("user-agent").isEmpty());
    }

    // A POST is repeated against any "Location" of its reply, with the same
    // body, content type and headers.
    void post_data()
    {
        QTest::addColumn<bool>("pooled");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("repeatedAt");
        for (bool pooled : {false, true}) {
            const char *client = pooled ? "ZX3Http" : "ZX2Http";
            QTest::addRow("%s plain", client) << pooled << QByteArray("/text") << true
                                              << QByteArray("plain text") << 0 << QByteArray();
            QTest::addRow("%s 201 with Location", client)
                << pooled << QByteArray("/created") << true << QByteArray("{\"a\":1}") << 0
                << QByteArray("/json");
            QTest::addRow("%s 302", client) << pooled << QByteArray("/moved") << true
                                            << QByteArray("{\"a\":1}") << 0 << QByteArray("/json");
            QTest::addRow("%s not found", client)
                << pooled << QByteArray("/missing") << false << QByteArray()
                << int(QNetworkReply::ContentNotFoundError) << QByteArray();
            QTest::addRow("%s redirect loop", client)
                << pooled << QByteArray("/loop") << false << QByteArray()
                << int(QNetworkReply::TooManyRedirectsError) << QByteArray();
        }
    }
    void post()
    {
        QFETCH(bool, pooled);
        QFETCH(QByteArray, path);
        QFETCH(bool, ok);
        QFETCH(QByteArray, body);
        QFETCH(int, error);
        QFETCH(QByteArray, repeatedAt);
        const QByteArray sent = "a=1&b=%C3%A4";
        QByteArray reply;
        int code = -1;
        if (pooled) {
            ZX3Http http(5000);
            QCOMPARE(http.post(reply, server.url(path), sent, &code, kForm,
                               {{"X-Extra", "yes"}}),
                     ok);
        } else {
            ZX2Http http;
            QCOMPARE(http.post(reply, server.url(path), sent), ok);
            code = http.replyError();
        }
        QCOMPARE(reply, body);
        QCOMPARE(code, error);
        const TestHttpRequest first = server.requestsFor(path).value(0);
        QCOMPARE(first.method, QByteArray("POST"));
        QCOMPARE(first.body, sent);
        QCOMPARE(first.headers.value("content-type"), kForm);
        QCOMPARE(first.headers.value("content-length"), QByteArray::number(sent.size()));
        if (!repeatedAt.isEmpty()) {
            const TestHttpRequest again = server.requestsFor(repeatedAt).value(0);
            QCOMPARE(again.method, QByteArray("POST"));
            QCOMPARE(again.body, sent);
            QCOMPARE(again.headers.value("content-type"), kForm);
            QCOMPARE(again.headers.value("x-extra"), QByteArray(pooled ? "yes" : ""));
        }
    }

    void jsonReplies_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("raw");
        QTest::newRow("object") << QByteArray("/json") << true << QByteArray("{\"a\":1}");
        QTest::newRow("not JSON") << QByteArray("/text") << false << QByteArray("plain text");
        QTest::newRow("array") << QByteArray("/array") << false << QByteArray("[1,2]");
    }
    void jsonReplies()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, ok);
        QFETCH(QByteArray, raw);
        const QJsonObject expected = ok ? QJsonObject{{"a", 1}} : QJsonObject();
        const QJsonObject sent{{"k", "v"}, {"n", 2}};
        ZX2Http http;
        QJsonObject reply;
        QCOMPARE(http.get(reply, server.url(path)), ok);
        QCOMPARE(reply, expected);

        // The raw reply is handed over whenever the POST itself succeeded.
        QByteArray received;
        QCOMPARE(http.post(reply, server.url(path), sent, &received), ok);
        QCOMPARE(reply, expected);
        QCOMPARE(received, raw);
        const TestHttpRequest request = server.requestsFor(path).value(1);
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(request.body, compact(sent));

        ZX3Http pooled(5000);
        received.clear();
        QCOMPARE(pooled.post(reply, server.url(path), sent, &received), ok);
        QCOMPARE(reply, expected);
        QCOMPARE(received, raw);
    }

    // A reply still running at the time limit fails, handing over what arrived.
    void timeout()
    {
        ZX2Http http;
        QCOMPARE(http.timeout(), 30000);
        http.setTimeout(1500);
        QByteArray reply;
        QVERIFY(!http.get(reply, server.url("/slow")));
        QCOMPARE(reply, QByteArray("partial"));
        QCOMPARE(http.replyError(), int(QNetworkReply::TimeoutError));
        QCOMPARE(http.get(server.url("/slow")), QByteArray());

        ZX3Http pooled(1500);
        int code = -1;
        QVERIFY(!pooled.get(reply, server.url("/hang"), &code));
        QCOMPARE(code, int(QNetworkReply::TimeoutError));
    }

    void head_data()
    {
        QTest::addColumn<bool>("pooled");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("ok");
        QTest::newRow("ZX2Http") << false << QByteArray("/head") << true;
        QTest::newRow("ZX3Http") << true << QByteArray("/head") << true;
        QTest::newRow("ZX3Http follows Location") << true << QByteArray("/head-moved") << true;
        QTest::newRow("ZX2Http not found") << false << QByteArray("/missing") << false;
        QTest::newRow("ZX3Http not found") << true << QByteArray("/missing") << false;
    }
    void head()
    {
        QFETCH(bool, pooled);
        QFETCH(QByteArray, path);
        QFETCH(bool, ok);
        QJsonObject info{{"kept", true}};
        QByteArray raw("untouched");
        if (pooled) {
            ZX3Http http(5000);
            QCOMPARE(http.getHead(info, server.url(path), nullptr, &raw), ok);
        } else {
            ZX2Http http;
            QCOMPARE(http.getHead(server.url(path), info, &raw), ok);
        }
        QCOMPARE(server.requestsFor(path).value(0).method, QByteArray("HEAD"));
        if (!ok)
            return;
        QCOMPARE(raw, QByteArray());
        QCOMPARE(info.value("contentlength").toInt(), 1234);
        QCOMPARE(info.value("lastmodified").toString(), QString("2026-12-01 16:09:10"));
        QVERIFY(info.value("kept").toBool());
    }

    void pool_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("jsonBody");
        QTest::addColumn<bool>("withUser");
        QTest::addColumn<bool>("reported");
        QTest::newRow("JSON body with user object") << QByteArray("/json") << true << true << true;
        QTest::newRow("bytes with user object") << QByteArray("/created") << false << true << true;
        QTest::newRow("no user object") << QByteArray("/json") << true << false << false;
        QTest::newRow("failed request") << QByteArray("/missing") << true << true << false;
    }
    void pool()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, jsonBody);
        QFETCH(bool, withUser);
        QFETCH(bool, reported);
        const QJsonObject body{{"q", "r"}};
        QJsonObject user{{"id", 7}};
        ZX3HttpPool pool(nullptr, 5);
        QCOMPARE(pool.timeout(), 5);
        QSignalSpy spy(&pool, &ZX3HttpPool::onRespond);
        if (jsonBody)
            pool.addPost(server.url(path), body, withUser ? &user : nullptr);
        else
            pool.addPost(server.url(path), compact(body), withUser ? &user : nullptr);
        user.insert("id", 8); // the pool keeps its own copy
        QVERIFY(pool.waitForDone(30000));
        QCOMPARE(spy.count(), reported ? 1 : 0);
        if (reported) {
            QCOMPARE(spy.at(0).at(0).toJsonObject(), QJsonObject({{"id", 7}}));
            QCOMPARE(spy.at(0).at(1).toByteArray(), QByteArray("{\"a\":1}"));
        }
        const TestHttpRequest request = server.requestsFor(path).value(0);
        QCOMPARE(request.body, compact(body));
        QCOMPARE(request.headers.value("content-type"), kForm);
    }

    // The pool's time limit (in seconds) ends a request that gets no answer.
    void poolTimeout()
    {
        ZX3HttpPool pool(nullptr, 1);
        QSignalSpy spy(&pool, &ZX3HttpPool::onRespond);
        QJsonObject user{{"id", 1}};
        pool.addPost(server.url("/hang"), QByteArray("x"), &user);
        QVERIFY(pool.waitForDone(60000));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(server.requestsFor("/hang").size(), 1);
    }

    void detached()
    {
        ZX2Http http;
        http.posting(server.url("/posted"), QJsonObject{{"p", 1}});
        http.geting(server.url("/geted"));
        QTRY_COMPARE(server.requestsFor("/posted").size(), 1);
        QCOMPARE(server.requestsFor("/posted").at(0).body, QByteArray("{\"p\":1}"));
        QTRY_COMPARE(server.requestsFor("/geted").size(), 1);
        QCOMPARE(server.requestsFor("/geted").at(0).method, QByteArray("GET"));
    }

    void httpsGet()
    {
        QVERIFY(QSslSocket::supportsSsl());
        ZX2Http http;
        QJsonObject reply;
        QVERIFY2(http.get(reply, apache.httpsUrl("/data.json")), qPrintable(apache.errorLog()));
        QCOMPARE(reply.value("served").toString(), QString("by apache"));
        ZX3Http pooled(10000);
        QByteArray bytes;
        QVERIFY(pooled.get(bytes, apache.httpsUrl("/data.json")));
        QCOMPARE(bytes, QByteArray("{\"served\":\"by apache\"}"));
    }

    void httpsPost()
    {
        const QJsonObject sent{{"k", "v"}};
        ZX2Http http;
        QJsonObject reply;
        QVERIFY(http.post(reply, apache.httpsUrl("/echo.cgi"), sent));
        QCOMPARE(reply, QJsonObject({{"method", "POST"},
                                     {"contenttype", "application/json"},
                                     {"body", QString::fromUtf8(compact(sent))}}));
        ZX3Http pooled(10000);
        QByteArray bytes;
        QVERIFY(pooled.post(bytes, apache.httpsUrl("/echo.cgi"), "a=1&b=2"));
        QCOMPARE(QJsonDocument::fromJson(bytes).object(),
                 QJsonObject({{"method", "POST"},
                              {"contenttype", QString::fromLatin1(kForm)},
                              {"body", "a=1&b=2"}}));
    }

    void httpsHead()
    {
        const QString file = apache.documentRoot() + "/blob.bin";
        QFile blob(file);
        QVERIFY(blob.open(QIODevice::ReadWrite));
        QVERIFY(blob.setFileTime(QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC),
                                 QFileDevice::FileModificationTime));
        blob.close();
        ZX2Http http;
        QJsonObject info;
        QVERIFY(http.getHead(apache.httpsUrl("/blob.bin"), info));
        QCOMPARE(info.value("contentlength").toInt(), 3000);
        QCOMPARE(info.value("lastmodified").toString(), QString("2026-01-02 11:04:05"));
    }
};

QTEST_GUILESS_MAIN(TestZX2Http)
#include "tst_zx2http.moc"
