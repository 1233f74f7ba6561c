#ifndef KMSTOREMESSAGE_H
#define KMSTOREMESSAGE_H

#include <QString>

// What clients are told when the rule store fails: every message of the
// service is Chinese, and SQLite's own texts are English.

// The message for SQLite's primary result code (SQLITE_FULL, ...); a code
// without a message of its own is named by its number.
QString storeMessage(int sqliteCode);

#endif // KMSTOREMESSAGE_H
