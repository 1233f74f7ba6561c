#include "lnx2network.h"

#include "standins.h"

#include <QJsonObject>
#include <QtTest>

namespace {

// A small interface tree: eth1 is enslaved to bond0 and shares its address.
void makeInterfaces(StandIns &standIns)
{
    const auto iface = [&](const QString &name, const QByteArray &address, bool isVirtual) {
        standIns.makeFile("/sys/class/net/" + name + "/address", address + '\n');
        if (isVirtual)
            standIns.makeFile("/sys/devices/virtual/net/" + name + "/address", address + '\n');
    };
    iface("lo", "00:00:00:00:00:00", true);
    iface("eth0", "52:54:00:12:34:56", false);
    iface("eth1", "52:54:00:aa:bb:01", false);
    iface("bond0", "52:54:00:aa:bb:01", true);
    iface("br0", "8a:3c:11:22:33:44", true);
    iface("WLAN0", "f4:5c:89:01:02:03", false);
    standIns.makeFile("/sys/class/net/eth1/bonding_slave/perm_hwaddr", "52:54:00:aa:bb:02\n");
    // A bond slave file that holds nothing falls back to the current address.
    standIns.makeFile("/sys/class/net/eth0/bonding_slave/perm_hwaddr", "");
}

} // namespace

class TestLNX2Network : public QObject
{
    Q_OBJECT
private slots:
    void listings()
    {
        StandIns standIns;
        makeInterfaces(standIns);
        const LNX2Network network;
        QCOMPARE(network.all(), (QStringList{".", "..", "bond0", "br0", "eth0", "eth1", "lo", "WLAN0"}));
        QCOMPARE(network.virtuals(), (QStringList{".", "..", "bond0", "br0", "lo"}));
        QCOMPARE(network.available(), (QStringList{"eth0", "eth1", "WLAN0"}));
    }

    void records()
    {
        StandIns standIns;
        makeInterfaces(standIns);
        const LNX2Network network;
        const QJsonArray all = network.nics();
        QCOMPARE(all.size(), 8);
        QCOMPARE(all[0].toObject(), (QJsonObject{{"name", "."}, {"mac", ""}, {"virtual", 1}}));
        QCOMPARE(all[2].toObject(), (QJsonObject{{"name", "bond0"}, {"mac", "52:54:00:aa:bb:01"}, {"virtual", 1}}));
        QCOMPARE(all[4].toObject(), (QJsonObject{{"name", "eth0"}, {"mac", "52:54:00:12:34:56"}, {"virtual", 0}}));
        QCOMPARE(all[5].toObject(), (QJsonObject{{"name", "eth1"}, {"mac", "52:54:00:aa:bb:02"}, {"virtual", 0}}));
        QCOMPARE(network.nics({"eth1", "nosuch", "lo"}),
                 (QJsonArray{QJsonObject{{"name", "eth1"}, {"mac", "52:54:00:aa:bb:02"}},
                             QJsonObject{{"name", "nosuch"}, {"mac", ""}},
                             QJsonObject{{"name", "lo"}, {"mac", "00:00:00:00:00:00"}}}));
    }

    void loopbackOnly()
    {
        StandIns standIns;
        standIns.makeFile("/sys/class/net/lo/address", "00:00:00:00:00:00\n");
        standIns.makeFile("/sys/devices/virtual/net/lo/address", "00:00:00:00:00:00\n");
        QCOMPARE(LNX2Network().available(), QStringList());
    }

    void timeProtocol_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("ntpCode");
        QTest::addColumn<int>("hwclockCode");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("default") << "" << 0 << 0 << true << QStringList{"ntpdate pool.ntp.org", "hwclock "};
        QTest::newRow("blanks") << "   " << 0 << 0 << true << QStringList{"ntpdate pool.ntp.org", "hwclock "};
        QTest::newRow("named") << "ntp.example.org" << 0 << 0 << true
                               << QStringList{"ntpdate ntp.example.org", "hwclock "};
        QTest::newRow("no answer") << "ntp.example.org" << 1 << 0 << false << QStringList{"ntpdate ntp.example.org"};
        QTest::newRow("no hardware clock") << "" << 0 << 1 << false
                                           << QStringList{"ntpdate pool.ntp.org", "hwclock "};
    }
    void timeProtocol()
    {
        QFETCH(QString, server);
        QFETCH(int, ntpCode);
        QFETCH(int, hwclockCode);
        QFETCH(bool, ok);
        QFETCH(QStringList, calls);
        StandIns standIns;
        standIns.answer("ntpdate.code", QByteArray::number(ntpCode));
        standIns.answer("hwclock.code", QByteArray::number(hwclockCode));
        QCOMPARE(LNX2Network().networkTimeProtocol(server), ok);
        QCOMPARE(standIns.calls(), calls);
    }

    // Read-only: the machine's own interfaces.
    void realSystem()
    {
        const LNX2Network network;
        if (!network.all().contains("lo"))
            QSKIP("no loopback interface listed under /sys/class/net");
        QVERIFY(network.virtuals().contains("lo"));
        QVERIFY(!network.available().contains("lo"));
        QCOMPARE(network.nics({"lo"}),
                 (QJsonArray{QJsonObject{{"name", "lo"}, {"mac", "00:00:00:00:00:00"}}}));
    }
};

QTEST_GUILESS_MAIN(TestLNX2Network)
#include "tst_lnx2network.moc"
