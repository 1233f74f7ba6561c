#ifndef LNX2UTILS_SYSTEM_H
#define LNX2UTILS_SYSTEM_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Writes of files that may belong to another user, moves of directories as the
// privileged user, free disk space and system shared memory. The privileged
// steps run "sudo" (found through the search path) with each path passed as
// one argument, so paths may hold blanks.

// Writes data to path through temporarily opened permissions: an existing
// file keeps its owner and group, a new one belongs to www-data:www-data; both
// end with mode 0666. True when all bytes were written.
bool writeFile(const QString &path, const QByteArray &data);
bool writeFile(const QString &path, const QString &text);
// The lines joined by "\n", without a line feed after the last one.
bool writeFile(const QString &path, const QStringList &lines);
// The object's indented JSON text.
bool writeFile(const QString &path, const QJsonObject &object);

// Moves the directory from to the new name to. ERR_PARAMS for an empty path,
// ERR_NOT_EXISTS when from is no directory, ERR_EXISTS when to is a
// directory, else ERR_SUCCEED or ERR_FAILED by the exit code of the move.
int mvpath(const QString &from, const QString &to);

// Free blocks (reserved ones included) times block size of the file system
// holding path; -1 when the file system cannot be queried.
qint64 diskFree(const QString &path);

// Copies data into a new shared-memory segment named key. The segment lives
// until this process saves under the same key again (which replaces it) or
// ends, and for as long as another process stays attached. False for empty
// data or when another segment of that key exists.
bool shareMemorySave(const QString &key, const QByteArray &data);
// Copies the whole segment named key into out; false (out unchanged) when no
// such segment exists.
bool shareMemoryLoad(const QString &key, QByteArray &out);

#endif // LNX2UTILS_SYSTEM_H
