#include "lnx2utils.h"
#include "testfiles.h"

#include <QFile>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QJsonObject entryOf(const QJsonArray &processes, qint64 pid)
{
    for (const QJsonValue &process : processes) {
        if (process.toObject().value("pid").toInt() == pid)
            return process.toObject();
    }
    return QJsonObject();
}

} // namespace

class TestLnx2UtilsProcess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        // A stand-in privilege helper that records that it ran, then runs the rest.
        QVERIFY(writeScript(m_tmp.path(), "sudo", "echo \"$@\" >> \"$(dirname \"$0\")/sudo.log\"\nexec \"$@\"\n"));
        qputenv("PATH", m_tmp.path().toLocal8Bit() + ':' + qgetenv("PATH"));
    }

    void linuxCmdExec_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<bool>("asRoot");
        QTest::addColumn<int>("result");
        QTest::newRow("exit code") << QStringList{"sh", "-c", "exit 3"} << false << 3;
        QTest::newRow("as root") << QStringList{"sh", "-c", "exit 4"} << true << 4;
        QTest::newRow("crash") << QStringList{"sh", "-c", "kill -KILL $$"} << false << -1;
        QTest::newRow("missing") << QStringList{"no-such-program-zx2"} << false << -2;
    }
    void linuxCmdExec()
    {
        QFETCH(QStringList, command);
        QFETCH(bool, asRoot);
        QFETCH(int, result);
        QFile::remove(m_tmp.filePath("sudo.log"));
        QCOMPARE(::linuxCmdExec(command, asRoot), result);
        QCOMPARE(QFileInfo::exists(m_tmp.filePath("sudo.log")), asRoot);
    }

    void linuxCmdStart()
    {
        QProcess process;
        ::linuxCmdStart(process, {"cat"}, true);
        QVERIFY(process.waitForStarted());
        process.write("through\n");
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.readAllStandardOutput(), QByteArray("through\n"));
    }

    void findProcess()
    {
        const QString sleepPath = QStandardPaths::findExecutable("sleep");
        QProcess sleeper;
        sleeper.start(sleepPath, {"31.4159"});
        QVERIFY(sleeper.waitForStarted());
        const qint64 pid = sleeper.processId();
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));

        QJsonObject entry = entryOf(::findProcess("sleep"), pid);
        QCOMPARE(entry.value("cmdargs").toArray(), (QJsonArray{sleepPath, "31.4159"}));
        QCOMPARE(entry.value("cmdline").toString(), sleepPath + " 31.4159");
        QVERIFY(!entryOf(::findProcess(exe), pid).isEmpty());
        // A path names the executable, never the command name.
        QVERIFY(entryOf(::findProcess("/sleep"), pid).isEmpty());
        QVERIFY(entryOf(::findProcess("31.4159"), pid).isEmpty());

        QVERIFY(!entryOf(::findProcessWith("31.4159"), pid).isEmpty());
        QVERIFY(!entryOf(::findProcessWith("sleep"), pid).isEmpty());
        QVERIFY(!entryOf(::findProcessWith(sleepPath), pid).isEmpty());
        QVERIFY(entryOf(::findProcessWith("31"), pid).isEmpty());

        sleeper.kill();
        sleeper.waitForFinished();
        QVERIFY(entryOf(::findProcess("sleep"), pid).isEmpty());
    }

    // The calling process is listed once, under its own pid.
    void findsItselfOnce()
    {
        QFile comm("/proc/self/comm");
        QVERIFY(comm.open(QIODevice::ReadOnly));
        const QString name = QString::fromLatin1(comm.readAll()).trimmed();
        for (const QJsonArray &found : {::findProcess(name), ::findProcessWith(name)}) {
            QList<qint64> pids;
            for (const QJsonValue &process : found)
                pids << process.toObject().value("pid").toInt();
            QCOMPARE(pids.count(QCoreApplication::applicationPid()), 1);
            QVERIFY(!pids.contains(0));
        }
    }
};

QTEST_GUILESS_MAIN(TestLnx2UtilsProcess)
#include "tst_lnx2utils_process.moc"
