#ifndef ZX2UTILS_CONVERT_H
#define ZX2UTILS_CONVERT_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

// Conversions between JSON values, plain values and JSON text. Those from
// JSON values to plain values never fail: each returns a fixed fallback (0,
// false, empty string, empty object) instead.

// Double: truncated; Bool: 1/0; String: decimal, else hexadecimal, else 0;
// other types: 0 (defaultValue for the two-argument form).
int toInt(const QJsonValue &value);
int toInt(const QJsonValue &value, int defaultValue);
qint64 toInt64(const QJsonValue &value);
double toDouble(const QJsonValue &value);
// Double: > 0; Bool: itself; String: toBool(text); other types: false.
bool isTrue(const QJsonValue &value);
bool toBool(const QJsonValue &value);
// True for an integer text of 1 or more and for "true", "yes", "on", "ok",
// "y", "t" in any case.
bool toBool(const QString &text);
bool isTrue(const QString &text);

// String: itself; whole Double fitting int: its digits; other Double: six
// decimals; other types: empty.
QString toString(const QJsonValue &value);
QString toString(const QJsonValue &value, const QString &defaultValue);
// Truncated integer, grouped by the locale, right-aligned in 3 characters;
// defaultValue for 0 or a non-number.
QString toStrOfInt(const QJsonValue &value, const QString &defaultValue = QString());
QString toStrOfInt(int value, const QString &defaultValue = QString());
QString toDoubleString(const QJsonValue &value);
// "%.2lf" of the amount; defaultValue for 0.
QString toMoneyString(double amount, const QString &defaultValue = QString());
QString toMoneyString(const QJsonValue &value, const QString &defaultValue = QString());
// "hh:mm:ss"; hours are not limited to 24.
QString secsToTimes(int seconds);

// Parsing of UTF-8 JSON text. An invalid text or the wrong top-level type gives
// an empty value; the bool forms then return false and leave out untouched.
QJsonObject toJsonObject(const QByteArray &json);
QJsonObject toJsonObject(const QString &json);
bool toJsonObject(QJsonObject &out, const QByteArray &json);
bool toJsonObject(QJsonObject &out, const QString &json);
QJsonArray toJsonArray(const QByteArray &json);
QJsonArray toJsonArray(const QString &json);
// A string holding JSON text unpacked to its array or object; anything else
// gives an empty object.
QJsonValue toJsonValue(const QJsonValue &value);
// Compact JSON text of an object or array; "{}" for other types.
QString jsonToString(const QJsonValue &value);
// A copy of base with every key of overlay set on it (not recursive).
QJsonObject jsonMerge(const QJsonObject &base, const QJsonObject &overlay);

QJsonArray toJsonArray(const QStringList &list);
// Byte arrays as Latin-1 up to the first zero byte; skipBlank leaves out
// entries that are empty after trimming (kept entries are not trimmed).
QJsonArray toJsonArray(const QList<QByteArray> &list, bool skipBlank = false);
QJsonArray toJArray(const QList<int> &list);
QJsonArray toJsonArray(const QList<int> &list);
QJsonArray IntsToJArray(const QList<int> &list);
QList<int> toInts(const QJsonValue &value);
QList<int> jarrayToInts(const QJsonArray &array);
// toInt of each element, sorted ascending.
QList<int> toSortList(const QJsonArray &array);
QStringList toStrings(const QJsonValue &value, bool skipBlank = false);
QStringList toStrings(const QList<QByteArray> &list, bool skipBlank = false);
// The entries of a (in order, with duplicates) that b contains.
QStringList intersect(const QStringList &a, const QStringList &b,
                      Qt::CaseSensitivity cs = Qt::CaseSensitive);

#endif // ZX2UTILS_CONVERT_H
