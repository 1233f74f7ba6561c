#include "zx2utils.h"

#include <QJsonDocument>
#include <QTextCodec>

#include <algorithm>
#include <cmath>
#include <limits>

// Looked up once; may be null on a platform without the codec.
static QTextCodec *const gbkCodec = QTextCodec::codecForName("GBK");

// Truncation toward zero, clamped so that an out-of-range or NaN double never
// reaches an undefined conversion.
template <typename T>
static T truncated(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= double(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (value >= double(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

static int stringToInt(const QString &text)
{
    bool ok = false;
    const int decimal = text.toInt(&ok, 10);
    if (ok)
        return decimal;
    const int hexadecimal = text.toInt(&ok, 16);
    return ok ? hexadecimal : 0;
}

static qint64 stringToInt64(const QString &text)
{
    bool ok = false;
    const qint64 decimal = text.toLongLong(&ok, 10);
    if (ok)
        return decimal;
    const qint64 hexadecimal = text.toLongLong(&ok, 16);
    return ok ? hexadecimal : 0;
}

// The number a decimal text holds, 0 when it holds none. Qt also reads "inf"
// and "nan", and gives infinity for an overflow; none of these is a number.
static double decimalNumber(const QString &text)
{
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok && std::isfinite(number) ? number : 0.0;
}

int toInt(const QJsonValue &value)
{
    return toInt(value, 0);
}

int toInt(const QJsonValue &value, int defaultValue)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return truncated<int>(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String:
        return stringToInt(value.toString());
    default:
        return defaultValue;
    }
}

qint64 toInt64(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return truncated<qint64>(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String:
        return stringToInt64(value.toString());
    default:
        return 0;
    }
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
    static const char *const words[] = {"true", "yes", "on", "ok", "y", "t"};
    for (const char *word : words) {
        if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isTrue(const QString &text)
{
    return toBool(text);
}

static QString fixedSix(double value)
{
    return QString::number(value, 'f', 6);
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

static QString groupedInt(qint64 value)
{
    return QStringLiteral("%L1").arg(value, 3, 10, QLatin1Char(' '));
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

// The parsed document, or a null one when the text is no valid JSON.
static QJsonDocument parseJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    return error.error == QJsonParseError::NoError ? document : QJsonDocument();
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

// Latin-1 text up to the first zero byte.
static QString latin1Text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
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

QStringList splitQuote(const QString &text, QChar separator, Qt::SplitBehavior behavior)
{
    QStringList parts;
    QString token;
    bool inQuotes = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
        } else if (c != separator || inQuotes) {
            token.append(c);
        } else {
            if (behavior == Qt::KeepEmptyParts || !token.isEmpty())
                parts.append(token);
            token.clear();
        }
    }
    if (!token.isEmpty())
        parts.append(token);
    return parts;
}

// Drops leading characters one at a time while text starts with separator.
template <typename S>
static void skipSeparators(S &text, const S &separator)
{
    while (!text.isEmpty() && text.startsWith(separator))
        text.remove(0, 1);
}

template <typename S>
static S takeToken(S &text, const S &separator)
{
    // An empty separator occurs everywhere and would never let the text shrink.
    if (separator.isEmpty()) {
        const S all = text;
        text.clear();
        return all;
    }
    skipSeparators(text, separator);
    const int index = text.indexOf(separator);
    if (index < 0) {
        const S all = text;
        text.clear();
        return all;
    }
    const S token = text.left(index);
    text.remove(0, index + 1);
    skipSeparators(text, separator);
    return token;
}

template <typename S>
static S takeTokens(S &text, int count, const S &separator)
{
    S token;
    for (int i = 0; i < count; ++i)
        token = takeToken(text, separator);
    return token;
}

QString takeFirstString(QString &text, const QString &separator)
{
    return takeToken(text, separator);
}

QString takeFirstString(QString &text, int count, const QString &separator)
{
    return takeTokens(text, count, separator);
}

QByteArray takeFirstString(QByteArray &text, const QByteArray &separator)
{
    return takeToken(text, separator);
}

QByteArray takeFirstString(QByteArray &text, int count, const QByteArray &separator)
{
    return takeTokens(text, count, separator);
}

QString firstString(const QString &text, const QString &separator)
{
    const QStringList parts = text.split(separator, Qt::SkipEmptyParts, Qt::CaseSensitive);
    return parts.isEmpty() ? QString() : parts.first();
}

QString lastString(const QString &text, const QString &separator)
{
    const QStringList parts = text.split(separator, Qt::SkipEmptyParts, Qt::CaseSensitive);
    return parts.isEmpty() ? QString() : parts.last();
}

QString takeKeyValue(const QString &line, QString &value)
{
    const int equals = line.indexOf(QLatin1Char('='));
    if (equals < 0)
        return line;
    QString text = line.mid(equals + 1).trimmed();
    if (text.size() > 1 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
        text = text.mid(1, text.size() - 2);
    text.replace(QLatin1String("\\\""), QLatin1String("\""));
    text.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    value = text;
    return line.left(equals).trimmed();
}

static int versionPart(const QStringList &parts, int index)
{
    return index < parts.size() ? parts.at(index).toInt() : 0;
}

int compareVersion(const QString &a, const QString &b)
{
    const QStringList partsA = a.split(QLatin1Char('.'));
    const QStringList partsB = b.split(QLatin1Char('.'));
    const int count = std::max(partsA.size(), partsB.size());
    for (int i = 0; i < count; ++i) {
        // 64-bit so that the difference of two extreme parts cannot overflow.
        const qint64 diff = qint64(versionPart(partsA, i)) - versionPart(partsB, i);
        if (diff != 0)
            return int(std::clamp<qint64>(diff, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    }
    return 0;
}

int compareFourInt(const QString &a, const QString &b)
{
    return compareVersion(a, b);
}

// The date-time format for a text of the given length, and how many of its
// leading characters are parsed; an empty format means no format fits.
static QString dateTimeFormat(const QString &text, int *parsed)
{
    const int length = text.size();
    const bool isoT = length > 10 && text.at(10) == QLatin1Char('T');
    *parsed = length;
    switch (length) {
    case 1: return QStringLiteral("d");
    case 2: return QStringLiteral("dd");
    case 4: return QStringLiteral("yyyy");
    case 5:
        switch (text.at(2).unicode()) {
        case '-': return QStringLiteral("MM-dd");
        case '/': return QStringLiteral("MM/dd");
        case ':': return QStringLiteral("HH:mm");
        default: return QString();
        }
    case 6: return QStringLiteral("HHmmss");
    case 7: return QStringLiteral("yyyy-MM");
    case 8: return QStringLiteral("HH:mm:ss");
    case 10: return QStringLiteral("yyyy-MM-dd");
    case 12: return QStringLiteral("HH:mm:ss.zzz");
    case 14: return QStringLiteral("yyyyMMddHHmmss");
    case 16: return QStringLiteral("yyyy-MM-dd HH:mm");
    case 19: return isoT ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm:ss");
    case 20:
        return isoT && text.at(19) == QLatin1Char('Z') ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'") : QString();
    case 22:
        *parsed = 19;
        return isoT ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm:ss");
    case 23: return isoT ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz") : QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
    case 24: return QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");
    case 26:
        *parsed = 23;
        return QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz");
    default:
        if (length == 21 || length == 25 || length > 26) {
            *parsed = 19;
            return QStringLiteral("yyyy-MM-dd HH:mm:ss");
        }
        return QString();
    }
}

QDateTime toDateTime(const QString &text)
{
    int parsed = 0;
    const QString format = dateTimeFormat(text, &parsed);
    if (format.isEmpty())
        return QDateTime();
    return QDateTime::fromString(text.left(parsed), format);
}

QDateTime toDateTime(const QJsonValue &value)
{
    return toDateTime(toString(value));
}

QDate toDate(const QJsonValue &value)
{
    return toDateTime(value).date();
}

QDateTime toDateTime(double serial)
{
    // Beyond some million years the day number no longer fits a date.
    if (!std::isfinite(serial) || std::fabs(serial) > 1e9)
        return QDateTime();
    const double day = std::trunc(serial);
    const int seconds = int((serial - day) * 86400);
    const QDate date = QDate::fromJulianDay(qint64(day) + 2415019);
    // Built from the clock time rather than added seconds, so a daylight-saving
    // change on that day does not shift it.
    return QDateTime(date, QTime(0, 0).addSecs(seconds), Qt::LocalTime);
}

static QDateTime buildDateTime(const QString &date, const QString &time, int month)
{
    const QDate day(date.right(4).toInt(), month, date.mid(4, 2).toInt());
    const QTime clock(time.left(2).toInt(), time.mid(3, 2).toInt(), time.right(2).toInt());
    return QDateTime(day, clock, Qt::LocalTime);
}

static const char *const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

QDateTime complieDateTime(const QString &date, const QString &time)
{
    const QString name = date.left(3).toUpper();
    int month = 0;
    for (int i = 0; i < 12 && month == 0; ++i) {
        if (name == QString::fromLatin1(monthNames[i]).toUpper())
            month = i + 1;
    }
    return buildDateTime(date, time, month);
}

QDateTime gccDateTime(const QString &date, const QString &time)
{
    const QString name = date.left(3);
    int month = 1;
    for (int i = 0; i < 12; ++i) {
        if (name.compare(QLatin1String(monthNames[i]), Qt::CaseInsensitive) == 0) {
            month = i + 1;
            break;
        }
    }
    return buildDateTime(date, time, month);
}

static bool isDigits(const QString &text)
{
    return !text.isEmpty()
           && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

bool ipv4Valid(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String("0"))
            continue;
        // Digits only: a sign or blanks are no part of an address.
        const int number = part.toInt();
        if (!isDigits(part) || number < 1 || number > 255)
            return false;
    }
    return true;
}

bool iqnValid(const QString &text)
{
    static const QString allowed = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789.:-");
    for (const QChar c : text) {
        if (!allowed.contains(c))
            return false;
    }
    if (!text.startsWith(QLatin1String("iqn.")) || text.mid(4, 4).toInt() <= 1900)
        return false;
    if (text.mid(8, 1) != QLatin1String("-") || text.mid(11, 1) != QLatin1String("."))
        return false;
    const int month = text.mid(9, 2).toInt();
    return month >= 1 && month <= 12;
}

bool idcardValidate(const QByteArray &number, bool checkBirthDate)
{
    static const int weights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    static const char checkChars[] = "10X98765432";
    const QByteArray id = number.trimmed().toUpper();
    if (id.size() != 18)
        return false;
    int sum = 0;
    for (int i = 0; i < 17; ++i) {
        // A letter among the first 17 would otherwise weigh in as a large "digit".
        if (id.at(i) < '0' || id.at(i) > '9')
            return false;
        sum += (id.at(i) - '0') * weights[i];
    }
    if (id.at(17) != checkChars[sum % 11])
        return false;
    return !checkBirthDate || QDate(id.mid(6, 4).toInt(), id.mid(10, 2).toInt(), id.mid(12, 2).toInt()).isValid();
}

// Without the codec the text cannot be converted faithfully; give nothing
// rather than wrongly decoded text.
QString GbkToUtf8(const QByteArray &gbk)
{
    return gbkCodec ? gbkCodec->toUnicode(gbk) : QString();
}

QByteArray Utf8ToGbk(const QString &text)
{
    return gbkCodec ? gbkCodec->fromUnicode(text) : QByteArray();
}

QJsonObject iniToJson(const QStringList &lines)
{
    QJsonObject result;
    QString sectionName;
    QJsonObject section;
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int close = line.indexOf(QLatin1Char(']'));
        if (line.startsWith(QLatin1Char('[')) && close > 0) {
            if (!sectionName.isEmpty())
                result.insert(sectionName, section);
            sectionName = line.mid(1, close - 1).trimmed();
            section = QJsonObject();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (sectionName.isEmpty() || equals < 0)
            continue;
        section.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    if (!sectionName.isEmpty())
        result.insert(sectionName, section);
    return result;
}
