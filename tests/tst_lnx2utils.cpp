#include "lnx2utils.h"

#include <QtTest>

class TestLNX2Utils : public QObject
{
    Q_OBJECT
private slots:
    void cmpVersion_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("sign");
        QTest::newRow("equal") << "1.2.3" << "1.2.3" << 0;
        QTest::newRow("numeric not lexical") << "1.10" << "1.9" << 1;
        QTest::newRow("epoch wins") << "1:0.9" << "2.0" << 1;
        QTest::newRow("zero epoch implied") << "0:1.0" << "1.0" << 0;
        QTest::newRow("tilde before release") << "1.0~rc1" << "1.0" << -1;
        QTest::newRow("revision") << "1.0-1" << "1.0-2" << -1;
        QTest::newRow("letters after digits") << "1.0a" << "1.0" << 1;
        QTest::newRow("plus after tilde") << "2.6.2+deb12u1" << "2.6.2~bpo" << 1;
    }
    void cmpVersion()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, sign);
        const int result = ::cmpVersion(a, b);
        QCOMPARE((result > 0) - (result < 0), sign);
        const int reverse = ::cmpVersion(b, a);
        QCOMPARE((reverse > 0) - (reverse < 0), -sign);
    }

    void stringSplit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("runs") << "  a \t b\r\rc  " << QStringList{"a", "b", "c"};
        QTest::newRow("line feed stays") << "a\nb c" << QStringList{"a\nb", "c"};
        QTest::newRow("only separators") << " \t\r " << QStringList();
        QTest::newRow("empty") << "" << QStringList();
        QTest::newRow("status line") << "ii  apt\t2.6.1\r" << QStringList{"ii", "apt", "2.6.1"};
    }
    void stringSplit()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        QCOMPARE(::stringSplit(text), words);
    }

    void iniToJsonObjectMatchesIniToJson()
    {
        const QStringList lines{"[Unit]", "Description = x", "# note", "[Service]", "ExecStart=/bin/true",
                                "Type=simple", "[Unit]", "After=network.target"};
        const QJsonObject expected{{"Unit", QJsonObject{{"After", "network.target"}}},
                                   {"Service", QJsonObject{{"ExecStart", "/bin/true"}, {"Type", "simple"}}}};
        QCOMPARE(iniToJsonObject(lines), expected);
        QCOMPARE(iniToJsonObject(lines), iniToJson(lines));
    }
};

QTEST_GUILESS_MAIN(TestLNX2Utils)
#include "tst_lnx2utils.moc"
