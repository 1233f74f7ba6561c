#include "zx2utils_date.h"

#include "zx2utils_convert.h"

#include <cmath>

namespace {

// The date-time format for a text of the given length, and how many of its
// leading characters are parsed; an empty format means no format fits.
QString dateTimeFormat(const QString &text, int *parsed)
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

QDateTime buildDateTime(const QString &date, const QString &time, int month)
{
    const QDate day(date.right(4).toInt(), month, date.mid(4, 2).toInt());
    const QTime clock(time.left(2).toInt(), time.mid(3, 2).toInt(), time.right(2).toInt());
    return QDateTime(day, clock, Qt::LocalTime);
}

const char *const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

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

QDateTime complieDateTime(const QString &date, const QString &time)
{
    const QString name = date.left(3).toUpper();
    int month = 0;
    for (int i = 0; i < 12 && month == 0; ++i) {
        if (name == QString::fromLatin1(kMonthNames[i]).toUpper())
            month = i + 1;
    }
    return buildDateTime(date, time, month);
}

QDateTime gccDateTime(const QString &date, const QString &time)
{
    const QString name = date.left(3);
    int month = 1;
    for (int i = 0; i < 12; ++i) {
        if (name.compare(QLatin1String(kMonthNames[i]), Qt::CaseInsensitive) == 0) {
            month = i + 1;
            break;
        }
    }
    return buildDateTime(date, time, month);
}
