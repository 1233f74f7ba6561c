#ifndef ZX2PATHS_H
#define ZX2PATHS_H

#include <QString>

// The one place that knows how the appliance's fixed paths map onto this machine.
// When the environment variable ORBA_ROOT is set and not empty, it replaces the
// leading "/orba" of a fixed path; otherwise the path is returned unchanged.
// Used for reading and writing as well as inside generated file text.
QString orbaPath(const QString &fixedPath);

#endif // ZX2PATHS_H
