#include "zx2utils_capacity.h"

#include <QStringList>

#include <cmath>
#include <limits>

namespace {

constexpr qint64 KiB = Q_INT64_C(1) << 10;
constexpr qint64 MiB = Q_INT64_C(1) << 20;
constexpr qint64 GiB = Q_INT64_C(1) << 30;
constexpr qint64 TiB = Q_INT64_C(1) << 40;

struct SizeUnit
{
    const char *suffixes[3];
    qint64 factor;
};

const SizeUnit sizeUnits[] = {
    {{"k", "kb", "kib"}, KiB},
    {{"m", "mb", "mib"}, MiB},
    {{"g", "gb", "gib"}, GiB},
    {{"t", "tb", "tib"}, TiB},
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
    for (const SizeUnit &unit : sizeUnits) {
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
    return asCapacity(text) / MiB;
}

QString capacitySize(qint64 bytes)
{
    if (bytes < KiB)
        return QString::number(bytes) + QStringLiteral(" B");
    const char *unit = bytes >= TiB ? "TB" : bytes >= GiB ? "GB" : bytes >= MiB ? "MB" : "KB";
    const qint64 power = bytes >= TiB ? TiB : bytes >= GiB ? GiB : bytes >= MiB ? MiB : KiB;
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
    if (count > quint64(TiB - 1))
        return scaled(TiB, "tb");
    if (count > quint64(GiB - 1))
        return scaled(GiB, "gb");
    if (count > quint64(MiB - 1))
        return scaled(MiB, "mb");
    if (count > quint64(KiB - 1))
        return scaled(KiB, "kb");
    return QString::number(bytes) + QStringLiteral(" b");
}

double toCapacityMb(qint64 bytes)
{
    return std::round(double(bytes) / double(MiB) * 100.0) / 100.0;
}

qint64 asUnitSpeed(const QString &unit)
{
    static const QStringList units{QStringLiteral("b/s"), QStringLiteral("k/s"),
                                   QStringLiteral("m/s"), QStringLiteral("g/s"),
                                   QStringLiteral("t/s"), QStringLiteral("p/s")};
    const int index = units.indexOf(unit.toLower());
    return index < 0 ? 1 : Q_INT64_C(1) << (10 * index);
}
