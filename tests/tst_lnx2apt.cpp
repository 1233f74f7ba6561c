#include "lnx2apt.h"

#include "stdoutcapture.h"

#include "standins.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kOptions = "--fix-missing --allow-unauthenticated -o Dpkg::Options::=--force-confmiss -y";

QStringList transcriptLines()
{
    return QString::fromLatin1(StandIns::readData("lnx2apt/apt-install-fortune-mod.txt"))
        .split('\n', Qt::SkipEmptyParts);
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> list;
    for (const QList<QVariant> &arguments : spy)
        list << arguments.at(0).toInt();
    return list;
}

QList<int> withoutRepeats(const QList<int> &list)
{
    QList<int> result;
    for (int v : list)
        if (result.isEmpty() || result.last() != v)
            result << v;
    return result;
}

QByteArray listingOf(const QByteArray &rows)
{
    return "Desired=Unknown/Install/Remove/Purge/Hold\n"
           "||/ Name           Version      Architecture Description\n"
           "+++-==============-============-============-=================\n" + rows;
}

} // namespace

class TestLNX2Apt : public QObject
{
    Q_OBJECT
private slots:
    void takePackageName_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("deb file") << "/var/cache/foo_2.1_all.deb" << "foo";
        QTest::newRow("plain name") << "foo" << "foo";
        QTest::newRow("leading underscore") << "/x/_foo.deb" << "_foo.deb";
        QTest::newRow("no underscore") << "dir/bar.deb" << "bar.deb";
        QTest::newRow("plain name with underscore") << "foo_1.0" << "foo_1.0";
    }
    void takePackageName()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(LNX2Apt::takePackageName(text), expected);
    }

    void amounts_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("amount");
        QTest::newRow("summary") << QStringList{"x", "2 upgraded, 3 newly installed, 0 to remove and 7 not upgraded."}
                                 << true << 5;
        QTest::newRow("incomplete") << QStringList{"2 upgraded, 3 newly installed, 0 to remove and 7"} << false << -1;
        QTest::newRow("last wins") << QStringList{"1 upgraded, 1 newly installed, 0 to remove and 0 not upgraded.",
                                                  "0 upgraded, 4 newly installed, 0 to remove and 0 not upgraded.\r"}
                                   << true << 4;
        QTest::newRow("recorded install") << transcriptLines() << true << 3;
    }
    void amounts()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, found);
        QFETCH(int, amount);
        int result = -1;
        QCOMPARE(LNX2Apt::aptAmounts(result, lines), found);
        QCOMPARE(result, amount);
    }

    void downloading_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("package");
        QTest::addColumn<bool>("unpacking");
        QTest::newRow("progress line") << QByteArray("Get:1 x\r\n\r45% [3 libfoo 120 kB/300 kB 40%]") << 45 << "libfoo" << false;
        QTest::newRow("single digit") << QByteArray("Get:1 x\r\n\r         \r5% [1 bar 1 kB/9 kB 11%]") << 5 << "bar" << false;
        QTest::newRow("waiting for headers") << QByteArray("Get:1 x\r\n\r87% [Waiting for headers]") << 87 << "" << false;
        QTest::newRow("waiting and a package") << QByteArray("Get:1 x\r\n\r88% [Waiting for headers] [2 baz 1 B/4 kB 0%]")
                                               << 88 << "baz" << false;
        QTest::newRow("too early") << QByteArray("5% [1 bar 1 kB/9 kB 11%]") << 0 << "" << false;
        QTest::newRow("nothing yet") << QByteArray("Reading package lists... Done\r\n") << 0 << "" << false;
        QTest::newRow("recorded install") << StandIns::readData("lnx2apt/apt-install-fortune-mod.txt") << 100 << ""
                                          << true;
    }
    void downloading()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, percent);
        QFETCH(QString, package);
        QFETCH(bool, unpacking);
        int resultPercent = -1;
        QString resultPackage = "stale";
        QCOMPARE(LNX2Apt::aptDownloading(resultPercent, resultPackage, output), unpacking);
        QCOMPARE(resultPercent, percent);
        QCOMPARE(resultPackage, package);
    }

    void unpackAndSetUp()
    {
        QString package = "stale";
        QCOMPARE(LNX2Apt::aptUnpacking(package, transcriptLines()), 3);
        QCOMPARE(package, "fortunes-min");
        QCOMPARE(LNX2Apt::aptSettingUp(package, transcriptLines()), 3);
        QCOMPARE(package, "fortune-mod");
        const QStringList other{" Unpacking indented (1) ...", "unpacking lower (1) ...",
                                "[Waiting for headers]Setting up late (2) ..."};
        QCOMPARE(LNX2Apt::aptUnpacking(package, other), 0);
        QCOMPARE(package, "");
        QCOMPARE(LNX2Apt::aptSettingUp(package, other), 1);
        QCOMPARE(package, "late");
    }

    void busy_data()
    {
        QTest::addColumn<QByteArray>("extraLine");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("busy");
        QTest::newRow("idle") << QByteArray() << 0 << false;
        QTest::newRow("apt running") << QByteArray("   4242 pts/0    00:00:03 apt\n") << 0 << true;
        QTest::newRow("dpkg running") << QByteArray("   4243 ?        00:00:00 dpkg\n") << 0 << true;
        QTest::newRow("longer command line") << QByteArray(" 4244 ? 0:00 /usr/bin/dpkg --configure -a\n") << 0 << true;
        QTest::newRow("similar names") << QByteArray("  11 ? 00:00:00 apt-get\n  12 ? 00:00:00 aptd\n") << 0 << false;
        QTest::newRow("ps failed") << QByteArray("   4242 pts/0    00:00:03 apt\n") << 1 << false;
    }
    void busy()
    {
        QFETCH(QByteArray, extraLine);
        QFETCH(int, code);
        QFETCH(bool, busy);
        StandIns standIns;
        standIns.answer("ps.out", StandIns::readData("lnx2apt/ps-e.txt") + extraLine);
        standIns.answer("ps.code", QByteArray::number(code));
        QCOMPARE(LNX2Apt::isBusy(), busy);
        QCOMPARE(standIns.calls(), QStringList{"ps -e"});
    }

    void packages()
    {
        StandIns standIns;
        standIns.answerFromData("dpkg.out", "lnx2package/dpkg-l.txt");
        const QList<QJsonObject> all = LNX2Apt::dpkgPackages();
        QCOMPARE(all.size(), 49);
        QCOMPARE(all.first(), (QJsonObject{{"status", "ii"}, {"package", "adduser"}, {"version", "3.134"}}));
        const QList<QJsonObject> brokens = LNX2Apt::dpkgBrokens();
        QCOMPARE(brokens.size(), 3);
        QCOMPARE(brokens[0], (QJsonObject{{"status", "rc"}, {"package", "halfgone"}, {"version", "2.1-1"}}));
        QCOMPARE(brokens[1].value("package").toString(), "newpkg:amd64");
        QCOMPARE(standIns.calls().first(), "dpkg -l --no-pager");
        standIns.answer("dpkg.code", "2");
        QVERIFY(LNX2Apt::dpkgPackages().isEmpty());
    }

    void status_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("version");
        QTest::newRow("plain") << "fortune-mod" << true << "rc" << "1:1.99.1-7.3";
        QTest::newRow("architecture suffix") << "libc6" << true << "ii" << "2.36-9+deb12u14";
        QTest::newRow("prefix only") << "fortune" << false << "old" << "0";
    }
    void status()
    {
        QFETCH(QString, package);
        QFETCH(bool, found);
        QFETCH(QString, status);
        QFETCH(QString, version);
        StandIns standIns;
        standIns.answer("dpkg.out", listingOf("rc  fortune-mod    1:1.99.1-7.3 amd64        fortune\n"
                                              "ii  libc6:amd64    2.36-9+deb12u14 amd64     GNU C\n"));
        QString resultStatus = "old", resultVersion = "0";
        QCOMPARE(LNX2Apt::dpkgStatus(package, resultStatus, resultVersion), found);
        QCOMPARE(resultStatus, status);
        QCOMPARE(resultVersion, version);
        QCOMPARE(standIns.calls(), QStringList{"dpkg -l " + package});
    }

    // Each try answers with the error text of one data file ("" succeeds).
    void purge_data()
    {
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<bool>("purged");
        QTest::addColumn<QStringList>("deleted");
        QTest::newRow("at once") << QStringList{""} << true << QStringList{};
        QTest::newRow("pre-removal script")
            << QStringList{"purge-pre-removal.err", ""} << true << QStringList{"prerm"};
        QTest::newRow("two scripts") << QStringList{"purge-post-removal.err", "purge-pre-removal.err", ""}
                                     << true << QStringList{"postrm", "prerm"};
        QTest::newRow("script keeps failing")
            << QStringList{"purge-pre-removal.err", "purge-pre-removal.err"} << false << QStringList{"prerm"};
        QTest::newRow("other error") << QStringList{"purge-locked.err"} << false << QStringList{};
    }
    void purge()
    {
        QFETCH(QStringList, errors);
        QFETCH(bool, purged);
        QFETCH(QStringList, deleted);
        StandIns standIns;
        for (int i = 0; i < errors.size(); ++i) {
            if (errors[i].isEmpty())
                continue;
            standIns.answerFromData(QString("apt.%1.err").arg(i + 1), "lnx2apt/" + errors[i]);
            standIns.answer(QString("apt.%1.code").arg(i + 1), "100");
        }
        const QStringList scripts{"prerm", "postrm", "preinst", "postinst"};
        for (const QString &suffix : scripts)
            standIns.makeFile("/var/lib/dpkg/info/sysmon." + suffix, "#!/bin/sh\nexit 1\n");
        QCOMPARE(LNX2Apt::aptPurge("sysmon"), purged);
        QCOMPARE(standIns.calls(), QStringList(QVector<QString>(errors.size(), "apt purge -y sysmon").toList()));
        for (const QString &suffix : scripts)
            QCOMPARE(QFile::exists(standIns.inRoot("/var/lib/dpkg/info/sysmon." + suffix)),
                     !deleted.contains(suffix));
    }

    void reinstallList()
    {
        StandIns standIns;
        standIns.answer("apt.2.code", "100");
        const QList<QJsonObject> records{{{"package", "a"}}, {{"package", "b"}}, {{"package", "c"}}};
        QCOMPARE(LNX2Apt::aptReinstall(records), 2);
        QCOMPARE(standIns.calls(), (QStringList{"DEBIAN_FRONTEND=noninteractive apt reinstall " + kOptions + " a",
                                                "DEBIAN_FRONTEND=noninteractive apt reinstall " + kOptions + " b",
                                                "DEBIAN_FRONTEND=noninteractive apt reinstall " + kOptions + " c"}));
        QCOMPARE(LNX2Apt::aptPurge(records), 3);
    }

    void repairWhileBusy()
    {
        StandIns standIns;
        standIns.answer("ps.out", StandIns::readData("lnx2apt/ps-e.txt") + " 4242 pts/0 00:00:03 apt\n");
        LNX2Apt apt;
        QSignalSpy spy(&apt, &LNX2Apt::progress);
        QVERIFY(!apt.aptRepair());
        QCOMPARE(spy.count(), 0);
        QCOMPARE(standIns.calls(), QStringList{"ps -e"});
    }

    // The listing keeps showing the same broken packages: they are purged
    // once and reinstalled once, then the repair goes on.
    void repair()
    {
        StandIns standIns;
        standIns.answer("dpkg.out", listingOf("ii  good  1.0  all  x\nrc  gone  2.0  all  y\nhi  held  3.0  all  z\n"));
        standIns.makeFile("/var/lib/dpkg/updates/0001");
        standIns.makeFile("/var/cache/apt/archives/a_1_all.deb");
        standIns.makeFile("/var/cache/apt/archives/b_1_all.deb");
        standIns.makeFile("/var/cache/apt/archives/partial/c_1_all.deb");
        // Not matched by the pattern *.deb.
        standIns.makeFile("/var/cache/apt/archives/D_1_all.DEB");
        standIns.makeFile("/var/cache/apt/archives/.e_1_all.deb");
        LNX2Apt apt;
        QSignalSpy spy(&apt, &LNX2Apt::progress);
        bool repaired = false;
        const QByteArray trace = captured([&] { repaired = apt.aptRepair(); });
        QVERIFY(repaired);
        QCOMPARE(values(spy), (QList<int>{0, 5, 10, 15, 30, 40, 50, 60, 70, 80, 90, 95, 100}));
        // One empty record at the start, between each two of the eleven steps and at the end.
        QCOMPARE(trace.count("=> aptRepair: "), 12);
        const QString quiet = "DEBIAN_FRONTEND=noninteractive ";
        const QStringList expected{
            "ps -e",
            "rm -f @/var/lib/dpkg/lock",
            "rm -f @/var/lib/dpkg/lock-frontend",
            "rm -f @/var/lib/dpkg/updates/0001",
            "rm -f @/var/cache/apt/archives/lock",
            "rm -f @/var/cache/apt/archives/a_1_all.deb @/var/cache/apt/archives/b_1_all.deb",
            "hwclock ",
            "dpkg -l --no-pager",
            "apt purge -y gone",
            "apt purge -y held",
            "dpkg -l --no-pager",
            quiet + "apt reinstall " + kOptions + " gone",
            quiet + "apt reinstall " + kOptions + " held",
            "dpkg -l --no-pager",
            quiet + "apt clean -y",
            quiet + "apt autoclean -y",
            quiet + "dpkg --configure -a",
            quiet + "apt autoremove -y",
            quiet + "apt --fix-broken -y install",
            quiet + "apt --fix-broken -o Dpkg::Options::=--force-confmiss -y install",
        };
        QCOMPARE(standIns.calls(), expected);
    }

    void execute_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("transcript");
        QTest::newRow("install") << QJsonObject{{"package", "fortune-mod"}, {"exec", 1}}
                                 << "apt install --fix-missing --allow-unauthenticated "
                                    "-o Dpkg::Options::=\"--force-confmiss\" -y 'fortune-mod'"
                                 << 1 << "lnx2apt/apt-install-fortune-mod.txt";
        QTest::newRow("unknown action installs")
            << QJsonObject{{"package", "fortune-mod"}, {"exec", "7"}} << "apt install" << 1
            << "lnx2apt/apt-install-fortune-mod.txt";
        QTest::newRow("reinstall without amounts")
            << QJsonObject{{"package", "fortune-mod"}, {"exec", 3}} << "apt reinstall" << 3
            << "lnx2apt/apt-reinstall-fortune-mod.txt";
        QTest::newRow("quoted for the shell")
            << QJsonObject{{"package", "x'; touch pwned; '"}, {"exec", 2}}
            << "-y 'x'\\''; touch pwned; '\\'''" << 2 << "lnx2apt/apt-install-fortune-mod.txt";
    }
    // The stand-in prints the whole transcript at once and ends only once the
    // progress has reached 100, so every phase is seen in turn.
    void execute()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QString, command);
        QFETCH(int, action);
        QFETCH(QString, transcript);
        StandIns standIns;
        standIns.answerFromData("transcript.txt", transcript);
        standIns.answer("script.sh", "cat \"$dir/transcript.txt\"\n"
                                     "while [ ! -e \"$dir/release\" ]; do sleep 0.05; done\nexit 0\n");
        standIns.answer("dpkg.1.code", "1");
        standIns.answer("dpkg.2.out", listingOf("ii  fortune-mod    1:1.99.1-7.3 amd64        fortune\n"));
        LNX2Apt apt;
        QList<int> seen;
        connect(&apt, &LNX2Apt::progress, this, [&](int value) {
            seen << value;
            if (value == 100)
                QFile(standIns.file("release")).open(QIODevice::WriteOnly);
        });
        QJsonObject result;
        QVERIFY(apt.aptExecute(result, request));
        QCOMPARE(withoutRepeats(seen), (QList<int>{0, 1, 30, 60, 100}));
        const QStringList calls = standIns.calls();
        QCOMPARE(calls.size(), 3);
        QVERIFY2(calls[1].startsWith("DEBIAN_FRONTEND=noninteractive script -c ") && calls[1].contains(command),
                 qPrintable(calls[1]));
        QCOMPARE(result.value("action").toInt(), action);
        QCOMPARE(result.value("oldstatus").toString(), "");
        QCOMPARE(result.value("newstatus").toString(), request.value("exec") == 2 ? "" : "ii");
        QVERIFY(!result.contains("filepath"));
        QVERIFY(result.value("times").toDouble() >= 0);
    }

    void executePurgeOfFile()
    {
        StandIns standIns;
        standIns.answer("script.out", "0 upgraded, 0 newly installed, 1 to remove and 0 not upgraded.\r\n");
        standIns.answer("dpkg.1.out", listingOf("ii  foo  1.0  all  x\n"));
        standIns.answer("dpkg.2.out", listingOf("pn  foo  <none>  <none>  (no description available)\n"));
        LNX2Apt apt;
        QJsonObject result;
        QVERIFY(apt.aptExecute(result, {{"package", "/tmp/foo_1.0_all.deb"}, {"exec", 4}}));
        QCOMPARE(standIns.calls()[1], "DEBIAN_FRONTEND=noninteractive script -c apt purge -y 'foo'");
        QCOMPARE(result, (QJsonObject{{"filepath", "/tmp/foo_1.0_all.deb"}, {"package", "foo"}, {"action", 4},
                                      {"times", result.value("times")}, {"oldstatus", "ii"}, {"oldversion", "1.0"},
                                      {"newstatus", "pn"}, {"newversion", "<none>"}}));
    }

    void executeFailure()
    {
        StandIns standIns;
        standIns.answer("script.out", "E: Unable to locate package nosuch\r\n");
        standIns.answer("script.code", "100");
        standIns.answer("dpkg.code", "1");
        LNX2Apt apt;
        QSignalSpy spy(&apt, &LNX2Apt::progress);
        QJsonObject result;
        QVERIFY(!apt.aptExecute(result, {{"package", "nosuch"}}));
        QVERIFY(!values(spy).contains(100));
        QCOMPARE(result.value("errmsg").toString(), "E: Unable to locate package nosuch\r\n");
        QCOMPARE(result.value("newstatus").toString(), "");
    }
};

QTEST_GUILESS_MAIN(TestLNX2Apt)
#include "tst_lnx2apt.moc"
