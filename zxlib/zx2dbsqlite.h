#ifndef ZX2DBSQLITE_H
#define ZX2DBSQLITE_H

#include <QFileDevice>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class ZX2DBSqlitePrivate;

// One SQLite connection that runs SQL through named statements.
//
// The statements come from an engine text: blocks that start with a line
// "SQL: <id>", hold the SQL lines and optionally a "params:" line followed by
// one "<name> <type>" line per parameter ("--" starts a comment). Every engine
// also holds the built-in configure_* statements on the sys_configure table.
// Parameters are always named (":name", "@name" or "$name"); a value missing
// from the caller's object is bound by its declared type: "string"/"text" as
// the empty text, "int"/"integer"/"double" as 0, anything else as NULL.
//
// Rows come back as JSON objects keyed by the lower-case column name: INTEGER
// as a number truncated to 32 bits, FLOAT as a double, TEXT as a string; NULL
// and BLOB columns are left out.
//
// Thread safety: one object is shared by many threads. The connection is
// opened in SQLite's serialized mode and the engine sits behind a read-write
// lock, so exec/call/callDetach may run concurrently. open, openOnly, close
// and the upgrades must not run while other threads use the object; close
// waits for statements that are still running. Failures never throw: they
// return false and leave a message in lastError(), which success never clears.
class ZX2DBSqlite
{
public:
    ZX2DBSqlite();
    // Waits for the statements started by callDetach, then closes.
    ~ZX2DBSqlite();

    QString lastError() const;
    QJsonObject sqlEngine() const;

    // Replaces the engine by the built-in statements plus those of the engine
    // text file (or resource) at path. False when the path is empty ("Not
    // found engine ddl.") or the file cannot be read; the engine is kept then.
    bool loadSqlEngine(const QString &path);
    // The lines of an engine text: split at line feeds (empty pieces dropped),
    // "--" comments cut, trimmed; lines that became empty stay as "".
    static QStringList delSqlComments(const QString &text);

    // Runs every statement of sql in turn. True when at least one statement
    // finished or delivered a row; a statement that fails to prepare stops the
    // text, one that fails while running does not. changes/lastId describe the
    // last statement that finished; rows are appended.
    bool exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
              const QJsonObject &values, const QJsonObject &types);
    bool exec(int &changes, int &lastId, const QString &sql,
              const QJsonObject &values, const QJsonObject &types);

    // Runs the engine statement sqlid ("sqlid not found: <id>" when missing).
    bool call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sqlid,
              const QJsonObject &values);
    bool call(int &changes, int &lastId, const QString &sqlid, const QJsonObject &values);
    bool call(const QString &sqlid, const QJsonObject &values);
    bool call(QList<QJsonObject> &rows, const QString &sqlid, const QJsonObject &values);
    bool call(int &changes, int &lastId, QJsonArray &rows, const QString &sqlid,
              const QJsonObject &values);
    bool call(QJsonArray &rows, const QString &sqlid, const QJsonObject &values);
    // Runs call(sqlid, values) on a thread of its own and returns at once; the
    // outcome is not reported. Does nothing without a connection.
    void callDetach(const QString &sqlid, const QJsonObject &values);

    // SQLite's primary result code (SQLITE_FULL, ...) of the failure that
    // lastError() describes; 0 before any failure with a code.
    int lastErrorCode() const;

    // Their failure messages do not reach lastError(); their codes reach
    // lastErrorCode().
    bool transactionBegin();
    bool transactionCommit();
    bool transactionRollback();

    // The mode the database file and its companions (-wal, -shm,
    // -journal) get at every open, whatever the umask; when not set (the
    // default), a new file gets SQLite's 0644 less the umask and existing
    // ones keep theirs.
    void setFileMode(QFileDevice::Permissions mode);

    // Opens the database at path. A missing file is created, with its
    // directory (mode 755), from the creator script file creator; created is
    // then set to true (it is never set to false: the caller initialises it).
    // A creation that fails leaves no file. The engine file is loaded after
    // every successful open.
    bool open(const QString &path, const QString &engine, const QString &creator,
              bool *created = nullptr);
    // The same with the creator script already loaded by loadSqlCreator and
    // without loading an engine.
    bool open(const QString &path, bool *created = nullptr);
    // Opens an existing file only.
    bool openOnly(const QString &path);
    void close();
    // Keeps the trimmed text of the file as creator script; a file that cannot
    // be read leaves the script unchanged.
    void loadSqlCreator(const QString &path);

    // The 'Database.Version' value of sys_configure; 0 when it cannot be read.
    int dbVersion();
    // Whether the engine holds a step "dbupgrade_v<version>_<k>".
    bool dbUpgradable(int version) const;
    // Runs the steps dbupgrade_v<version>_1, _2, ... (up to the first missing
    // number) and stores version + 1, all in one transaction.
    bool dbUpgrade(int version);
    // Upgrades from the stored version through every version that has steps,
    // in one transaction. False when nothing was upgraded.
    bool dbUpgrades();

private:
    Q_DISABLE_COPY(ZX2DBSqlite)
    friend class ZX2DBSqlitePrivate;
    ZX2DBSqlitePrivate *const d; // created by the constructor, deleted by the destructor
};

#endif // ZX2DBSQLITE_H
