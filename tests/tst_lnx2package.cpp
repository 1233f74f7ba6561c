#include "lnx2package.h"

#include "standins.h"

#include <QStandardPaths>
#include <QtTest>

namespace {

QByteArray busyPs()
{
    return StandIns::readData("lnx2apt/ps-e.txt") + "   4242 pts/0    00:00:03 dpkg\n";
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

const QString kQuiet = "DEBIAN_FRONTEND=noninteractive ";

} // namespace

class TestLNX2Package : public QObject
{
    Q_OBJECT
private slots:
    void listings()
    {
        StandIns standIns;
        standIns.answerFromData("dpkg.out", "lnx2package/dpkg-l.txt");
        LNX2Package packages;
        QCOMPARE(packages.packages().size(), 49);
        QCOMPARE(packages.brokens().size(), 3);
        QCOMPARE(packages.brokens().last(),
                 (QJsonObject{{"status", "iF"}, {"package", "brokenpkg"}, {"version", "1.0-3"}}));
        QJsonObject versions;
        const QStringList names = packages.installeds(&versions);
        QCOMPARE(names.size(), 46);
        QCOMPARE(names.first(), "adduser");
        QVERIFY(names.contains("libc6:amd64") && !names.contains("halfgone"));
        QCOMPARE(versions.value("libc6:amd64").toObject(), (QJsonObject{{"version", "2.36-9+deb12u14"}}));
        QCOMPARE(versions.size(), 46);
        const QHash<QString, QString> all = packages.packageVersions();
        QCOMPARE(all.size(), 46);
        QCOMPARE(all.value("dpkg"), "1.21.22");
        QCOMPARE(standIns.calls().first(), "dpkg -l --no-pager");
        standIns.answer("dpkg.code", "1");
        QVERIFY(packages.packages().isEmpty());
        QVERIFY(packages.installeds().isEmpty());
    }

    void status_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("installed");
        QTest::newRow("architecture suffix") << "libc6" << true << "ii" << "2.36-9+deb12u14" << true;
        QTest::newRow("first of similar names") << "clang-tools" << true << "ii" << "1:14.0-55.7~deb12u1" << true;
        QTest::newRow("removed") << "halfgone" << true << "rc" << "2.1-1" << false;
        QTest::newRow("unpacked") << "newpkg" << true << "iU" << "0.9-2" << false;
        QTest::newRow("unknown") << "nosuch" << false << "-" << "-" << false;
        QTest::newRow("suffix given") << "libc6:amd64" << false << "-" << "-" << false;
    }
    void status()
    {
        QFETCH(QString, package);
        QFETCH(bool, found);
        QFETCH(QString, status);
        QFETCH(QString, version);
        QFETCH(bool, installed);
        StandIns standIns;
        standIns.answerFromData("dpkg.out", "lnx2package/dpkg-l.txt");
        LNX2Package packages;
        QString resultStatus = "-", resultVersion = "-";
        QCOMPARE(packages.status(package, resultStatus, resultVersion), found);
        QCOMPARE(resultStatus, status);
        QCOMPARE(resultVersion, version);
        QString installedVersion = "-";
        QCOMPARE(packages.installed(package, &installedVersion), installed);
        QCOMPARE(installedVersion, installed ? version : QString("-"));
    }

    void upgrades()
    {
        StandIns standIns;
        standIns.answerFromData("apt.out", "lnx2package/apt-list-upgradeable.txt");
        standIns.answer("apt.err", "\nWARNING: apt does not have a stable CLI interface. Use with caution in scripts.\n\n");
        LNX2Package packages;
        QJsonArray records{QJsonObject{{"package", "kept"}}};
        QVERIFY(packages.upgradables(records));
        QCOMPARE(records.size(), 20);
        QCOMPARE(records[1].toObject(),
                 (QJsonObject{{"package", "appstream"}, {"version", "0.16.1-2+b1"}, {"current", "0.16.1-2"}}));
        for (const QJsonValue &record : records)
            QVERIFY(record.toObject().value("package") != "version-orba" && record.toObject().value("package") != "strange");
        QString current, next;
        QVERIFY(packages.upgradable(current, next, "bash"));
        QCOMPARE(current, "5.2.15-2+b8");
        QCOMPARE(next, "5.2.15-2+b13");
        QVERIFY(packages.upgradable(current, next, "version-orba"));
        QVERIFY(!packages.upgradable(current, next, "strange"));
        const QStringList names = packages.upgradables();
        QCOMPARE(names.size(), 20);
        QCOMPARE(names.last(), "version-orba");
        QCOMPARE(standIns.calls().filter("apt ").last(), "apt list --upgradable");
        QCOMPARE(standIns.calls().filter("apt ").first(), "apt list --upgradeable");
    }

    void upgradesWhileBusy()
    {
        StandIns standIns;
        standIns.answer("ps.out", busyPs());
        LNX2Package packages;
        QJsonArray records;
        QString current = "-", next = "-";
        QVERIFY(!packages.upgradables(records));
        QVERIFY(!packages.upgradable(current, next, "bash"));
        QVERIFY(records.isEmpty() && current == "-" && next == "-");
        QCOMPARE(standIns.calls(), (QStringList{"ps -e", "ps -e"}));
    }

    // Each try fails with the given error text ("" succeeds).
    void purge_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<bool>("purged");
        QTest::newRow("at once") << "sysmon" << QStringList{""} << true;
        QTest::newRow("post-removal then success")
            << "sysmon" << QStringList{"purge-post-removal.err", ""} << true;
        QTest::newRow("post-removal keeps failing") << "sysmon" << QStringList(QVector<QString>(5, "purge-post-removal.err").toList()) << false;
        QTest::newRow("other errors") << "sysmon" << QStringList{"purge-locked.err", "purge-pre-removal.err", ""}
                                      << true;
        QTest::newRow("blank in name") << "sysmon /" << QStringList{} << false;
        QTest::newRow("path as name") << "../../x" << QStringList{} << false;
    }
    void purge()
    {
        QFETCH(QString, package);
        QFETCH(QStringList, errors);
        QFETCH(bool, purged);
        StandIns standIns;
        QStringList expected;
        for (int i = 0; i < errors.size(); ++i) {
            expected << "dpkg -P " + package;
            if (errors[i].isEmpty())
                continue;
            standIns.answerFromData(QString("dpkg.%1.err").arg(i + 1), "lnx2apt/" + errors[i]);
            standIns.answer(QString("dpkg.%1.code").arg(i + 1), "1");
            if (errors[i].contains("post-removal"))
                expected << "rm -rf @/var/lib/dpkg/info/" + package + ".postrm";
        }
        LNX2Package packages;
        QCOMPARE(packages.purge(package), purged);
        QCOMPARE(standIns.calls(), expected);
    }

    // Broken packages that stay broken are reinstalled once, not for ever.
    void stepRepair()
    {
        StandIns standIns;
        standIns.answerFromData("dpkg.out", "lnx2package/dpkg-l.txt");
        standIns.answer("apt.2.code", "100");
        LNX2Package packages;
        packages.stepRepair();
        const QStringList calls = standIns.calls();
        QCOMPARE(calls.filter("apt reinstall").size(), 3);
        QCOMPARE(calls.filter("dpkg -l").size(), 2);
        QVERIFY(calls[1].startsWith(kQuiet + "apt reinstall --fix-missing --allow-unauthenticated "
                                              "-o Dpkg::Options::=--force-confmiss -y halfgone"));
        standIns.answer("dpkg.out", "");
        packages.stepRepair();
        QCOMPARE(standIns.calls().size(), calls.size() + 1);
    }

    void repairWhileBusy()
    {
        StandIns standIns;
        standIns.answer("ps.out", busyPs());
        QVERIFY(!LNX2Package().repairAll(true));
        QCOMPARE(standIns.calls(), (QStringList{"ps -e", "ps -e"}));
    }

    void repairWithoutTimeServer()
    {
        StandIns standIns;
        standIns.answer("ntpdate.code", "1");
        standIns.makeFile("/etc/apt/sources.list", "deb http://deb.debian.org/debian bookworm main\n");
        standIns.makeFile("/var/cache/apt/archives/a_1_all.deb");
        QVERIFY(!LNX2Package().repairAll(false));
        QCOMPARE(standIns.calls(), (QStringList{"ps -e", "ps -e", "rm -f @/var/lib/dpkg/lock-frontend",
                                                "rm -f @/var/lib/dpkg/lock",
                                                "rm -f @/var/cache/apt/archives/a_1_all.deb",
                                                "ntpdate pool.ntp.org"}));
        QCOMPARE(readFile(standIns.inRoot("/etc/apt/sources.list")),
                 QByteArray("deb http://deb.debian.org/debian bookworm main\n"));
        QVERIFY(!QFile::exists(standIns.inRoot("/etc/apt/sources.list.~aptdaemon~")));
    }

    // The first apt update sees an empty source list; afterwards the list (or
    // a backup left by an interrupted run) is back in place.
    void repair_data()
    {
        QTest::addColumn<QByteArray>("backup");
        QTest::addColumn<QByteArray>("restored");
        QTest::newRow("fresh") << QByteArray() << QByteArray("deb current main\n");
        QTest::newRow("backup left behind") << QByteArray("deb earlier main\n") << QByteArray("deb earlier main\n");
    }
    void repair()
    {
        QFETCH(QByteArray, backup);
        QFETCH(QByteArray, restored);
        StandIns standIns;
        standIns.makeFile("/etc/apt/sources.list", "deb current main\n");
        if (!backup.isEmpty())
            standIns.makeFile("/etc/apt/sources.list.~aptdaemon~", backup);
        standIns.answer("apt.1.sh", "cp \"$LNX2_SYSROOT/etc/apt/sources.list\" \"$dir/seen.list\"\n");
        standIns.answer("dpkg.out", "+++-====\nii  ok  1  all  x\nrc  gone  2  all  y\n");
        QVERIFY(LNX2Package().repairAll(false));
        QCOMPARE(readFile(standIns.file("seen.list")), backup.isEmpty() ? QByteArray() : QByteArray("deb current main\n"));
        QCOMPARE(readFile(standIns.inRoot("/etc/apt/sources.list")), restored);
        QVERIFY(!QFile::exists(standIns.inRoot("/etc/apt/sources.list.~aptdaemon~")));
        const QStringList expected{
            "ps -e", "ps -e",
            "rm -f @/var/lib/dpkg/lock-frontend", "rm -f @/var/lib/dpkg/lock",
            "ntpdate pool.ntp.org", "hwclock ",
            "apt update -y", "apt update -y",
            "dpkg -l --no-pager", "dpkg -P gone",
            "dpkg -l --no-pager",
            kQuiet + "apt reinstall --fix-missing --allow-unauthenticated -o Dpkg::Options::=--force-confmiss -y gone",
            "dpkg -l --no-pager",
            kQuiet + "dpkg --configure -a", kQuiet + "apt autoremove -y", kQuiet + "apt clean -y",
            kQuiet + "apt update -y", kQuiet + "apt --fix-broken -y install",
            kQuiet + "apt --fix-broken -o Dpkg::Options::=--force-confmiss -y install"};
        QCOMPARE(standIns.calls(), expected);
    }

    void repairWithoutPackageLists()
    {
        StandIns standIns;
        standIns.answer("apt.code", "100");
        QVERIFY(LNX2Package().repairAll(false));
        QCOMPARE(standIns.calls().last(), "apt update -y");
    }

    // Read-only: the machine's own package database.
    void realSystem()
    {
        if (QStandardPaths::findExecutable("dpkg").isEmpty())
            QSKIP("no dpkg on this machine");
        LNX2Package packages;
        QVERIFY(!packages.packages().isEmpty());
        QString status, version;
        QVERIFY(packages.status("libc6", status, version));
        QCOMPARE(status, "ii");
        QVERIFY(!version.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLNX2Package)
#include "tst_lnx2package.moc"
