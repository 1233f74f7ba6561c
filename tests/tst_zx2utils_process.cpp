#include "testfiles.h"
#include "zx2error.h"
#include "zx2utils.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Running means present in /proc and not a zombie.
bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) != "Z";
}

} // namespace

class TestZX2UtilsProcess : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString path(const QString &name) const { return m_tmp.filePath(name); }
    QByteArray readFile(const QString &name)
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        // A stand-in privilege helper that runs its arguments as they are.
        QVERIFY(writeScript(path("bin"), "sudo", "exec \"$@\"\n"));
        qputenv("PATH", path("bin").toLocal8Bit() + ':' + qgetenv("PATH"));
    }

    void cmdExec_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("output");
        QTest::newRow("success gives stdout")
            << "sh -c \"echo out; echo err >&2\"" << true << "out\n";
        QTest::newRow("exit 1 gives stderr")
            << "sh -c \"echo out; echo failed >&2; exit 1\"" << false << "failed\n";
        QTest::newRow("missing program") << "no-such-program-zx2 arg" << false << "";
        QTest::newRow("crash") << "sh -c \"echo dying >&2; kill -KILL $$\"" << false << "dying\n";
        QTest::newRow("no shell syntax") << "echo a | tr a b" << true << "a | tr a b\n";
        QTest::newRow("up to zero byte") << "printf \"ab\\000cd\"" << true << "ab";
        QTest::newRow("stdin is empty") << "cat" << true << "";
    }
    void cmdExec()
    {
        QFETCH(QString, command);
        QFETCH(bool, ok);
        QFETCH(QString, output);
        QString captured = "stale";
        QCOMPARE(::cmdExec(command, captured, 10000), ok);
        QCOMPARE(captured, output);
    }

    void timeLimitKillsTheChildAndWhatItStarted()
    {
        const QString command = QStringLiteral(
            "sh -c \"echo $$ > %1; sleep 30 & echo $! > %2; echo partial >&2; wait\"")
                                    .arg(path("shell.pid"), path("sleep.pid"));
        QString output;
        QVERIFY(!::cmdExec(command, output, 500));
        QCOMPARE(output, QStringLiteral("partial\n"));
        const qint64 shell = readFile("shell.pid").toLongLong();
        const qint64 sleeper = readFile("sleep.pid").toLongLong();
        QVERIFY(shell > 0 && sleeper > 0);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(shell)));
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(sleeper), 10000);
    }

    void runProcess_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("finishMs");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<QByteArray>("standardOutput");
        QTest::addColumn<QByteArray>("standardError");
        QTest::newRow("separate") << int(QProcess::SeparateChannels) << -1 << true
                                  << QByteArray("out\n") << QByteArray("err\n");
        QTest::newRow("merged") << int(QProcess::MergedChannels) << -1 << true
                                << QByteArray("out\nerr\n") << QByteArray();
        QTest::newRow("finish limit keeps what was written")
            << int(QProcess::SeparateChannels) << 300 << false << QByteArray("out\n")
            << QByteArray("err\n");
    }
    void runProcess()
    {
        QFETCH(int, channels);
        QFETCH(int, finishMs);
        QFETCH(bool, finished);
        QFETCH(QByteArray, standardOutput);
        QFETCH(QByteArray, standardError);
        ProcessRequest request;
        request.program = "sh";
        request.arguments = QStringList{"-c", "echo out; echo err >&2; [ $0 = sh ] || sleep 30",
                                        finished ? "sh" : "wait"};
        request.channels = QProcess::ProcessChannelMode(channels);
        request.finishMs = finishMs;
        const ProcessRun run = ::runProcess(request);
        QVERIFY(run.started);
        QCOMPARE(run.finished, finished);
        QCOMPARE(run.succeeded(), finished);
        QCOMPARE(run.standardOutput, standardOutput);
        QCOMPARE(run.standardError, standardError);
    }

    void environmentExtendsVariables()
    {
        qputenv("ZX2_TEST_LIST", "/a::/b");
        qunsetenv("ZX2_TEST_NEW");
        QString output;
        QVERIFY(::cmdExec({{"ZX2_TEST_LIST", "/c"}, {"ZX2_TEST_NEW", "x:y"}},
                          "sh -c \"echo $ZX2_TEST_LIST $ZX2_TEST_NEW\"", output, 10000));
        QCOMPARE(output, QStringLiteral("/a:/b:/c x:y\n"));
    }

    void environmentPathFindsPrograms()
    {
        QVERIFY(writeScript(path("extra"), "zx2-extra-tool", "echo found \"$@\"\n"));
        QString output;
        QVERIFY(!::cmdExec("zx2-extra-tool x", output, 10000));
        QVERIFY(::cmdExec({{"PATH", path("extra")}}, "zx2-extra-tool x", output, 10000));
        QCOMPARE(output, QStringLiteral("found x\n"));
    }

    void cmdsExec_data()
    {
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<bool>("lastRan");
        QTest::addColumn<int>("limit");
        const QString marker = path("batch.marker");
        const QString touch = "touch " + marker;
        QTest::newRow("all succeed") << QStringList{"true", " ", touch} << true << QStringList()
                                     << true << 10000;
        QTest::newRow("second fails")
            << QStringList{"true", "sh -c \"echo broken >&2; exit 4\"", touch} << true
            << QStringList{"broken\n"} << false << 10000;
        QTest::newRow("first fails") << QStringList{"false", touch} << false << QStringList{""}
                                     << false << 10000;
        QTest::newRow("only blanks") << QStringList{"", "  "} << false << QStringList() << false
                                     << 10000;
        QTest::newRow("limit covers the batch")
            << QStringList{"sleep 0.6", "sleep 0.6", touch} << true << QStringList{""} << false
            << 1000;
    }
    void cmdsExec()
    {
        QFETCH(QStringList, commands);
        QFETCH(bool, ok);
        QFETCH(QStringList, errors);
        QFETCH(bool, lastRan);
        QFETCH(int, limit);
        QFile::remove(path("batch.marker"));
        QJsonArray reported{"earlier"};
        QCOMPARE(::cmdsExec(commands, reported, limit), ok);
        QJsonArray expected{"earlier"};
        for (const QString &error : errors)
            expected.append(error);
        QCOMPARE(reported, expected);
        QCOMPARE(QFileInfo::exists(path("batch.marker")), lastRan);
    }

    void cmdExecute_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("limit");
        QTest::newRow("arguments unsplit") << QStringList{"printf", "%s|", "a b"} << 0 << "a b|"
                                           << 10000;
        QTest::newRow("exit code and stderr")
            << QStringList{"sh", "-c", "echo out; echo err >&2; exit 3"} << 3 << "err\n" << 10000;
        QTest::newRow("crash") << QStringList{"sh", "-c", "kill -KILL $$"}
                               << int(ZX2Error::ERR_TIMEOUT) << "unchanged" << 10000;
        QTest::newRow("missing") << QStringList{"no-such-program-zx2"}
                                 << int(ZX2Error::ERR_TIMEOUT) << "unchanged" << 10000;
        QTest::newRow("too slow") << QStringList{"sleep", "5"} << int(ZX2Error::ERR_TIMEOUT)
                                  << "unchanged" << 300;
    }
    void cmdExecute()
    {
        QFETCH(QStringList, command);
        QFETCH(int, result);
        QFETCH(QString, output);
        QFETCH(int, limit);
        QString captured = "unchanged";
        QCOMPARE(::cmdExecute(captured, command, limit), result);
        QCOMPARE(captured, output);
    }

    void execBashRunsAShellThroughSudo()
    {
        QString output;
        QVERIFY(::execBash("echo $((1+2)) | tr 3 x", output, 10000));
        QCOMPARE(output, QStringLiteral("x\n"));
        QVERIFY(!::execBash("exit 7", 10000));
    }

    void exeCommand_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("limited success") << "sh -c \"echo out; echo err >&2\"" << 5000 << 0
                                         << QByteArray("out\n");
        QTest::newRow("limited failure") << "sh -c \"echo err >&2; exit 2\"" << 5000 << 2
                                         << QByteArray("err\n");
        QTest::newRow("limited timeout") << "sleep 5" << 300 << 62 << QByteArray("unchanged");
        QTest::newRow("unlimited success") << "echo done" << 0 << 0 << QByteArray("done\n");
        QTest::newRow("unlimited failure") << "sh -c \"echo bad >&2; exit 5\"" << 0 << 5
                                           << QByteArray("bad\n");
        QTest::newRow("unlimited crash") << "sh -c \"echo x >&2; kill -KILL $$\"" << 0 << -1
                                         << QByteArray("x\n");
        QTest::newRow("unlimited missing") << "no-such-program-zx2" << 0 << -2
                                           << QByteArray("unchanged");
    }
    void exeCommand()
    {
        QFETCH(QString, command);
        QFETCH(int, timeoutMs);
        QFETCH(int, result);
        QFETCH(QByteArray, output);
        QByteArray captured("unchanged");
        QCOMPARE(::exeCommand(command, timeoutMs, &captured), result);
        QCOMPARE(captured, output);
    }

    void exeCommandDetached()
    {
        const QString marker = path("detached.marker");
        QCOMPARE(::exeCommand("touch " + marker, -1), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 10000);
        QCOMPARE(::exeCommand("no-such-program-zx2", -1), 62);
    }

    void processCommand_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line");
        QTest::newRow("blank") << QStringList{"a b"} << "ls 'a b'";
        QTest::newRow("blank and quote") << QStringList{"it's x"} << "ls \"it's x\"";
        QTest::newRow("both quotes") << QStringList{"'a\" b"} << "ls 'a\" b";
    }
    void processCommand()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);
        QProcess process;
        process.setProgram("ls");
        process.setArguments(arguments);
        QCOMPARE(PROCESS_COMMAND(process), line);
    }

    void shellEscaping_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("word");
        QTest::newRow("quote") << "it's" << "'it'\\''s'";
        QTest::newRow("empty") << "" << "''";
        QTest::newRow("shell syntax") << "$(echo x) `y` \"z\" \\ ;|" << "'$(echo x) `y` \"z\" \\ ;|'";
    }
    void shellEscaping()
    {
        QFETCH(QString, argument);
        QFETCH(QString, word);
        QCOMPARE(toShellArgEscaped(argument), word);
        // The shell must hand the argument back untouched.
        QString output;
        QVERIFY(::cmdExecute(output, {"sh", "-c", "printf %s " + word}, 10000) == 0);
        QCOMPARE(output, argument);
    }

    void cmdOutputs_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("crlf and tab") << QByteArray("a\r\n\nb\tc") << QStringList{"a", "b c"};
        QTest::newRow("zero byte") << QByteArray("a\nb\0c\nd", 7) << QStringList{"a", "b"};
    }
    void cmdOutputs()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(::cmdOutputs(bytes), lines);
    }

    void cmdArguments_data()
    {
        using Pairs = QHash<QString, QString>;
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Pairs>("pairs");
        QTest::newRow("pairs") << QStringList{"-f", "a", "-v", "x", "-q"}
                               << Pairs{{"-f", "a"}, {"-v", "x"}, {"-q", ""}};
        QTest::newRow("stray values, repeated key") << QStringList{"x", "-a", "1", "y", "-a", "2"}
                                                    << Pairs{{"-a", "2"}};
    }
    void cmdArguments()
    {
        using Pairs = QHash<QString, QString>;
        QFETCH(QStringList, arguments);
        QFETCH(Pairs, pairs);
        QCOMPARE(::cmdArguments(arguments), pairs);
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsProcess)
#include "tst_zx2utils_process.moc"
