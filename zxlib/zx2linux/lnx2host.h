#ifndef LNX2HOST_H
#define LNX2HOST_H

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The host system as the package and network modules reach it.
//
// Every fixed file-system path that they read or write in-process (the kernel's
// interface directories, the package database's maintainer scripts, the APT
// source list) goes through hostPath(). When the environment variable
// LNX2_SYSROOT is set and not empty it is put in front of the path, so a test
// can point the modules at a temporary tree; otherwise the path is unchanged.
QString hostPath(const QString &fixedPath);

// Time limits of the package tools, in milliseconds.
constexpr int kToolStartMs = 30000; // a tool that has not started by then is stuck
constexpr int kToolQueryMs = 30000; // listings and clock settings answer within seconds
constexpr int kToolWorkMs = 900000; // a purge, clean or fix may work for a quarter hour

// Runs program directly (no shell) with its arguments, waiting up to startMs
// for the start and finishMs for the end (-1: no limit). With noninteractive
// the child's environment gets DEBIAN_FRONTEND=noninteractive. True when it
// started, ended in time and normally, with exit code 0. The outputs, when
// asked for, are the raw bytes the child wrote; a child still running at the
// end of the wait is killed with every process it started.
bool hostRun(const QString &program, const QStringList &arguments, int startMs, int finishMs,
             bool noninteractive = false, QByteArray *output = nullptr,
             QByteArray *errorOutput = nullptr);

// This process's environment with DEBIAN_FRONTEND=noninteractive, so that
// the package tools ask no questions.
QProcessEnvironment hostNoninteractiveEnvironment();

// Runs "rm -f" on each fixed path in turn, to its end; a path whose file name
// holds "*" stands for every file that it matches (rm runs once for them all,
// and not at all when none matches). Results are ignored.
void hostRemoveFiles(const QStringList &fixedPaths);

// Whether "ps -e" output lists a running dpkg or apt: its command column is
// exactly "dpkg" or "apt", or a line holds " dpkg ", "/dpkg ", " apt " or "/apt ".
bool hostPackageToolListed(const QString &psOutput);

// The rows of a "dpkg -l" listing: the lines from the first one that begins
// with "+++-===" (all lines when there is none), trimmed and split at blanks;
// only rows of more than two parts (state, name, version, ...) are kept.
QList<QStringList> dpkgListingRows(const QStringList &lines);

// The apt option that lets dpkg restore missing configuration files, as one
// argument of a program started without a shell: without the quotes that a
// shell would remove, which apt would hand on to dpkg, which rejects them.
extern const char kAptForceConfmiss[];

// The appliance's time server, used when a caller names none.
extern const char kHostTimeServer[];

#endif // LNX2HOST_H
