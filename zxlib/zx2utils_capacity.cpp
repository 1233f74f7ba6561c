#include "zx2utils_capacity.h"

#include <QStringList>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 kKiB = Q_INT64_C(1) << 10;
constexpr qint64 kMiB = Q_INT64_C(1) << 20;
constexpr qint64 kGiB = Q_INT64_C(1) << 30;
constexpr qint64 kTiB = Q_INT64_C(1) << 40;

struct SizeUnit
{
    const char *suffixes[3];
    qint64 factor;
};

const SizeUnit kSizeUnits[] = {
    {{"k", "kb", "kib"}, kKiB},
    {{"m", "mb", "mib"}, kMiB},
    {{"g", "gb", "gib"}, kGiB},
    {{"t", "tb", "tib"}, kTiB},
};

// Truncates toward zero; a value beyond the 64-bit range (or not a number)
// counts as no size.
qint64 truncatedBytes(double bytes)
{
    if (!(std::fabs(bytes) < 9.2e18))
        return 0;
    return qint64(bytes);
}

QString withoutTrailingZeros(double value)
{
    QString text = QString::number(value, 'f', 2);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

} // namespace

qint64 asCapacity(const QString &text)
{
    const QString size = text.trimmed().toLower();
    for (const SizeUnit &unit : kSizeUnits) {
        for (const char *suffix : unit.suffixes) {
            if (size.endsWith(QLatin1String(suffix))) {
                const QString number = size.chopped(int(qstrlen(suffix))).trimmed();
                return truncatedBytes(number.toDouble() * double(unit.factor));
            }
        }
    }
    if (size.endsWith(QLatin1Char('b'))) {
        const quint64 bytes = size.chopped(1).trimmed().toULongLong();
        return bytes > quint64(std::numeric_limits<qint64>::max()) ? 0 : qint64(bytes);
    }
    return size.toLongLong();
}

qint64 toSizeMB(const QString &text)
{
    return asCapacity(text) / kMiB;
}

QString capacitySize(qint64 bytes)
{
    if (bytes < kKiB)
        return QString::number(bytes) + QStringLiteral(" B");
    const char *unit = bytes >= kTiB ? "TB" : bytes >= kGiB ? "GB" : bytes >= kMiB ? "MB" : "KB";
    const qint64 power = bytes >= kTiB ? kTiB : bytes >= kGiB ? kGiB : bytes >= kMiB ? kMiB : kKiB;
    return withoutTrailingZeros(double(bytes) / double(power)) + QLatin1Char(' ')
        + QLatin1String(unit);
}

QString adjustCapacity(const QString &text)
{
    return capacitySize(asCapacity(text));
}

QString toCapacity(qint64 bytes)
{
    // Compared as unsigned: a negative count falls into the largest unit.
    const quint64 count = quint64(bytes);
    const auto scaled = [bytes](qint64 power, const char *unit) {
        return QString::number(double(bytes) / double(power), 'f', 2) + QLatin1String(unit);
    };
    if (count > quint64(kTiB - 1))
        return scaled(kTiB, "tb");
    if (count > quint64(kGiB - 1))
        return scaled(kGiB, "gb");
    if (count > quint64(kMiB - 1))
        return scaled(kMiB, "mb");
    if (count > quint64(kKiB - 1))
        return scaled(kKiB, "kb");
    return QString::number(bytes) + QStringLiteral(" b");
}

double toCapacityMb(qint64 bytes)
{
    return std::round(double(bytes) / double(kMiB) * 100.0) / 100.0;
}

qint64 asUnitSpeed(const QString &unit)
{
    static const QStringList kRateUnits{QStringLiteral("b/s"), QStringLiteral("k/s"),
                                   QStringLiteral("m/s"), QStringLiteral("g/s"),
                                   QStringLiteral("t/s"), QStringLiteral("p/s")};
    const int index = kRateUnits.indexOf(unit.toLower());
    return index < 0 ? 1 : Q_INT64_C(1) << (10 * index);
}
