#include "zx2utils_version.h"

#include <QStringList>

#include <algorithm>
#include <limits>

namespace {

int versionPart(const QStringList &parts, int index)
{
    return index < parts.size() ? parts.at(index).toInt() : 0;
}

} // namespace

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
