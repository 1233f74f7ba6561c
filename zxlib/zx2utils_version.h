#ifndef ZX2UTILS_VERSION_H
#define ZX2UTILS_VERSION_H

#include <QString>

// Dotted-number comparison: the difference of the first unequal pair of parts.
int compareVersion(const QString &a, const QString &b);
int compareFourInt(const QString &a, const QString &b);

#endif // ZX2UTILS_VERSION_H
