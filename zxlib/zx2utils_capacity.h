#ifndef ZX2UTILS_CAPACITY_H
#define ZX2UTILS_CAPACITY_H

#include <QString>

// Storage sizes and transfer speeds in binary units (1 KB = 1024 bytes).

// A size text ("1.5K", "10 MB", "2GiB", "512b", "100") to bytes; 0 for a text
// that is no size or a size that no 64-bit count holds.
qint64 asCapacity(const QString &text);
// Whole megabytes of a size text, rounded toward zero.
qint64 toSizeMB(const QString &text);
// "512 B", "1.5 KB", "1 MB": at most two decimals, trailing zeros dropped.
QString capacitySize(qint64 bytes);
// capacitySize of asCapacity: normalises a size text.
QString adjustCapacity(const QString &text);
// "512 b", "1.50kb", "2.00gb": always two decimals above 1023 bytes.
QString toCapacity(qint64 bytes);
// Megabytes rounded to two decimals.
double toCapacityMb(qint64 bytes);
// Bytes per second of "b/s", "k/s", "m/s", "g/s", "t/s", "p/s" (any case); 1
// for any other unit.
qint64 asUnitSpeed(const QString &unit);

#endif // ZX2UTILS_CAPACITY_H
