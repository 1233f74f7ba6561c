// Chinese messages for the failures of the rule store.
#include "kmstoremessage.h"

#include <sqlite3.h>

QString storeMessage(int sqliteCode)
{
    switch (sqliteCode) {
    case SQLITE_FULL:
        return QStringLiteral("磁盘空间不足,规则未能保存");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("数据库忙,请稍后再试");
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
        return QStringLiteral("数据库无法写入");
    case SQLITE_IOERR:
        return QStringLiteral("数据库读写失败");
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return QStringLiteral("数据库已损坏");
    case SQLITE_NOMEM:
        return QStringLiteral("内存不足");
    default:
        return QStringLiteral("数据库操作失败(错误码%1)").arg(sqliteCode);
    }
}
