#ifndef LNX2UTILS_H
#define LNX2UTILS_H

// Linux-specific free helper functions of the framework. Version comparison,
// INI reading and string splitting are declared here; the other helper groups
// live in lnx2utils_<group>.h and are included below.

#include "zx2utils.h"

// -- helper groups (one include per group) --
#include "lnx2utils_curl.h"
#include "lnx2utils_process.h"
#include "lnx2utils_system.h"
// -- end of helper groups --

// -- conversions --
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Debian package version order of a and b (negative, 0, positive).
int cmpVersion(const QString &a, const QString &b);
// INI lines to {section: {key: value}}; same rules as iniToJson.
QJsonObject iniToJsonObject(const QStringList &lines);
// Words separated by space, tab or carriage return (a line feed stays inside).
QStringList stringSplit(const QString &text);
// -- end of conversions --

#endif // LNX2UTILS_H
