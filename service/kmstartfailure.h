#ifndef KMSTARTFAILURE_H
#define KMSTARTFAILURE_H

#include <QString>

class ZX2Journals;
class ZX2LocalServer;

// Why the service cannot start, as the one line it leaves on standard error
// before it exits: "reverseproxy: <cause>: <path>". The service manager keeps
// standard error in its journal, and restarts the service into the same cause
// until someone reads it. Each returns false, the outcome of the start.

bool startFailure(const QString &cause, const QString &path);
// The configuration at path names no socket: it cannot be read (the
// system's reason), is not JSON (the parser's reason), is not a JSON object,
// or has no "lpcid".
bool configurationFailure(const QString &path);
// The rule manager did not start on the database at path; its journal holds
// SQLite's verdict, or nothing when the store could not be opened at all.
bool databaseFailure(const ZX2Journals &journals, const QString &path);
// The local server did not take the socket of name; error is errno right
// after the failure. The server reports no reason, so it is found here: an
// unknown socket group, another process's live server, or the listen error.
bool socketFailure(const ZX2LocalServer &server, const QString &name, int error);

#endif // KMSTARTFAILURE_H
