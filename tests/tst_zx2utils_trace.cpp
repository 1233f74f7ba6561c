#include "zx2utils.h"

#include "stdoutcapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPoint>
#include <QRect>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryFile>
#include <QtTest>

#include <sys/stat.h>

#include <cstdio>
#include <thread>
#include <typeinfo>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QString stamp = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");

QJsonObject sampleObject()
{
    return QJsonObject{{"a", 1}, {"b", QJsonArray{"x"}}};
}

QByteArray indented(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

// Runs f with standard output on a pseudo-terminal (raw, so line feeds stay
// as written) and returns what it wrote.
template <typename F>
QByteArray capturedOnTerminal(F f)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return QByteArray("<no pseudo-terminal>");
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    termios mode{};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(slave);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QByteArray out;
    char chunk[4096];
    for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
        out.append(chunk, int(n));
    ::close(master);
    return out;
}

} // namespace

class TestZX2UtilsTrace : public QObject
{
    Q_OBJECT
private slots:
    void position_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("bare") << QByteArray("appdata.cpp");
        QTest::newRow("relative") << QByteArray("../service/appdata.cpp");
        QTest::newRow("absolute") << QByteArray("/work/main/service/appdata.cpp");
        QTest::newRow("backslashes") << QByteArray("C:\\src\\appdata.cpp");
        QTest::newRow("mixed") << QByteArray("src\\service/x\\appdata.cpp");
    }
    void position()
    {
        QFETCH(QByteArray, file);
        const QByteArray out = captured([&] { PRINTPOS(file.constData(), 115, "start"); });
        QVERIFY2(QRegularExpression("^>>-->" + stamp + "appdata\\.cpp#115 => start: $")
                     .match(QString::fromLocal8Bit(out)).hasMatch(), out.constData());
    }

    void name_data()
    {
        QTest::addColumn<QVariant>("name");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("text") << QVariant("x.y()") << QByteArray("x.y() = ");
        QTest::newRow("empty") << QVariant(QString()) << QByteArray("~~ ~~ ~~");
        QTest::newRow("invalid") << QVariant() << QByteArray("~~ ~~ ~~");
    }
    void name()
    {
        QFETCH(QVariant, name);
        QFETCH(QByteArray, expected);
        QCOMPARE(captured([&] { PRINTNAME(name); }), expected);
    }

    void rendering_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("json number") << QVariant(QJsonValue(5)) << QString();
        QTest::newRow("json bool") << QVariant(QJsonValue(true)) << QString();
        QTest::newRow("json string") << QVariant(QJsonValue("s")) << "s";
        QTest::newRow("json value object") << QVariant(QJsonValue(sampleObject()))
                                           << QString::fromUtf8(indented(sampleObject()));
        QTest::newRow("json value array") << QVariant(QJsonValue(QJsonArray{1, 2}))
                                          << QString::fromUtf8(QJsonDocument(QJsonArray{1, 2}).toJson());
        QTest::newRow("json object") << QVariant(sampleObject())
                                     << QString::fromUtf8(indented(sampleObject()));
        QTest::newRow("json array") << QVariant(QJsonArray{"q"})
                                    << QString::fromUtf8(QJsonDocument(QJsonArray{"q"}).toJson());
        QTest::newRow("string list") << QVariant(QStringList{"a", "b c"}) << "QStringList(a; b c)";
        QTest::newRow("rect") << QVariant(QRect(1, 2, 30, 40)) << "QRect(1, 2, 30, 40)";
        QTest::newRow("size") << QVariant(QSize(7, -8)) << "QSize(7, -8)";
        QTest::newRow("point") << QVariant(QPoint(-1, 9)) << "QPoint(-1, 9)";
        QTest::newRow("bytes up to zero") << QVariant(QByteArray("ab\0cd", 5)) << "ab";
        QTest::newRow("latin1 bytes") << QVariant(QByteArray("\xe9t\xe9")) << QString::fromLatin1("\xe9t\xe9");
        QTest::newRow("bool") << QVariant(false) << "false";
        QTest::newRow("int") << QVariant(-42) << "-42";
        QTest::newRow("string") << QVariant(QString::fromUtf8("端口 8080")) << QString::fromUtf8("端口 8080");
        QTest::newRow("no string conversion") << QVariant(QList<QVariant>{1}) << QString();
    }
    void rendering()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, expected);
        QCOMPARE(toPrintString(value), expected);
        QCOMPARE(captured([&] { PRINT(value); }), expected.toLocal8Bit());
        QCOMPARE(captured([&] { PRINTLN(value); }), (expected + '\n').toLocal8Bit());
    }

    void lists()
    {
        QCOMPARE(captured([] { PRINTLN(QList<int>{1, 2, 3}); }), QByteArray("int(1,2,3)\n"));
        QCOMPARE(captured([] { PRINTLN(QList<int>()); }), QByteArray("int()\n"));
        QCOMPARE(captured([] { PRINTLN(QStringList{"a", "b"}); }), QByteArray("a; b\n"));
        const QByteArray objects = captured([] { PRINTLN(QList<QJsonObject>{sampleObject(), {}}); });
        QCOMPARE(objects, QJsonDocument(QJsonArray{sampleObject(), QJsonObject()}).toJson() + '\n');
        QVERIFY(captured([] { PRINTLN(sampleObject()); }).endsWith("}\n\n"));
    }

    // Colours only on a terminal; a journal or a pipe gets the plain tag.
    void statusLines_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QByteArray>("coloured");
        QTest::addColumn<QByteArray>("plain");
        const QByteArray head = "\x1b[1m\x1b[30m[";
        const QByteArray close = "\x1b[1m\x1b[30m] ";
        const QByteArray tail = "msg\x1b[0m\n";
        QTest::newRow("0") << 0 << head + "\x1b[1m\x1b[32mSUCCEED" + close + "\x1b[0m" + tail
                           << QByteArray("[SUCCEED] msg\n");
        QTest::newRow("1") << 1 << head + "\x1b[1m\x1b[37mIGNORE " + close + "\x1b[0m" + tail
                           << QByteArray("[IGNORE ] msg\n");
        QTest::newRow("2") << 2 << head + "\x1b[1m\x1b[33mWARNING" + close + "\x1b[33m" + tail
                           << QByteArray("[WARNING] msg\n");
        QTest::newRow("3") << 3 << head + "\x1b[1m\x1b[35mNOT CFG" + close + "\x1b[1m\x1b[30m" + tail
                           << QByteArray("[NOT CFG] msg\n");
        QTest::newRow("4") << 4 << head + "\x1b[1m\x1b[31mFAILED " + close + "\x1b[0m" + tail
                           << QByteArray("[FAILED ] msg\n");
        QTest::newRow("5") << 5 << head + "\x1b[35mOTHERS " + close + "\x1b[0m" + tail
                           << QByteArray("[OTHERS ] msg\n");
        QTest::newRow("-1") << -1 << head + "\x1b[35mOTHERS " + close + "\x1b[0m" + tail
                            << QByteArray("[OTHERS ] msg\n");
    }
    void statusLines()
    {
        QFETCH(int, state);
        QFETCH(QByteArray, coloured);
        QFETCH(QByteArray, plain);
        QCOMPARE(capturedOnTerminal([&] { ZX2StatePrintln(state, "msg"); }), coloured);
        QCOMPARE(captured([&] { ZX2StatePrintln(state, "msg"); }), plain);
        // Into the journal, with the priority it files the line under.
        const QByteArray journal = captured([&] {
            struct stat info{};
            ::fstat(STDOUT_FILENO, &info);
            qputenv("JOURNAL_STREAM", QByteArray::number(quint64(info.st_dev)) + ':' + QByteArray::number(quint64(info.st_ino)));
            ZX2StatePrintln(state, "msg");
        });
        qputenv("JOURNAL_STREAM", "8:1234"); // another stream: plain
        QCOMPARE(captured([&] { ZX2StatePrintln(state, "msg"); }), plain);
        qunsetenv("JOURNAL_STREAM");
        const QByteArray priority = state == 4 ? "<3>" : state == 2 ? "<4>" : state == 3 ? "<5>" : "<6>";
        QCOMPARE(journal, priority + plain);
    }

    void timedLines()
    {
        const QString traced = QString::fromLocal8Bit(captured([] { TRACELN(1); TRACELN("b"); }));
        QVERIFY2(QRegularExpression("^" + stamp + "1" + stamp + "b$").match(traced).hasMatch(),
                 qPrintable(traced));
        const QString withTime = QString::fromLocal8Bit(captured([] { PRINTLN_WITHTIME(true); }));
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d true\\n$")
                     .match(withTime).hasMatch(), qPrintable(withTime));
    }

    void timedPosition_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<QByteArray>("function");
        QTest::addColumn<QString>("place");
        QTest::newRow("bare") << 0 << QByteArray() << "f.cpp";
        QTest::newRow("line") << 12 << QByteArray() << "f.cpp#12";
        QTest::newRow("line and function") << 12 << QByteArray("run") << "f.cpp#12=>run";
        QTest::newRow("function") << -3 << QByteArray("run") << "f.cpp=>run";
    }
    void timedPosition()
    {
        QFETCH(int, line);
        QFETCH(QByteArray, function);
        QFETCH(QString, place);
        const QString out = QString::fromLocal8Bit(captured([&] {
            PRINTLN_WITHTIMEPOS(QVariant("v"), "/a/b/f.cpp", line, function.constData());
        }));
        QCOMPARE(out.mid(13), place + ": v\n");
        QVERIFY(QRegularExpression("^" + stamp).match(out).hasMatch());
    }

    void pretty_data()
    {
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("expected");
        QTest::newRow("method") << QByteArray("void KMReverseproxy::mapTo(ZX2Journals&) const") << 12
                                << "KMReverseproxy::mapTo#12";
        QTest::newRow("no line") << QByteArray("bool AppData::start()") << 0 << "AppData::start";
        QTest::newRow("no return type") << QByteArray("AppData::AppData(int)") << 3 << "AppData::AppData#3";
        QTest::newRow("plain name") << QByteArray("main") << 0 << "main";
    }
    void pretty()
    {
        QFETCH(QByteArray, signature);
        QFETCH(int, line);
        QFETCH(QString, expected);
        QCOMPARE(PRETTY(signature.constData(), line), expected);
    }

    void classNames()
    {
        QCOMPARE(QByteArray(MyClassName("7AppData")), QByteArray("AppData"));
        QCOMPARE(QByteArray(MyClassName("14KMReverseproxy")), QByteArray("KMReverseproxy"));
        QCOMPARE(QByteArray(MyClassName(typeid(TestZX2UtilsTrace).name())), QByteArray("TestZX2UtilsTrace"));
        QCOMPARE(QByteArray(MyClassName("")), QByteArray(""));
    }

    void clocks()
    {
        bool isNumber = false;
        currentThreadId().toULongLong(&isNumber);
        QVERIFY(isNumber);
        QString other;
        std::thread worker([&] { other = currentThreadId(); });
        worker.join();
        QVERIFY(!other.isEmpty() && other != currentThreadId());
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const qint64 seconds = cpuElapsedSeconds();
        QVERIFY(seconds >= before && seconds <= QDateTime::currentSecsSinceEpoch());
    }

    void traceRecord()
    {
        const int answer = 42;
        const QString out = QString::fromLocal8Bit(captured([&] { PRINTVAR(answer + 1); }));
        QVERIFY2(QRegularExpression("^>>-->" + stamp + "tst_zx2utils_trace\\.cpp#\\d+ => operator\\(\\): "
                                    "answer \\+ 1 = 43\\n$").match(out).hasMatch(), qPrintable(out));
        const QString empty = QString::fromLocal8Bit(captured([] { PRINTVAR(); }));
        QVERIFY2(empty.endsWith(": ~~ ~~ ~~\n"), qPrintable(empty));
        const QString list = QString::fromLocal8Bit(captured([] { PRINTVAR(QList<int>{4, 5}); }));
        QVERIFY2(list.endsWith(": QList<int>{4, 5} = int(4,5)\n"), qPrintable(list));
    }

    // Whole records of concurrent PRINTVAR uses never mix.
    void concurrentRecords()
    {
        const int threads = 8, perThread = 200;
        const QByteArray out = captured([&] {
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t)
                workers.emplace_back([t] {
                    for (int i = 0; i < perThread; ++i)
                        PRINTVAR(QString("%1-%2").arg(t).arg(i));
                });
            for (std::thread &w : workers)
                w.join();
        });
        const QList<QByteArray> lines = out.split('\n');
        QCOMPARE(lines.size(), threads * perThread + 1);
        const QRegularExpression record("^>>-->" + stamp + ".*: QString\\(\"%1-%2\"\\)\\.arg\\(t\\)\\.arg\\(i\\) = \\d+-\\d+$");
        for (int i = 0; i < lines.size() - 1; ++i)
            QVERIFY2(record.match(QString::fromLocal8Bit(lines[i])).hasMatch(), lines[i].constData());
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsTrace)
#include "tst_zx2utils_trace.moc"
