#ifndef ZX2UTILS_DATE_H
#define ZX2UTILS_DATE_H

#include <QDate>
#include <QDateTime>
#include <QJsonValue>
#include <QString>

// Local date-time, the format chosen by the length of the text; invalid when
// no format fits.
QDateTime toDateTime(const QString &text);
QDateTime toDateTime(const QJsonValue &value);
QDate toDate(const QJsonValue &value);
// Spreadsheet serial date (day 0 is 30 December 1899), local time.
QDateTime toDateTime(double serial);
// From the compiler's __DATE__ ("Mmm dd yyyy") and __TIME__ ("hh:mm:ss").
QDateTime complieDateTime(const QString &date, const QString &time);
QDateTime gccDateTime(const QString &date, const QString &time);

#endif // ZX2UTILS_DATE_H
