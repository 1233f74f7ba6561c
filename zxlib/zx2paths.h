#ifndef ZX2PATHS_H
#define ZX2PATHS_H

#include <QString>

// The one place that knows the appliance's fixed paths and how they map onto
// this machine.
//
// ORBA_ROOT: when the environment variable is set and not empty, it replaces
// the leading "/orba" of a fixed path; otherwise the path is returned
// unchanged. Used for reading and writing as well as inside generated file
// text, so a development or test root is self-contained.
//
// LNX2_SYSROOT (read by hostPath() in zx2linux/lnx2host.h): when set and not
// empty, it is put in front of the system paths that the package and network
// modules read or write in-process (/sys, /var/lib/dpkg, /etc/apt), so tests
// can point them at a temporary tree.
QString orbaPath(const QString &fixedPath);

#endif // ZX2PATHS_H
