// The SQL engine's text loader (ZX2DBSqlite::loadSqlEngine and
// delSqlComments) on arbitrary engine texts.
//
// Every loaded engine must keep the built-in statements unless the text
// replaces them, and every statement it stores has a lower-case id, a
// non-empty text without "@" and an object of parameter types. The stored
// statements then run once against a scratch database with default values,
// which exercises the binder on whatever the text declared.
#include "zx2dbsqlite.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir *scratch = nullptr;
ZX2DBSqlite *database = nullptr;

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Statements that could run for long, grow without bound or touch files
// outside the scratch database are looked at but not run.
bool safeToRun(const QString &text)
{
    static const QRegularExpression risky(
        QStringLiteral("recursive|with|attach|vacuum|blob|printf|format|replace|pragma|load_extension|glob|like|commit|savepoint|release|\\bend\\b"),
        QRegularExpression::CaseInsensitiveOption);
    return text.size() < 2000 && !risky.match(text).hasMatch();
}

void checkStatement(const QString &id, const QJsonObject &statement)
{
    check(id == id.toLower(), "statement id not lower case");
    check(!id.isEmpty(), "statement with an empty id");
    const QString text = statement.value(QStringLiteral("text")).toString();
    check(!text.isEmpty(), "statement with an empty text stored");
    check(!text.contains(QLatin1Char('@')), "\"@\" left in a stored statement");
    check(statement.value(QStringLiteral("params")).isObject()
              || !statement.contains(QStringLiteral("params")),
          "parameter list is not an object");
    const QJsonObject params = statement.value(QStringLiteral("params")).toObject();
    for (auto it = params.begin(); it != params.end(); ++it) {
        const QString type = it.value().toString();
        check(type == type.toLower(), "parameter type not lower case");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    scratch = new QTemporaryDir;
    QFile creator(scratch->filePath(QStringLiteral("creator.sql")));
    creator.open(QIODevice::WriteOnly);
    creator.write("CREATE TABLE sys_configure(cfg_key TEXT, cfg_value TEXT);\n"
                  "INSERT INTO sys_configure VALUES('Database.Version', '1');\n"
                  "CREATE TABLE t(a INTEGER, b TEXT, c REAL);\n");
    creator.close();
    database = new ZX2DBSqlite;
    database->open(scratch->filePath(QStringLiteral("fuzz.db")), QString(),
                   scratch->filePath(QStringLiteral("creator.sql")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const QString enginePath = scratch->filePath(QStringLiteral("engine.sql"));
    QFile file(enginePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(bytes);
    file.close();

    ZX2DBSqlite::delSqlComments(QString::fromUtf8(bytes));

    check(database->loadSqlEngine(enginePath), "a readable engine file did not load");
    const QJsonObject engine = database->sqlEngine();
    for (const char *builtIn : {"configure_alload", "configure_get", "configure_change", "configure_append"})
        check(engine.contains(QLatin1String(builtIn)), "built-in statement lost");
    for (auto it = engine.begin(); it != engine.end(); ++it)
        checkStatement(it.key(), it.value().toObject());

    database->transactionBegin();
    for (auto it = engine.begin(); it != engine.end(); ++it) {
        if (!safeToRun(it.value().toObject().value(QStringLiteral("text")).toString()))
            continue;
        QList<QJsonObject> rows;
        int changes = 0;
        int lastId = 0;
        database->call(changes, lastId, rows, it.key(), QJsonObject());
    }
    database->transactionRollback();
    return 0;
}
