#include "zx2utils_convert.h"

#include <QJsonDocument>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Truncation toward zero, clamped so that an out-of-range or NaN double never
// reaches an undefined conversion.
template <typename T>
T truncated(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= double(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (value >= double(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

// The decimal number a text holds, else the hexadecimal one, else 0.
template <typename T>
T decimalOrHex(const QString &text, T (QString::*parse)(bool *, int) const)
{
    bool ok = false;
    const T decimal = (text.*parse)(&ok, 10);
    if (ok)
        return decimal;
    const T hexadecimal = (text.*parse)(&ok, 16);
    return ok ? hexadecimal : 0;
}

// An integer of type T from a JSON value; parse reads a text in a base.
template <typename T>
T integerOf(const QJsonValue &value, T defaultValue, T (QString::*parse)(bool *, int) const)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return truncated<T>(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String:
        return decimalOrHex(value.toString(), parse);
    default:
        return defaultValue;
    }
}

// The number a decimal text holds, 0 when it holds none. Qt also reads "inf"
// and "nan", and gives infinity for an overflow; none of these is a number.
double decimalNumber(const QString &text)
{
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok && std::isfinite(number) ? number : 0.0;
}

QString fixedSix(double value)
{
    return QString::number(value, 'f', 6);
}

QString groupedInt(qint64 value)
{
    return QStringLiteral("%L1").arg(value, 3, 10, QLatin1Char(' '));
}

// The parsed document, or a null one when the text is no valid JSON.
QJsonDocument parseJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    return error.error == QJsonParseError::NoError ? document : QJsonDocument();
}

// Latin-1 text up to the first zero byte.
QString latin1Text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

} // namespace

int toInt(const QJsonValue &value)
{
    return toInt(value, 0);
}

int toInt(const QJsonValue &value, int defaultValue)
{
    return integerOf(value, defaultValue, &QString::toInt);
}

qint64 toInt64(const QJsonValue &value)
{
    return integerOf<qint64>(value, 0, &QString::toLongLong);
}

double toDouble(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::Bool:
        return value.toBool() ? 1.0 : 0.0;
    case QJsonValue::String:
        return decimalNumber(value.toString());
    default:
        return 0.0;
    }
}

bool toBool(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return value.toDouble() > 0;
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::String:
        return toBool(value.toString());
    default:
        return false;
    }
}

bool isTrue(const QJsonValue &value)
{
    return toBool(value);
}

bool toBool(const QString &text)
{
    bool ok = false;
    if (text.toInt(&ok, 10) >= 1 && ok)
        return true;
    static const char *const kTrueWords[] = {"true", "yes", "on", "ok", "y", "t"};
    for (const char *word : kTrueWords) {
        if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isTrue(const QString &text)
{
    return toBool(text);
}

QString toString(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (!value.isDouble())
        return QString();
    const double number = value.toDouble();
    const bool wholeInt = std::trunc(number) == number && number >= std::numeric_limits<int>::min()
                          && number <= std::numeric_limits<int>::max();
    return wholeInt ? QString::number(static_cast<int>(number)) : fixedSix(number);
}

QString toString(const QJsonValue &value, const QString &defaultValue)
{
    const QString text = toString(value);
    return text.isEmpty() ? defaultValue : text;
}

QString toStrOfInt(const QJsonValue &value, const QString &defaultValue)
{
    double number = 0;
    if (value.isDouble())
        number = value.toDouble();
    else if (value.isString())
        number = decimalNumber(value.toString());
    if (number == 0 || std::isnan(number))
        return defaultValue;
    return groupedInt(truncated<qint64>(number));
}

QString toStrOfInt(int value, const QString &defaultValue)
{
    return value == 0 ? defaultValue : groupedInt(value);
}

QString toDoubleString(const QJsonValue &value)
{
    if (value.isDouble())
        return fixedSix(value.toDouble());
    if (value.isString())
        return fixedSix(decimalNumber(value.toString()));
    return QStringLiteral("0");
}

QString toMoneyString(double amount, const QString &defaultValue)
{
    return amount == 0 ? defaultValue : QString::asprintf("%.2lf", amount);
}

QString toMoneyString(const QJsonValue &value, const QString &defaultValue)
{
    double amount = 0;
    if (value.isDouble())
        amount = value.toDouble();
    else if (value.isString())
        amount = decimalNumber(value.toString());
    return toMoneyString(amount, defaultValue);
}

QString secsToTimes(int seconds)
{
    const int hours = seconds / 3600;
    return QString::asprintf("%02d:%02d:%02d", hours, seconds / 60 - 60 * hours, seconds % 60);
}

QJsonObject toJsonObject(const QByteArray &json)
{
    return parseJson(json).object();
}

QJsonObject toJsonObject(const QString &json)
{
    return toJsonObject(json.toUtf8());
}

bool toJsonObject(QJsonObject &out, const QByteArray &json)
{
    const QJsonDocument document = parseJson(json);
    if (!document.isObject())
        return false;
    out = document.object();
    return true;
}

bool toJsonObject(QJsonObject &out, const QString &json)
{
    return toJsonObject(out, json.toUtf8());
}

QJsonArray toJsonArray(const QByteArray &json)
{
    return parseJson(json).array();
}

QJsonArray toJsonArray(const QString &json)
{
    return toJsonArray(json.toUtf8());
}

QJsonValue toJsonValue(const QJsonValue &value)
{
    const QString text = value.toString();
    if (value.isString() && !text.isEmpty()) {
        const QJsonDocument document = parseJson(text.toUtf8());
        if (document.isArray())
            return document.array();
        if (document.isObject())
            return document.object();
    }
    return QJsonObject();
}

QString jsonToString(const QJsonValue &value)
{
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    return QStringLiteral("{}");
}

QJsonObject jsonMerge(const QJsonObject &base, const QJsonObject &overlay)
{
    QJsonObject merged = base;
    for (auto it = overlay.constBegin(); it != overlay.constEnd(); ++it)
        merged.insert(it.key(), it.value());
    return merged;
}

QJsonArray toJsonArray(const QStringList &list)
{
    return QJsonArray::fromStringList(list);
}

QStringList toStrings(const QList<QByteArray> &list, bool skipBlank)
{
    QStringList strings;
    for (const QByteArray &bytes : list) {
        const QString text = latin1Text(bytes);
        if (!skipBlank || !text.trimmed().isEmpty())
            strings.append(text);
    }
    return strings;
}

QJsonArray toJsonArray(const QList<QByteArray> &list, bool skipBlank)
{
    return QJsonArray::fromStringList(toStrings(list, skipBlank));
}

QJsonArray toJArray(const QList<int> &list)
{
    QJsonArray array;
    for (int value : list)
        array.append(value);
    return array;
}

QJsonArray toJsonArray(const QList<int> &list)
{
    return toJArray(list);
}

QJsonArray IntsToJArray(const QList<int> &list)
{
    return toJArray(list);
}

QList<int> toInts(const QJsonValue &value)
{
    return jarrayToInts(value.toArray());
}

QList<int> jarrayToInts(const QJsonArray &array)
{
    QList<int> ints;
    ints.reserve(array.size());
    for (const QJsonValue &element : array)
        ints.append(toInt(element));
    return ints;
}

QList<int> toSortList(const QJsonArray &array)
{
    QList<int> ints = jarrayToInts(array);
    std::sort(ints.begin(), ints.end());
    return ints;
}

QStringList toStrings(const QJsonValue &value, bool skipBlank)
{
    QStringList strings;
    for (const QJsonValue &element : value.toArray()) {
        const QString text = toString(element);
        if (!skipBlank || !text.trimmed().isEmpty())
            strings.append(text);
    }
    return strings;
}

QStringList intersect(const QStringList &a, const QStringList &b, Qt::CaseSensitivity cs)
{
    QStringList common;
    for (const QString &entry : a) {
        if (b.contains(entry, cs))
            common.append(entry);
    }
    return common;
}
