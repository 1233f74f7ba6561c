#include "zx2utils.h"

#include <QtTest>

using Pairs = QHash<QString, QString>;

class TestZX2UtilsUrl : public QObject
{
    Q_OBJECT

private slots:
    void urlProtocol_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("protocol");
        QTest::newRow("http") << "http://host/" << "http";
        QTest::newRow("capitals kept") << "HTTPS://host" << "HTTPS";
        QTest::newRow("first separator") << "a://b://c" << "a";
        QTest::newRow("leading separator") << "://host" << QString();
        QTest::newRow("none") << "host:80/x" << QString();
    }
    void urlProtocol()
    {
        QFETCH(QString, url);
        QFETCH(QString, protocol);
        const QString found = ZX2UrlProtocol(url);
        QCOMPARE(found, protocol);
        QCOMPARE(found.isNull(), protocol.isNull());
    }

    void urlSplit_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("path");
        QTest::addColumn<Pairs>("query");
        QTest::newRow("full") << " HTTP://host:8080/a/b?x=1&y=%41&z " << "http" << "host" << 8080
                              << "a/b" << Pairs{{"x", "1"}, {"y", "A"}};
        QTest::newRow("ipv4 in ipv6 form") << "http://::ffff:10.0.0.1:81/p" << "http" << "10.0.0.1"
                                           << 81 << "p" << Pairs();
        QTest::newRow("no port keeps port") << "https://example.org/x/y" << "https"
                                            << "example.org" << -7 << "x/y" << Pairs();
        QTest::newRow("port without path") << "http://h:99" << "http" << "h" << 99 << ""
                                           << Pairs();
        QTest::newRow("empty host with port") << "http://:81/p" << "http" << "localhost" << 81
                                              << "p" << Pairs();
        QTest::newRow("no host") << "file:///etc/hosts" << "file" << "localhost" << -7
                                 << "/etc/hosts" << Pairs();
        QTest::newRow("bad port") << "http://h:abc/p" << "http" << "h" << 0 << "p" << Pairs();
        QTest::newRow("bare host") << "http://example.org" << "http" << "example.org" << -7 << ""
                                   << Pairs();
        QTest::newRow("ipv6 in brackets") << "http://[::1]:8080/x" << "http" << "::1" << 8080
                                          << "x" << Pairs();
        QTest::newRow("ipv6 without port") << "http://[fe80::1]/x" << "http" << "fe80::1" << -7
                                           << "x" << Pairs();
        QTest::newRow("repeated key and bare parts")
            << "http://h/?a=1&=2&b&a=3&c=%C3%A9" << "http" << "h" << -7 << ""
            << Pairs{{"a", "3"}, {"c", QStringLiteral("\u00c3\u00a9")}};
    }
    void urlSplit()
    {
        QFETCH(QString, url);
        QFETCH(QString, protocol);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, path);
        QFETCH(Pairs, query);
        QString gotProtocol, gotHost, gotPath = "stale";
        int gotPort = -7;
        Pairs gotQuery{{"stale", "1"}};
        QVERIFY(ZX2UrlSplit(url, gotProtocol, gotHost, gotPort, gotPath, &gotQuery));
        QCOMPARE(gotProtocol, protocol);
        QCOMPARE(gotHost, host);
        QCOMPARE(gotPort, port);
        QCOMPARE(gotPath, path);
        QCOMPARE(gotQuery, query);
    }

    void urlSplitWithoutSchemeChangesNothing()
    {
        QString protocol = "p", host = "h", path = "x";
        int port = 5;
        QVERIFY(!ZX2UrlSplit("host:80/path", protocol, host, port, path));
        QCOMPARE(protocol + host + path + QString::number(port), QStringLiteral("phx5"));
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsUrl)
#include "tst_zx2utils_url.moc"
