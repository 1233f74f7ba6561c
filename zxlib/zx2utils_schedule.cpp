#include "zx2utils_schedule.h"

#include "zx2utils.h"

#include <algorithm>

namespace {

// The sorted values of one array of the schedule (duplicates kept); the
// range first..last when the array is missing or empty and fill is set.
QList<int> scheduleValues(const QJsonObject &schedule, const char *key, int first, int last,
                          bool fill)
{
    QList<int> values;
    for (const QJsonValue &value : schedule.value(QLatin1String(key)).toArray())
        values << toInt(value);
    if (values.isEmpty() && fill) {
        for (int v = first; v <= last; ++v)
            values << v;
    }
    std::sort(values.begin(), values.end());
    return values;
}

struct Schedule
{
    QList<int> weeks, months, days, hours, minutes;
};

QList<int> daysOfMonth(const Schedule &schedule, int year, int month)
{
    const int count = QDate(year, month, 1).daysInMonth();
    QList<int> days;
    if (schedule.days.isEmpty()) {
        for (int day = 1; day <= count; ++day)
            days << day;
        return days;
    }
    for (int day : schedule.days) {
        if (day >= 1 && day <= count)
            days << day;
    }
    return days;
}

// The first time of the date's listed hours and minutes that lies after from.
QDateTime firstTimeAfter(const Schedule &schedule, const QDate &date, const QDateTime &from)
{
    for (int hour : schedule.hours) {
        for (int minute : schedule.minutes) {
            const QTime time(hour, minute);
            if (!time.isValid())
                continue;
            const QDateTime candidate(date, time, Qt::LocalTime);
            if (candidate.isValid() && candidate > from)
                return candidate;
        }
    }
    return QDateTime();
}

QDateTime firstInYear(const Schedule &schedule, int year, const QDateTime &from)
{
    for (int month : schedule.months) {
        if (month < 1 || month > 12)
            continue;
        for (int day : daysOfMonth(schedule, year, month)) {
            const QDate date(year, month, day);
            if (date < from.date() || !schedule.weeks.contains(date.dayOfWeek()))
                continue;
            const QDateTime found = firstTimeAfter(schedule, date, from);
            if (found.isValid())
                return found;
        }
    }
    return QDateTime();
}

} // namespace

QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &from)
{
    const Schedule lists{scheduleValues(schedule, "weeks", 1, 7, true),
                         scheduleValues(schedule, "months", 1, 12, true),
                         scheduleValues(schedule, "days", 1, 31, false),
                         scheduleValues(schedule, "hours", 0, 23, true),
                         scheduleValues(schedule, "minutes", 0, 59, true)};
    const int year = QDate::currentDate().year();
    for (int y = year; y <= year + 1; ++y) {
        const QDateTime found = firstInYear(lists, y, from);
        if (found.isValid())
            return found;
    }
    return QDateTime();
}

QDateTime nextSchedulesDateTime(const QJsonArray &schedules, const QDateTime &from)
{
    QDateTime earliest(QDate(2099, 12, 31), QTime(0, 0), Qt::LocalTime);
    for (const QJsonValue &schedule : schedules) {
        if (!schedule.isObject())
            continue;
        const QDateTime next = nextScheduledDateTime(schedule.toObject(), from);
        if (next.isValid() && next < earliest)
            earliest = next;
    }
    return earliest;
}
