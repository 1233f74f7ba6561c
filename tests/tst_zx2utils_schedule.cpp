#include "zx2utils.h"

#include <QtTest>

// Dates are taken relative to today, because the search covers this year and
// the next by the system clock.
class TestZX2UtilsSchedule : public QObject
{
    Q_OBJECT

private:
    static QDateTime at(const QDate &date, int hour, int minute, int second = 0)
    {
        return QDateTime(date, QTime(hour, minute, second), Qt::LocalTime);
    }
    static QDate nextSaturday()
    {
        const QDate today = QDate::currentDate();
        return today.addDays((6 - today.dayOfWeek() + 7) % 7);
    }
    static QDate nextFirstOfMonth()
    {
        const QDate today = QDate::currentDate();
        return QDate(today.year(), today.month(), 1).addMonths(1);
    }

private slots:
    void nextScheduledDateTime_data()
    {
        const QDate today = QDate::currentDate();
        const QDate saturday = nextSaturday();
        const QDate first = nextFirstOfMonth();
        QTest::addColumn<QJsonObject>("schedule");
        QTest::addColumn<QDateTime>("from");
        QTest::addColumn<QDateTime>("expected");
        QTest::newRow("later today") << QJsonObject{{"hours", QJsonArray{3}}, {"minutes", QJsonArray{0}}}
                                     << at(today, 2, 59) << at(today, 3, 0);
        QTest::newRow("strictly after") << QJsonObject{{"hours", QJsonArray{3}}, {"minutes", QJsonArray{0}}}
                                        << at(today, 3, 0) << at(today.addDays(1), 3, 0);
        QTest::newRow("every minute") << QJsonObject() << at(today, 10, 15, 30)
                                      << at(today, 10, 16);
        QTest::newRow("sunday") << QJsonObject{{"weeks", QJsonArray{7}}} << at(saturday, 23, 59, 30)
                                << at(saturday.addDays(1), 0, 0);
        QTest::newRow("numeric strings and order")
            << QJsonObject{{"hours", QJsonArray{"20", 8}}, {"minutes", QJsonArray{45, "5"}}}
            << at(today, 8, 5) << at(today, 8, 45);
        QTest::newRow("first of month") << QJsonObject{{"days", QJsonArray{1}}, {"hours", QJsonArray{0}},
                                                       {"minutes", QJsonArray{0}}}
                                        << at(first.addDays(-1), 12, 0) << at(first, 0, 0);
        QTest::newRow("impossible day") << QJsonObject{{"months", QJsonArray{2}}, {"days", QJsonArray{31}}}
                                        << at(today, 0, 0) << QDateTime();
        QTest::newRow("invalid values skipped")
            << QJsonObject{{"months", QJsonArray{0, 13}}} << at(today, 0, 0) << QDateTime();
        QTest::newRow("too far ahead") << QJsonObject() << at(today.addYears(2), 0, 0) << QDateTime();
    }
    void nextScheduledDateTime()
    {
        QFETCH(QJsonObject, schedule);
        QFETCH(QDateTime, from);
        QFETCH(QDateTime, expected);
        const QDateTime next = ::nextScheduledDateTime(schedule, from);
        QCOMPARE(next.isValid(), expected.isValid());
        if (expected.isValid())
            QCOMPARE(next, expected);
    }

    void nextSchedulesDateTime_data()
    {
        const QDate today = QDate::currentDate();
        const QJsonObject impossible{{"months", QJsonArray{2}}, {"days", QJsonArray{30}}};
        const QJsonObject atThree{{"hours", QJsonArray{3}}, {"minutes", QJsonArray{0}}};
        const QJsonObject atTwo{{"hours", QJsonArray{2}}, {"minutes", QJsonArray{30}}};
        const QDateTime far(QDate(2099, 12, 31), QTime(0, 0), Qt::LocalTime);
        QTest::addColumn<QJsonArray>("schedules");
        QTest::addColumn<QDateTime>("expected");
        QTest::newRow("empty") << QJsonArray() << far;
        QTest::newRow("earliest wins") << QJsonArray{atThree, atTwo} << at(today.addDays(1), 2, 30);
        QTest::newRow("nothing found is ignored") << QJsonArray{impossible, atThree}
                                                  << at(today.addDays(1), 3, 0);
        QTest::newRow("only nothing found") << QJsonArray{impossible} << far;
        QTest::newRow("non-objects ignored") << QJsonArray{1, "x", atThree}
                                             << at(today.addDays(1), 3, 0);
    }
    void nextSchedulesDateTime()
    {
        QFETCH(QJsonArray, schedules);
        QFETCH(QDateTime, expected);
        QCOMPARE(::nextSchedulesDateTime(schedules, at(QDate::currentDate(), 12, 0)), expected);
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsSchedule)
#include "tst_zx2utils_schedule.moc"
