#ifndef ZX2UTILS_SCHEDULE_H
#define ZX2UTILS_SCHEDULE_H

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

// Calendar schedules: a JSON object with the integer arrays "weeks" (1 =
// Monday ... 7 = Sunday), "months" (1-12), "days" (1-31), "hours" (0-23) and
// "minutes" (0-59); a missing or empty array stands for every value. Seconds
// are always 0.

// The first moment of the schedule strictly after from, searched in this
// year and the next (by the system clock); the invalid date-time when there
// is none.
QDateTime nextScheduledDateTime(const QJsonObject &schedule, const QDateTime &from);
// The earliest next moment over the schedule objects of the array; schedules
// without one are ignored. 31 December 2099 00:00 local time when no
// schedule has one.
QDateTime nextSchedulesDateTime(const QJsonArray &schedules, const QDateTime &from);

#endif // ZX2UTILS_SCHEDULE_H
