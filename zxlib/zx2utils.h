#ifndef ZX2UTILS_H
#define ZX2UTILS_H

// The framework's free helper functions. The conversions are declared here;
// the other helper groups live in zx2utils_<group>.h and are included below,
// so a caller includes this one header.

// -- helper groups (one include per group) --
#include "zx2utils_capacity.h"
#include "zx2utils_digest.h"
#include "zx2utils_identifier.h"
#include "zx2utils_process.h"
#include "zx2utils_schedule.h"
#include "zx2utils_url.h"
#include "zx2utils_trace.h"
// -- end of helper groups --

// -- value conversions --
#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

// Conversions from JSON values to plain values never fail: each returns a
// fixed fallback (0, false, empty string, empty object) instead.

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

// Splits at separator except inside double quotes (the quotes are dropped).
// A trailing empty part is never added.
QStringList splitQuote(const QString &text, QChar separator,
                       Qt::SplitBehavior behavior = Qt::KeepEmptyParts);
// Removes and returns the first token of text, skipping leading separators
// before and after it. The count form takes count tokens and returns the last.
QString takeFirstString(QString &text, const QString &separator);
QString takeFirstString(QString &text, int count, const QString &separator);
QByteArray takeFirstString(QByteArray &text, const QByteArray &separator);
QByteArray takeFirstString(QByteArray &text, int count, const QByteArray &separator);
// The first / last non-empty part of text split at separator.
QString firstString(const QString &text, const QString &separator);
QString lastString(const QString &text, const QString &separator);
// Splits "key = value": returns the trimmed key and sets value (trimmed,
// surrounding quotes removed, \" and \\ unescaped). Without "=" the whole line
// is the key and value is left alone.
QString takeKeyValue(const QString &line, QString &value);

// Dotted-number comparison: the difference of the first unequal pair of parts.
int compareVersion(const QString &a, const QString &b);
int compareFourInt(const QString &a, const QString &b);

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

bool ipv4Valid(const QString &text);
bool iqnValid(const QString &text);
// 18-character national identity number, ISO 7064 MOD 11-2 check character.
bool idcardValidate(const QByteArray &number, bool checkBirthDate);
QString GbkToUtf8(const QByteArray &gbk);
QByteArray Utf8ToGbk(const QString &text);
// INI lines to {section: {key: value}}; "#" lines are comments.
QJsonObject iniToJson(const QStringList &lines);
// -- end of value conversions --

#endif // ZX2UTILS_H
