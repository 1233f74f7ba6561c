#include "zx2utils.h"

#include <QtTest>

class TestZX2UtilsCapacity : public QObject
{
    Q_OBJECT

private slots:
    void asCapacity_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("k") << "1.5K" << qint64(1536);
        QTest::newRow("kib") << "1.5KiB" << qint64(1536);
        QTest::newRow("g") << "2g" << qint64(2147483648);
        QTest::newRow("padded mb") << " 10 MB " << qint64(10485760);
        QTest::newRow("bytes") << "512b" << qint64(512);
        QTest::newRow("fraction of bytes") << "1.5b" << qint64(0);
        QTest::newRow("plain") << "100" << qint64(100);
        QTest::newRow("plain fraction") << "1.5" << qint64(0);
        QTest::newRow("no number") << "abc" << qint64(0);
        QTest::newRow("beyond 64 bits") << "1e30t" << qint64(0);
        QTest::newRow("bytes beyond 63 bits") << "9223372036854775808b" << qint64(0);
        QTest::newRow("largest bytes") << "9223372036854775807B" << qint64(9223372036854775807);
    }
    void asCapacity()
    {
        QFETCH(QString, text);
        QFETCH(qint64, bytes);
        QCOMPARE(::asCapacity(text), bytes);
    }

    void toSizeMB_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("megabytes");
        QTest::newRow("1536k") << "1536k" << qint64(1);
        QTest::newRow("just below") << "1048575" << qint64(0);
        QTest::newRow("1.5GiB") << "1.5GiB" << qint64(1536);
    }
    void toSizeMB()
    {
        QFETCH(QString, text);
        QFETCH(qint64, megabytes);
        QCOMPARE(::toSizeMB(text), megabytes);
    }

    void capacitySize_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("1023") << qint64(1023) << "1023 B";
        QTest::newRow("1024") << qint64(1024) << "1 KB";
        QTest::newRow("rounded up") << qint64(1048575) << "1024 KB";
        QTest::newRow("1 MB") << qint64(1048576) << "1 MB";
        QTest::newRow("two decimals") << qint64(1288490189) << "1.2 GB";
        QTest::newRow("1 TB") << qint64(1099511627776) << "1 TB";
        QTest::newRow("large TB") << qint64(1125899906842624) << "1024 TB";
    }
    void capacitySize()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(::capacitySize(bytes), text);
    }

    void adjustCapacity()
    {
        QCOMPARE(::adjustCapacity(" 1536 KiB"), QStringLiteral("1.5 MB"));
        QCOMPARE(::adjustCapacity("nothing"), QStringLiteral("0 B"));
    }

    void toCapacity_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("1023") << qint64(1023) << "1023 b";
        QTest::newRow("1024") << qint64(1024) << "1.00kb";
        QTest::newRow("mb") << qint64(1572864) << "1.50mb";
        QTest::newRow("gb") << (qint64(1) << 30) << "1.00gb";
        QTest::newRow("tb") << qint64(3) * (qint64(1) << 40) << "3.00tb";
        QTest::newRow("negative") << qint64(-1) << "-0.00tb";
    }
    void toCapacity()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(::toCapacity(bytes), text);
    }

    void toCapacityMb()
    {
        QCOMPARE(::toCapacityMb(1572864), 1.5);
        QCOMPARE(::toCapacityMb(1048576 + 5242), 1.0);
        QCOMPARE(::toCapacityMb(1048576 + 5243), 1.01);
    }

    void asUnitSpeed_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("M/S") << "M/S" << qint64(1048576);
        QTest::newRow("p/s") << "P/s" << (qint64(1) << 50);
        QTest::newRow("mb/s") << "mb/s" << qint64(1);
    }
    void asUnitSpeed()
    {
        QFETCH(QString, unit);
        QFETCH(qint64, bytes);
        QCOMPARE(::asUnitSpeed(unit), bytes);
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsCapacity)
#include "tst_zx2utils_capacity.moc"
