#include "zx2dbsqlite.h"

#include "zx2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QReadWriteLock>
#include <QTextStream>
#include <QVector>

#include <sqlite3.h>

#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Statements every engine starts from; they address the sys_configure table
// that every database of the framework has.
const QJsonObject &builtInStatements()
{
    static const QJsonObject kStatements = [] {
        const auto statement = [](const char *text, const QJsonObject &params) {
            return QJsonObject{{QStringLiteral("text"), QLatin1String(text)},
                               {QStringLiteral("params"), params}};
        };
        const QJsonObject key{{QStringLiteral("key"), QStringLiteral("string")}};
        const QJsonObject keyValue{{QStringLiteral("key"), QStringLiteral("string")},
                                   {QStringLiteral("value"), QStringLiteral("string")}};
        return QJsonObject{
            {QStringLiteral("configure_alload"),
             statement("SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;", key)},
            {QStringLiteral("configure_get"),
             statement("SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;", key)},
            {QStringLiteral("configure_change"),
             statement("UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;", keyValue)},
            {QStringLiteral("configure_append"),
             statement("INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);", keyValue)},
        };
    }();
    return kStatements;
}

// Engine and creator files are UTF-8 texts (the compiled-in resources are):
// decoding them by a non-UTF-8 locale would mangle non-ASCII SQL.
bool readText(const QString &path, QString *text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    *text = stream.readAll();
    return true;
}

// Reads the blocks of an engine text ("SQL:" id, SQL lines, "params:" and
// one "name type" line per parameter) into a statement table.
class EngineReader
{
public:
    explicit EngineReader(QJsonObject &target) : engine(target) {}

    void read(const QString &engineText)
    {
        const QStringList lines = ZX2DBSqlite::delSqlComments(engineText);
        for (const QString &line : lines)
            readLine(line);
        store();
    }

private:
    void readLine(const QString &line)
    {
        if (line.isEmpty())
            return;
        if (line.startsWith(QLatin1String("SQL:"), Qt::CaseInsensitive)) {
            store();
            id = line.mid(4).trimmed().toLower();
            text.clear();
            params = QJsonObject();
            inParams = false;
        } else if (line.startsWith(QLatin1String("Params:"), Qt::CaseInsensitive)) {
            inParams = true;
        } else if (!id.isEmpty()) {
            if (inParams) {
                readParam(line);
            } else {
                text += line;
                text += QLatin1Char('\n');
            }
        }
    }

    // Only a blank separates name and type; a tab belongs to the word.
    void readParam(const QString &line)
    {
        const int blank = line.indexOf(QLatin1Char(' '));
        QString name = blank < 0 ? line : line.left(blank);
        QString type = QStringLiteral("string");
        if (blank >= 0) {
            const QString rest = line.mid(blank + 1).trimmed();
            type = rest.left(rest.indexOf(QLatin1Char(' '))).toLower();
        }
        if (name.startsWith(QLatin1Char('@')) || name.startsWith(QLatin1Char(':')))
            name.remove(0, 1);
        params.insert(name, type);
    }

    void store()
    {
        if (id.isEmpty() || text.isEmpty())
            return;
        text.replace(QLatin1Char('@'), QLatin1Char(':'));
        engine.insert(id, QJsonObject{{QStringLiteral("id"), id},
                                      {QStringLiteral("text"), text},
                                      {QStringLiteral("params"), params}});
    }

    QJsonObject &engine;
    QString id;
    QString text;
    QJsonObject params;
    bool inParams = false;
};

// The white space that QByteArray::trimmed() removes.
const char *skipBlanks(const char *text, const char *end)
{
    while (text < end && (*text == ' ' || (*text >= '\t' && *text <= '\r')))
        ++text;
    return text;
}

bool isInt32(double number)
{
    return number >= INT_MIN && number <= INT_MAX && number == double(qint32(number));
}

// A given value binds by its JSON type; null, arrays and objects stay NULL.
void bindValue(sqlite3_stmt *stmt, int index, const QJsonValue &value,
               QVector<QByteArray> &boundTexts)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        sqlite3_bind_int64(stmt, index, value.toBool() ? 1 : 0);
        break;
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (isInt32(number))
            sqlite3_bind_int64(stmt, index, qint64(number));
        else
            sqlite3_bind_double(stmt, index, number);
        break;
    }
    case QJsonValue::String:
        boundTexts.append(value.toString().toUtf8());
        sqlite3_bind_text(stmt, index, boundTexts.constLast().constData(),
                          boundTexts.constLast().size(), SQLITE_STATIC);
        break;
    default:
        break;
    }
}

// A missing value binds by the declared type; other types stay NULL.
void bindDefault(sqlite3_stmt *stmt, int index, const QString &type)
{
    if (type == QLatin1String("string") || type == QLatin1String("text"))
        sqlite3_bind_text(stmt, index, "", 0, SQLITE_STATIC);
    else if (type == QLatin1String("int") || type == QLatin1String("integer")
             || type == QLatin1String("double"))
        sqlite3_bind_int64(stmt, index, 0);
}

// SQLite's name keeps its prefix (":", "@" or "$"); values are keyed without it.
// A nameless "?" has nothing to look up and stays NULL.
void bindParameter(sqlite3_stmt *stmt, int index, const QJsonObject &values,
                   const QJsonObject &types, QVector<QByteArray> &boundTexts)
{
    const char *rawName = sqlite3_bind_parameter_name(stmt, index);
    if (!rawName)
        return;
    const QString name = QString::fromUtf8(rawName + 1);
    const auto value = values.constFind(name);
    if (value != values.constEnd())
        bindValue(stmt, index, value.value(), boundTexts);
    else
        bindDefault(stmt, index, types.value(name).toString());
}

QStringList columnNames(sqlite3_stmt *stmt)
{
    QStringList names;
    const int count = sqlite3_column_count(stmt);
    for (int i = 0; i < count; ++i)
        names.append(QString::fromUtf8(sqlite3_column_name(stmt, i)).toLower());
    return names;
}

QJsonObject rowObject(sqlite3_stmt *stmt, const QStringList &names)
{
    QJsonObject row;
    for (int i = 0; i < names.size(); ++i) {
        switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
            row.insert(names.at(i), qint32(sqlite3_column_int64(stmt, i)));
            break;
        case SQLITE_FLOAT:
            row.insert(names.at(i), sqlite3_column_double(stmt, i));
            break;
        case SQLITE_TEXT:
            row.insert(names.at(i),
                       QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)),
                                         sqlite3_column_bytes(stmt, i)));
            break;
        default: // NULL and BLOB are left out
            break;
        }
    }
    return row;
}

QString stepPrefix(int version)
{
    return QStringLiteral("dbupgrade_v%1_").arg(version);
}

bool hasSteps(const QJsonObject &engine, int version)
{
    const QString prefix = stepPrefix(version);
    for (auto it = engine.constBegin(); it != engine.constEnd(); ++it) {
        if (it.key().startsWith(prefix))
            return true;
    }
    return false;
}

} // namespace

class ZX2DBSqlitePrivate
{
public:
    explicit ZX2DBSqlitePrivate(ZX2DBSqlite *owner) : q(owner) {}

    void setError(const QString &text, int code);
    void setErrorCode(int code);
    // Gives the file at path (created empty when missing) and the companions
    // SQLite keeps beside it the file mode; SQLite creates later companions
    // with the mode of the database file.
    bool applyFileMode(const QString &file, bool create);
    bool openConnection(const QString &file, int flags);
    bool openOrCreate(const QString &file, const QString *creatorFile, bool *created);
    void discardNewFile(const QString &file);
    bool run(int &changes, int &lastId, QList<QJsonObject> *rows, const QString &sql,
             const QJsonObject &values, const QJsonObject &types, bool *allFinished);
    bool prepare(const char *text, const char *end, sqlite3_stmt **stmt, const char **tail);
    bool step(sqlite3_stmt *stmt, QList<QJsonObject> *rows, bool &result, int &changes,
              int &lastId);
    bool callStatement(int &changes, int &lastId, QList<QJsonObject> *rows,
                       const QString &sqlid, const QJsonObject &values);
    bool runScript(const QString &sql, const QJsonObject &types);
    int runSteps(const QJsonObject &engine, int version);
    bool finishUpgrade(int version);
    void detachedFinished();
    bool runTransaction(const char *sql);

    ZX2DBSqlite *const q;

    // Statements hold connectionLock for reading while they use db; open and
    // close take it for writing, so a handle is never closed under a running
    // statement.
    QReadWriteLock connectionLock;
    sqlite3 *db = nullptr;

    QMutex errorLock; // guards lastError and errorCode, written by any thread
    QString lastError;
    int errorCode = 0;
    QFileDevice::Permissions fileMode; // none: SQLite's own

    QReadWriteLock engineLock; // guards engine
    QJsonObject engine;

    QString creator;

    // Threads started by callDetach use the object; the destructor waits for them.
    std::mutex detachedLock;
    std::condition_variable detachedDone;
    int detached = 0;
};

void ZX2DBSqlitePrivate::setError(const QString &text, int code)
{
    QMutexLocker locker(&errorLock);
    lastError = text;
    errorCode = code & 0xff;
}

void ZX2DBSqlitePrivate::setErrorCode(int code)
{
    QMutexLocker locker(&errorLock);
    errorCode = code & 0xff;
}

bool ZX2DBSqlitePrivate::applyFileMode(const QString &file, bool create)
{
    if (fileMode == QFileDevice::Permissions())
        return true;
    if (create) {
        QFile empty(file);
        if (!empty.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            setError(empty.errorString(), SQLITE_CANTOPEN);
            return false;
        }
    }
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        const QString path = file + QLatin1String(suffix);
        if (QFileInfo::exists(path) && !QFile::setPermissions(path, fileMode) && !*suffix) {
            setError(QStringLiteral("cannot set the mode of ") + path, SQLITE_PERM);
            if (create)
                QFile::remove(file);
            return false;
        }
    }
    return true;
}

bool ZX2DBSqlitePrivate::openConnection(const QString &file, int flags)
{
    sqlite3 *handle = nullptr;
    // Serialized mode: connection threads share this one handle.
    const int rc = sqlite3_open_v2(file.toUtf8().constData(), &handle,
                                   flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        setError(QString::fromUtf8(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)), rc);
        sqlite3_close_v2(handle);
        return false;
    }
    QWriteLocker locker(&connectionLock);
    db = handle;
    return true;
}

// creatorFile null: create from the script already held.
bool ZX2DBSqlitePrivate::openOrCreate(const QString &file, const QString *creatorFile,
                                      bool *created)
{
    q->close();
    if (file.isEmpty())
        return false;
    const bool existed = QFileInfo::exists(file);
    const QString dir = QFileInfo(file).absolutePath();
    // Only a directory made here gets mode 755: re-moding an existing one
    // (say /tmp) would change permissions that others rely on.
    if (!existed && !QFileInfo::exists(dir) && QDir().mkpath(dir)) {
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                       | QFile::ReadGroup | QFile::ExeGroup
                                       | QFile::ReadOther | QFile::ExeOther);
    }
    if (!applyFileMode(file, !existed))
        return false;
    if (!openConnection(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) {
        if (!existed)
            QFile::remove(file);
        return false;
    }
    if (!existed) {
        if (creatorFile ? creatorFile->isEmpty() : creator.isEmpty()) {
            setError(QStringLiteral("Not found creator ddl"), 0);
            discardNewFile(file);
            return false;
        }
        if (creatorFile)
            q->loadSqlCreator(*creatorFile);
        if (!runScript(creator, QJsonObject())) {
            discardNewFile(file);
            return false;
        }
        if (created)
            *created = true;
    }
    return true;
}

void ZX2DBSqlitePrivate::discardNewFile(const QString &file)
{
    q->close();
    QFile::remove(file);
}

// allFinished (may be null) is cleared when any statement of sql failed.
bool ZX2DBSqlitePrivate::run(int &changes, int &lastId, QList<QJsonObject> *rows,
                             const QString &sql, const QJsonObject &values,
                             const QJsonObject &types, bool *allFinished)
{
    changes = 0;
    lastId = 0;
    QReadLocker connection(&connectionLock);
    if (!db)
        return false;
    const QByteArray utf8 = sql.toUtf8().trimmed();
    const char *text = utf8.constData();
    const char *const end = text + utf8.size();
    QVector<QByteArray> boundTexts; // bound with SQLITE_STATIC: keep alive until finalize
    bool result = false;
    while (text < end) {
        sqlite3_stmt *stmt = nullptr;
        const char *tail = end;
        const bool prepared = prepare(text, end, &stmt, &tail);
        if (!prepared || (!stmt && tail <= text)) {
            if (allFinished)
                *allFinished = false;
            break;
        }
        text = skipBlanks(tail, end);
        if (!stmt) // only a comment or a lone ";"
            continue;
        const int count = sqlite3_bind_parameter_count(stmt);
        for (int i = 1; i <= count; ++i)
            bindParameter(stmt, i, values, types, boundTexts);
        if (!step(stmt, rows, result, changes, lastId) && allFinished)
            *allFinished = false;
        sqlite3_finalize(stmt);
        boundTexts.clear();
    }
    return result;
}

// The message is read under the connection's mutex so that it is this
// call's own and not that of another thread's later failure.
bool ZX2DBSqlitePrivate::prepare(const char *text, const char *end, sqlite3_stmt **stmt,
                                 const char **tail)
{
    sqlite3_mutex *mutex = sqlite3_db_mutex(db);
    sqlite3_mutex_enter(mutex);
    const bool ok = sqlite3_prepare_v2(db, text, int(end - text), stmt, tail) == SQLITE_OK;
    if (!ok)
        setError(QString::fromUtf8(sqlite3_errmsg(db)), sqlite3_errcode(db));
    sqlite3_mutex_leave(mutex);
    return ok;
}

// Steps stmt to its end; false when a step failed. result, changes and lastId
// follow the rules of exec.
bool ZX2DBSqlitePrivate::step(sqlite3_stmt *stmt, QList<QJsonObject> *rows, bool &result,
                              int &changes, int &lastId)
{
    const QStringList names = rows ? columnNames(stmt) : QStringList();
    sqlite3_mutex *mutex = sqlite3_db_mutex(db);
    for (;;) {
        sqlite3_mutex_enter(mutex);
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            sqlite3_mutex_leave(mutex);
            if (rows)
                rows->append(rowObject(stmt, names));
            result = true;
            continue;
        }
        const bool done = rc == SQLITE_DONE;
        if (!done)
            setError(QString::fromUtf8(sqlite3_errmsg(db)), rc);
        if (done || result) {
            changes = sqlite3_changes(db);
            lastId = qint32(sqlite3_last_insert_rowid(db));
            result = true;
        }
        sqlite3_mutex_leave(mutex);
        return done;
    }
}

bool ZX2DBSqlitePrivate::callStatement(int &changes, int &lastId, QList<QJsonObject> *rows,
                                       const QString &sqlid, const QJsonObject &values)
{
    QJsonObject statement;
    {
        QReadLocker locker(&engineLock);
        statement = engine.value(sqlid).toObject();
    }
    if (statement.isEmpty()) {
        setError(QStringLiteral("sqlid not found: ") + sqlid, 0);
        return false;
    }
    return run(changes, lastId, rows, statement.value(QStringLiteral("text")).toString(), values,
               statement.value(QStringLiteral("params")).toObject(), nullptr);
}

// Creator scripts and upgrade steps succeed only when every statement does:
// a half-run script must not pass for a created or upgraded database.
bool ZX2DBSqlitePrivate::runScript(const QString &sql, const QJsonObject &types)
{
    int changes = 0;
    int lastId = 0;
    bool allFinished = true;
    const bool any = run(changes, lastId, nullptr, sql, QJsonObject(), types, &allFinished);
    return any && allFinished;
}

// Runs dbupgrade_v<version>_1, _2, ... up to the first missing number. Returns
// how many ran, or -1 when one failed.
int ZX2DBSqlitePrivate::runSteps(const QJsonObject &steps, int version)
{
    const QString prefix = stepPrefix(version);
    int ran = 0;
    for (int k = 1;; ++k) {
        const QJsonObject statement = steps.value(prefix + QString::number(k)).toObject();
        if (statement.isEmpty())
            return ran;
        if (!runScript(statement.value(QStringLiteral("text")).toString(),
                       statement.value(QStringLiteral("params")).toObject()))
            return -1;
        ++ran;
    }
}

// Stores version inside the open upgrade transaction and commits it; rolls
// back when either fails.
bool ZX2DBSqlitePrivate::finishUpgrade(int version)
{
    int changes = 0;
    int lastId = 0;
    const QString sql = QStringLiteral("UPDATE sys_configure SET cfg_value = %1"
                                       " WHERE cfg_key = 'Database.Version';").arg(version);
    if (q->exec(changes, lastId, sql, QJsonObject(), QJsonObject()) && changes > 0
        && q->transactionCommit())
        return true;
    q->transactionRollback();
    return false;
}

bool ZX2DBSqlitePrivate::runTransaction(const char *sql)
{
    QReadLocker connection(&connectionLock);
    if (!db)
        return false;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        setErrorCode(rc);
    return rc == SQLITE_OK;
}

void ZX2DBSqlitePrivate::detachedFinished()
{
    std::lock_guard<std::mutex> locker(detachedLock);
    --detached;
    detachedDone.notify_all();
}

ZX2DBSqlite::ZX2DBSqlite()
    : d(new ZX2DBSqlitePrivate(this))
{
}

ZX2DBSqlite::~ZX2DBSqlite()
{
    {
        std::unique_lock<std::mutex> locker(d->detachedLock);
        d->detachedDone.wait(locker, [this] { return d->detached == 0; });
    }
    close();
    delete d;
}

QString ZX2DBSqlite::lastError() const
{
    QMutexLocker locker(&d->errorLock);
    return d->lastError;
}

int ZX2DBSqlite::lastErrorCode() const
{
    QMutexLocker locker(&d->errorLock);
    return d->errorCode;
}

void ZX2DBSqlite::setFileMode(QFileDevice::Permissions mode)
{
    d->fileMode = mode;
}

QJsonObject ZX2DBSqlite::sqlEngine() const
{
    QReadLocker locker(&d->engineLock);
    return d->engine;
}

bool ZX2DBSqlite::loadSqlEngine(const QString &path)
{
    if (path.isEmpty()) {
        d->setError(QStringLiteral("Not found engine ddl."), 0);
        return false;
    }
    QString text;
    if (!readText(path, &text))
        return false;
    QJsonObject engine = builtInStatements();
    EngineReader(engine).read(text.trimmed());
    QWriteLocker locker(&d->engineLock);
    d->engine = engine;
    return true;
}

QStringList ZX2DBSqlite::delSqlComments(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines) {
        const int comment = line.indexOf(QLatin1String("--"));
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
    }
    return lines;
}

bool ZX2DBSqlite::exec(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sql,
                       const QJsonObject &values, const QJsonObject &types)
{
    return d->run(changes, lastId, &rows, sql, values, types, nullptr);
}

bool ZX2DBSqlite::exec(int &changes, int &lastId, const QString &sql, const QJsonObject &values,
                       const QJsonObject &types)
{
    return d->run(changes, lastId, nullptr, sql, values, types, nullptr);
}

bool ZX2DBSqlite::call(int &changes, int &lastId, QList<QJsonObject> &rows, const QString &sqlid,
                       const QJsonObject &values)
{
    return d->callStatement(changes, lastId, &rows, sqlid, values);
}

bool ZX2DBSqlite::call(int &changes, int &lastId, const QString &sqlid, const QJsonObject &values)
{
    return d->callStatement(changes, lastId, nullptr, sqlid, values);
}

bool ZX2DBSqlite::call(const QString &sqlid, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return d->callStatement(changes, lastId, nullptr, sqlid, values);
}

bool ZX2DBSqlite::call(QList<QJsonObject> &rows, const QString &sqlid, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return d->callStatement(changes, lastId, &rows, sqlid, values);
}

bool ZX2DBSqlite::call(int &changes, int &lastId, QJsonArray &rows, const QString &sqlid,
                       const QJsonObject &values)
{
    QList<QJsonObject> list;
    const bool ok = d->callStatement(changes, lastId, &list, sqlid, values);
    for (const QJsonObject &row : qAsConst(list))
        rows.append(row);
    return ok;
}

bool ZX2DBSqlite::call(QJsonArray &rows, const QString &sqlid, const QJsonObject &values)
{
    int changes = 0;
    int lastId = 0;
    return call(changes, lastId, rows, sqlid, values);
}

void ZX2DBSqlite::callDetach(const QString &sqlid, const QJsonObject &values)
{
    {
        QReadLocker connection(&d->connectionLock);
        if (!d->db)
            return;
    }
    {
        std::lock_guard<std::mutex> locker(d->detachedLock);
        ++d->detached;
    }
    std::thread([this, sqlid, values] {
        call(sqlid, values);
        d->detachedFinished();
    }).detach();
}

bool ZX2DBSqlite::transactionBegin()
{
    return d->runTransaction("begin transaction");
}

bool ZX2DBSqlite::transactionCommit()
{
    return d->runTransaction("commit transaction");
}

bool ZX2DBSqlite::transactionRollback()
{
    return d->runTransaction("rollback transaction");
}

bool ZX2DBSqlite::open(const QString &path, const QString &engine, const QString &creator,
                       bool *created)
{
    if (!d->openOrCreate(path, &creator, created))
        return false;
    loadSqlEngine(engine);
    return true;
}

bool ZX2DBSqlite::open(const QString &path, bool *created)
{
    return d->openOrCreate(path, nullptr, created);
}

bool ZX2DBSqlite::openOnly(const QString &path)
{
    close();
    if (!QFileInfo::exists(path) || !d->applyFileMode(path, false))
        return false;
    return d->openConnection(path, SQLITE_OPEN_READWRITE);
}

void ZX2DBSqlite::close()
{
    QWriteLocker connection(&d->connectionLock);
    if (d->db) {
        sqlite3_close_v2(d->db);
        d->db = nullptr;
    }
}

void ZX2DBSqlite::loadSqlCreator(const QString &path)
{
    QString text;
    if (readText(path, &text))
        d->creator = text.trimmed();
}

int ZX2DBSqlite::dbVersion()
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows;
    const QString sql = QStringLiteral(
        "SELECT * FROM sys_configure WHERE cfg_key = 'Database.Version' LIMIT 1;");
    if (!exec(changes, lastId, rows, sql, QJsonObject(), QJsonObject()) || rows.isEmpty())
        return 0;
    return toInt(rows.first().value(QStringLiteral("cfg_value")));
}

bool ZX2DBSqlite::dbUpgradable(int version) const
{
    return hasSteps(sqlEngine(), version);
}

bool ZX2DBSqlite::dbUpgrade(int version)
{
    const QJsonObject engine = sqlEngine();
    transactionBegin();
    if (d->runSteps(engine, version) <= 0) {
        transactionRollback();
        return false;
    }
    return d->finishUpgrade(version + 1);
}

bool ZX2DBSqlite::dbUpgrades()
{
    const QJsonObject engine = sqlEngine();
    int version = dbVersion();
    transactionBegin();
    bool failed = version <= 0; // a database without a version is never upgraded
    int total = 0;
    while (!failed && hasSteps(engine, version)) {
        const int ran = d->runSteps(engine, version);
        failed = ran < 0 || (ran == 0 && total == 0);
        total += ran;
        ++version;
    }
    if (failed || total == 0) {
        transactionRollback();
        return false;
    }
    return d->finishUpgrade(version);
}
