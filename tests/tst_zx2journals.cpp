#include "zx2journals.h"

#include <QtTest>

class TestZX2Journals : public QObject
{
    Q_OBJECT
private slots:
    void freshJournalReportsFailure()
    {
        ZX2Journals journal;
        QJsonObject ret;
        journal.toRetObject(ret, true);
        QCOMPARE(ret.value("err").toInt(), 9999);
        QVERIFY(!ret.contains("errmsg"));
        QVERIFY(ret.value("elapsed").toDouble() >= 0);
        QVERIFY(!ret.contains("journals"));
    }

    void toRetObject_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("details");
        QTest::addColumn<bool>("withSegment");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("errmsg");
        const QString earlier = QStringLiteral("earlier");
        QTest::newRow("succeed hides message") << 0 << "m" << true << false
                                               << QStringList{"elapsed", "err", "errmsg", "results"} << earlier;
        QTest::newRow("success hides message") << 10000 << "m" << false << false
                                               << QStringList{"err", "errmsg", "results"} << earlier;
        QTest::newRow("failure with message") << 9995 << "bad" << false << false
                                              << QStringList{"err", "errmsg", "results"} << "bad";
        QTest::newRow("failure without message") << 9995 << "" << false << false
                                                 << QStringList{"err", "errmsg", "results"} << earlier;
        QTest::newRow("details with segments") << 9995 << "bad" << true << true
                                               << QStringList{"elapsed", "err", "errmsg", "journals", "results"}
                                               << "bad";
        QTest::newRow("segments hidden without details") << 0 << "" << false << true
                                                         << QStringList{"err", "errmsg", "results"} << earlier;
    }
    void toRetObject()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, details);
        QFETCH(bool, withSegment);
        QFETCH(QStringList, keys);
        QFETCH(QString, errmsg);
        ZX2Journals journal;
        journal.setErr(code, message);
        if (withSegment)
            journal.add(QJsonObject{{"k", 1}});
        QJsonObject ret{{"err", 1}, {"errmsg", "earlier"}, {"results", QJsonArray{1}}};
        journal.toRetObject(&ret, details);
        QCOMPARE(ret.keys(), keys);
        QCOMPARE(ret.value("err").toInt(), code);
        QCOMPARE(ret.value("errmsg").toString(), errmsg);
        QCOMPARE(ret.value("results").toArray(), QJsonArray{1});
        if (withSegment && details)
            QCOMPARE(ret.value("journals").toArray(), journal.segments());
        journal.toRetObject(nullptr, true);
    }

    void toObjectKeys_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("keys");
        QTest::newRow("failure") << 9993 << "m" << QStringList{"elapsed", "err", "errmsg", "journals"};
        QTest::newRow("success") << 10000 << "m" << QStringList{"elapsed", "err", "journals"};
    }
    void toObjectKeys()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QStringList, keys);
        ZX2Journals journal;
        journal.setErr(code, message);
        journal.add(QJsonArray{1, 2});
        const qint64 times = journal.end();
        const QJsonObject object = journal.toObject();
        QCOMPARE(object.keys(), keys);
        QCOMPARE(qint64(object.value("elapsed").toDouble()), times);
        QCOMPARE(object.value("journals").toArray().size(), 1);
    }

    void setErrDisplayText_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("text");
        QTest::newRow("named with message") << 9995 << "m" << "[ERR_PARAMS]m";
        QTest::newRow("named without message") << 0 << "" << "[ERR_SUCCEED]";
        QTest::newRow("no enumerator") << 9862 << "m" << "[]m";
        QTest::newRow("message untrimmed") << 9885 << " x " << "[ERR_MISSING] x ";
    }
    void setErrDisplayText()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QString, text);
        ZX2Journals journal;
        journal.add(QJsonObject{});
        QCOMPARE(journal.setErr(code, message), text);
        QCOMPARE(journal.err(), code);
        QCOMPARE(journal.errmsg(), message);
        QCOMPARE(journal.segments().size(), 1);
    }

    void addStepSegment_data()
    {
        QTest::addColumn<QString>("journalMessage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("msg");
        QTest::newRow("argument message and command")
            << "x" << "arg" << "cmd" << QStringList{"action", "command", "msg", "place", "success", "times"} << "arg";
        QTest::newRow("falls back to journal message")
            << "x" << "" << "" << QStringList{"action", "msg", "place", "success", "times"} << "x";
        QTest::newRow("both empty leaves msg out")
            << "" << "" << "" << QStringList{"action", "place", "success", "times"} << "";
    }
    void addStepSegment()
    {
        QFETCH(QString, journalMessage);
        QFETCH(QString, message);
        QFETCH(QString, command);
        QFETCH(QStringList, keys);
        QFETCH(QString, msg);
        ZX2Journals journal;
        journal.setErrmsg(journalMessage);
        const QJsonObject segment = journal.add("place", "action", false, message, command);
        QCOMPARE(segment.keys(), keys);
        QCOMPARE(segment.value("msg").toString(), msg);
        QCOMPARE(segment.value("success").toBool(true), false);
        QCOMPARE(journal.segments(), QJsonArray{segment});
        QCOMPARE(journal.err(), 9999);
    }

    void addWithCodeSetsResult()
    {
        ZX2Journals journal;
        const QJsonObject segment = journal.add("p", 9975, "query", false, "sql failed");
        QCOMPARE(journal.err(), 9975);
        QCOMPARE(journal.errmsg(), QStringLiteral("sql failed"));
        QCOMPARE(segment.value("msg").toString(), QStringLiteral("sql failed"));
        QVERIFY(!segment.contains("command"));
    }

    void addContentSegmentOverridesExtra()
    {
        ZX2Journals journal;
        const QJsonObject extra{{"place", "old"}, {"times", -5}, {"content", "old"}, {"own", 1}};
        const QJsonObject segment = journal.add("here", "text", extra);
        QCOMPARE(segment.value("place").toString(), QStringLiteral("here"));
        QCOMPARE(segment.value("content").toString(), QStringLiteral("text"));
        QVERIFY(segment.value("times").toInt() >= 0);
        QCOMPARE(segment.value("own").toInt(), 1);
        QCOMPARE(journal.segments(), QJsonArray{segment});
    }

    void addArrayIsOneSegment()
    {
        ZX2Journals journal;
        journal.add(QJsonArray{"a", "b"});
        QCOMPARE(journal.segments().size(), 1);
        QCOMPARE(journal.segments().at(0).toArray(), (QJsonArray{"a", "b"}));
    }

    // Lower bounds only: a sleep lasts at least as long as asked.
    void timing()
    {
        ZX2Journals journal;
        QThread::msleep(5);
        const qint64 first = journal.step();
        QVERIFY(first >= 5);
        QCOMPARE(journal.times(), first);
        const qint64 total = journal.end();
        QCOMPARE(total, journal.times());

        journal.reset(9995, QStringLiteral("m"), QJsonArray{1, 2});
        QCOMPARE(journal.times(), qint64(0));
        QCOMPARE(journal.err(), 9995);
        QCOMPARE(journal.errmsg(), QStringLiteral("m"));
        QCOMPARE(journal.segments().size(), 2);

        QThread::msleep(5);
        QJsonObject ret;
        journal.toRetObject(ret, false);
        QVERIFY(journal.times() >= 5);
        journal.begin();
        QCOMPARE(journal.times(), qint64(0));
    }

    void resetDoesNotRestartTimer()
    {
        ZX2Journals journal;
        journal.step();
        QThread::msleep(10);
        journal.reset();
        QVERIFY(journal.step() >= 10);
    }
};

QTEST_GUILESS_MAIN(TestZX2Journals)
#include "tst_zx2journals.moc"
