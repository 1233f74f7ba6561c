#include "zx2paths.h"

#include <QtTest>

class TestZX2Paths : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { qunsetenv("ORBA_ROOT"); }

    void mapping_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset") << QString() << "/orba/etc/x.db" << "/orba/etc/x.db";
        QTest::newRow("set") << "/tmp/r" << "/orba/etc/x.db" << "/tmp/r/etc/x.db";
        QTest::newRow("bare prefix") << "/tmp/r" << "/orba" << "/tmp/r";
        QTest::newRow("prefix of a longer name") << "/tmp/r" << "/orbax/y" << "/orbax/y";
        QTest::newRow("not leading") << "/tmp/r" << "/etc/orba/y" << "/etc/orba/y";
    }
    void mapping()
    {
        QFETCH(QString, root);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        if (root.isNull())
            qunsetenv("ORBA_ROOT");
        else
            qputenv("ORBA_ROOT", root.toLocal8Bit());
        QCOMPARE(orbaPath(path), expected);
    }
};

QTEST_GUILESS_MAIN(TestZX2Paths)
#include "tst_zx2paths.moc"
