#include "apachefixture.h"
#include "httpfixture.h"
#include "lnx2utils.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestLnx2UtilsCurl : public QObject
{
    Q_OBJECT

    TestHttpServer server;
    TestApache apache;
    QTemporaryDir downloads;
    QByteArray text;
    QByteArray blob;

private slots:
    void initTestCase()
    {
        QVERIFY(server.startServer());
        server.setAnswer("/obj", TestHttpServer::answer(200, "{\"a\":1}"));
        server.setAnswer("/array", TestHttpServer::answer(200, "[1,2]"));
        server.setAnswer("/prefixed", TestHttpServer::answer(200, "preamble\r\n\r\n{\"b\":2}"));
        server.setAnswer("/leading", TestHttpServer::answer(200, "\r\n\r\n{\"c\":3}"));
        server.setAnswer("/hang", "", true);
        server.setAnswer("/file", TestHttpServer::answer(200, "file body"));

        for (int i = 0; i < 4000; ++i)
            text += "line " + QByteArray::number(i) + " of a text that compresses well\n";
        blob = randomBytes(1 << 20);
        QVERIFY(apache.writeDocument("big.txt", text));
        QVERIFY(apache.writeDocument("data.json", "{\"served\":true}"));
        QVERIFY(apache.writeDocument("array.json", "[\"served\"]"));
        QVERIFY(apache.writeDocument("blob.bin", blob));
        QVERIFY2(apache.start(), qPrintable(apache.errorText()));
    }
    void cleanupTestCase() { apache.stop(); }
    void init() { server.clearRequests(); }

    void getGzip()
    {
        QByteArray reply;
        QVERIFY(curlHttpGet(reply, apache.httpUrl("/big.txt"), 30));
        QCOMPARE(reply, text);
        QTRY_VERIFY(apache.accessLog().contains("GET /big.txt 200 gzip"));
    }

    void get_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("jsonOk");
        QTest::newRow("object") << apache.httpUrl("/data.json") << true << true;
        QTest::newRow("array") << apache.httpUrl("/array.json") << true << false;
        QTest::newRow("error page") << apache.httpUrl("/missing") << true << false;
        // The peer is verified: a self-signed certificate fails.
        QTest::newRow("https self-signed") << apache.httpsUrl("/data.json") << false << false;
        QTest::newRow("refused") << QString("http://127.0.0.1:%1/").arg(TestApache::freePort())
                                 << false << false;
    }
    void get()
    {
        QFETCH(QString, url);
        QFETCH(bool, ok);
        QFETCH(bool, jsonOk);
        QByteArray reply("untouched");
        QCOMPARE(curlHttpGet(reply, url, 30), ok);
        if (!ok)
            QCOMPARE(reply, QByteArray("untouched"));
        QJsonObject object{{"untouched", true}};
        QCOMPARE(curlHttpGet(object, url, 30), jsonOk);
        const QJsonObject expected{{jsonOk ? "served" : "untouched", true}};
        QCOMPARE(object, expected);
    }

    void getTimeout()
    {
        QByteArray reply;
        QVERIFY(!curlHttpGet(reply, server.url("/hang"), 1));
    }

    // Everything up to the first "\r\n\r\n" after the first byte is cut off.
    void post_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QByteArray>("raw");
        QTest::newRow("object") << QByteArray("/obj") << true << QJsonObject{{"a", 1}}
                                << QByteArray("{\"a\":1}");
        QTest::newRow("array") << QByteArray("/array") << false << QJsonObject()
                               << QByteArray("[1,2]");
        QTest::newRow("cut") << QByteArray("/prefixed") << true << QJsonObject{{"b", 2}}
                             << QByteArray("{\"b\":2}");
        QTest::newRow("not cut at the first byte")
            << QByteArray("/leading") << true << QJsonObject{{"c", 3}}
            << QByteArray("\r\n\r\n{\"c\":3}");
        QTest::newRow("error page") << QByteArray("/missing") << false << QJsonObject()
                                    << QByteArray("not found");
    }
    void post()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, ok);
        QFETCH(QJsonObject, reply);
        QFETCH(QByteArray, raw);
        QJsonObject answer;
        QByteArray received;
        QCOMPARE(curlHttpPost(answer, server.url(path), QJsonObject{{"k", "v"}}, &received), ok);
        QCOMPARE(answer, reply);
        QCOMPARE(received, raw);
        const TestHttpRequest request = server.requestsFor(path).value(0);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(request.body, QByteArray("{\"k\":\"v\"}"));
    }

    void postRefused()
    {
        QJsonObject answer;
        QByteArray raw("untouched");
        const QString url = QString("http://127.0.0.1:%1/").arg(TestApache::freePort());
        QVERIFY(!curlHttpPost(answer, url, QJsonObject(), &raw));
        QCOMPARE(raw, QByteArray("untouched"));
    }

    void detached()
    {
        curlHttpPost(server.url("/obj"), QJsonObject{{"d", 1}});
        curlHttpGet(server.url("/array"), 5);
        QTRY_COMPARE(server.requestsFor("/obj").size(), 1);
        QCOMPARE(server.requestsFor("/obj").at(0).body, QByteArray("{\"d\":1}"));
        QTRY_COMPARE(server.requestsFor("/array").size(), 1);
        QCOMPARE(server.requestsFor("/array").at(0).method, QByteArray("GET"));
    }

    void download_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("ok");
        const QString target = downloads.filePath("blob.bin");
        QTest::newRow("http") << apache.httpUrl("/blob.bin") << target << true;
        QTest::newRow("https, not verified") << apache.httpsUrl("/blob.bin") << target << true;
        QTest::newRow("error status") << apache.httpUrl("/missing.bin") << target << false;
        QTest::newRow("file cannot be opened")
            << apache.httpUrl("/blob.bin") << downloads.filePath("no/such/dir/blob.bin") << false;
    }
    void download()
    {
        QFETCH(QString, url);
        QFETCH(QString, file);
        QFETCH(bool, ok);
        QFile::remove(file);
        QCOMPARE(curlHttpDownload(url, file, 30), ok);
        if (ok)
            QVERIFY(readFile(file) == blob);
    }

    void downloading()
    {
        const QString file = downloads.filePath("counted.bin");
        qint64 total = 0;
        QVERIFY(curlHttpDownloading(apache.httpUrl("/blob.bin"), file,
                                    [&total](qint64 bytes) { return (total += bytes) > 0; }, 30));
        QCOMPARE(total, qint64(blob.size()));
        QVERIFY(readFile(file) == blob);

        int calls = 0;
        QVERIFY(!curlHttpDownloading(apache.httpUrl("/blob.bin"), file,
                                     [&calls](qint64) { return ++calls < 2; }, 30));
        QCOMPARE(calls, 2);
        QVERIFY(QFileInfo(file).size() < blob.size());
    }

    void downloadRequest()
    {
        const QString file = downloads.filePath("small.txt");
        QVERIFY(curlHttpDownload(server.url("/file"), file, 30));
        QCOMPARE(readFile(file), QByteArray("file body"));
        QCOMPARE(server.requestsFor("/file").value(0).headers.value("user-agent"),
                 QByteArray("Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko"));
    }
};

QTEST_GUILESS_MAIN(TestLnx2UtilsCurl)
#include "tst_lnx2utils_curl.moc"
