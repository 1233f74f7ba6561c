#include "zx2utils.h"

#include <QSet>
#include <QtTest>

// Expected identifiers were computed independently from the encoding rules;
// other programs store them, so they must never change.
class TestZX2UtilsIdentifier : public QObject
{
    Q_OBJECT

private slots:
    void seededIdentifiers_data()
    {
        QTest::addColumn<QString>("seed");
        QTest::addColumn<QString>("base36");
        QTest::addColumn<QString>("base62");
        QTest::newRow("abc") << "abc" << "8bf" << "2NR";
        QTest::newRow("uuid text") << "{6F9619FF-8B86-D011-B42D-00C04FD430C8}" << "151mmm9twlgr2"
                                   << "6r5fALiEPw2";
        QTest::newRow("signed bytes") << QStringLiteral("反向代理") << "3w5dzmo1z3gqy"
                                      << "lYGgsuEXbXI";
        QTest::newRow("wraps") << QString(40, 'a') << "76cihuctxso7" << "17M5OxcFQlF";
        QTest::newRow("only hyphens") << "---" << "" << "";
    }
    void seededIdentifiers()
    {
        QFETCH(QString, seed);
        QFETCH(QString, base36);
        QFETCH(QString, base62);
        QCOMPARE(ZX2Uuid(seed), base36);
        QCOMPARE(ZX2Uuid62(seed), base62);
    }

    void emptySeedGivesFreshIdentifiers()
    {
        QSet<QString> seen;
        for (int i = 0; i < 20; ++i) {
            seen << ZX2Uuid(QString());
            seen << ZX2Uuid62(QString());
        }
        QCOMPARE(seen.size(), 40);
        QVERIFY(!seen.contains(QString()));
    }

    void toBase62_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("encoded");
        QTest::newRow("abc") << "abc" << "Nm";
        QTest::newRow("trimmed, braces and hyphens dropped") << "  {12-34}  " << "Ze";
        QTest::newRow("punctuation skipped") << "Hello, World!" << "atoKV9n";
        QTest::newRow("upper case") << "zZ9" << "D71";
        QTest::newRow("non-ascii skipped") << QStringLiteral("反a") << "a";
        QTest::newRow("empty") << "" << "";
    }
    void toBase62()
    {
        QFETCH(QString, text);
        QFETCH(QString, encoded);
        QCOMPARE(ZX2ToBase62(text), encoded);
    }

    void randCode()
    {
        QVERIFY(::randCode(0).isEmpty());
        QVERIFY(::randCode(-3).isEmpty());
        const QRegularExpression alphabet("^[0-9A-Za-z]{64}$");
        QSet<QChar> used;
        for (int i = 0; i < 50; ++i) {
            const QString code = ::randCode(64);
            QVERIFY2(alphabet.match(code).hasMatch(), qPrintable(code));
            for (const QChar c : code)
                used << c;
        }
        // 3200 draws from 62 characters reach every one of them.
        QCOMPARE(used.size(), 62);
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsIdentifier)
#include "tst_zx2utils_identifier.moc"
