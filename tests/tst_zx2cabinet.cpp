#include "zx2cabinet.h"

#include <QtTest>

class TestZX2Cabinet : public QObject
{
    Q_OBJECT
private slots:
    void freshEnvironment()
    {
        ZX2Cabinet cabinet;
        QCOMPARE(cabinet.err(), 9999);
        QVERIFY(!cabinet.isLocal());
        QVERIFY(cabinet.token().isEmpty());
        QVERIFY(cabinet.keys().isEmpty());
    }

    void store()
    {
        ZX2Cabinet cabinet;
        QJsonValue value("untouched");
        QVERIFY(!cabinet.get("absent", value));
        QCOMPARE(value, QJsonValue("untouched"));

        cabinet.set("k", 1);
        cabinet.set("k", "second");
        QCOMPARE(cabinet.keys(), QStringList{"k"});
        QVERIFY(cabinet.get("k", value));
        QCOMPARE(value, QJsonValue("second"));
        QCOMPARE(cabinet.getString("k"), QString("second"));

        cabinet.set("n", 5);
        QVERIFY(cabinet.getString("n").isEmpty());
        QVERIFY(cabinet.getString("absent").isEmpty());
        cabinet.remove("n");
        QVERIFY(!cabinet.contains("n"));
    }

    void objectIsSeparateFromStore()
    {
        ZX2Cabinet cabinet;
        cabinet.insert("protocol", 128);
        cabinet.insert("nothing", QJsonValue::Null);
        cabinet.set("protocol", "stored");
        cabinet.clear();
        QVERIFY(!cabinet.contains("protocol"));
        QCOMPARE(cabinet.value("protocol").toInt(), 128);
        QVERIFY(cabinet.value("absent").isUndefined());
        QVERIFY(cabinet.value("nothing").isNull());
        QCOMPARE(cabinet.object().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestZX2Cabinet)
#include "tst_zx2cabinet.moc"
