#ifndef LNX2UTILS_PROCESS_H
#define LNX2UTILS_PROCESS_H

#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs programAndArguments and waits without a time limit; with asRoot the
// whole list becomes the argument list of "sudo". The child writes to this
// process's standard output and error and reads end-of-file on its standard
// input (it runs through runProcess). Returns the exit code, -1 when the
// child crashed, -2 when it could not be started.
int linuxCmdExec(const QStringList &programAndArguments, bool asRoot);
// Starts process the same way (read-write channels) and returns at once. The
// caller writes to it and decides how long to wait, so it is not run through
// runProcess: its own process object ends it.
void linuxCmdStart(QProcess &process, const QStringList &programAndArguments, bool asRoot);

// Running processes as {"pid", "cmdargs", "cmdline"} objects, in the order of
// /proc. findProcess matches the command name, or the executable path when
// name holds "/"; findProcessWith matches the command name (name without "/")
// or any whole argument.
QJsonArray findProcess(const QString &name);
QJsonArray findProcessWith(const QString &name);

#endif // LNX2UTILS_PROCESS_H
