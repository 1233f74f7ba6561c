#include "testfiles.h"
#include "zx2dbsqlite.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <thread>
#include <vector>

namespace {

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}

// A statement read from an engine file, without parameters.
QJsonObject statement(const char *id, const char *text)
{
    return QJsonObject{{"id", id}, {"text", text}, {"params", QJsonObject()}};
}

const char *const versionedCreator =
    "CREATE TABLE sys_configure(cfg_key VARCHAR(250), cfg_value VARCHAR(250));\n"
    "INSERT INTO sys_configure VALUES('Database.Version', '1');\n"
    "CREATE TABLE log(step TEXT);";

int mode(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

} // namespace

class TestZX2DBSqlite : public QObject
{
    Q_OBJECT
private:
    QString writeFile(const QString &name, const QByteArray &text)
    {
        const QString path = dir->filePath(name);
        if (!writeTestFile(path, text))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // An open database with the versioned creator and the given engine text.
    bool openVersioned(ZX2DBSqlite &db, const QByteArray &engine)
    {
        return db.open(dir->filePath("db.sqlite"), writeFile("engine.sql", engine),
                       writeFile("creator.sql", versionedCreator));
    }

    QStringList column(ZX2DBSqlite &db, const QString &sql)
    {
        int changes = 0, lastId = 0;
        QList<QJsonObject> rows;
        db.exec(changes, lastId, rows, sql, {}, {});
        QStringList values;
        for (const QJsonObject &row : qAsConst(rows))
            values.append(row.constBegin().value().toVariant().toString());
        return values;
    }

    QScopedPointer<QTemporaryDir> dir;

private slots:
    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
    }

    void engineText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QJsonObject>("expected"); // empty: not stored

        QTest::newRow("@ in every block, the last included")
            << QByteArray("SQL: a\nSELECT @x;\n\nSQL: b\nSELECT @y, 'a@b';")
            << "b" << statement("b", "SELECT :y, 'a:b';\n");
        QTest::newRow("id trimmed and lower-cased")
            << QByteArray("SQL:   Foo_Bar  \nSELECT 1;")
            << "foo_bar" << json(R"({"id":"foo_bar","text":"SELECT 1;\n","params":{}})");
        QTest::newRow("parameter lines")
            << QByteArray("SQL: p\nSELECT :pxyno, :name, :Count, :t;\nparams:\npxyno int\n@name\n"
                          "Count   INTEGER  extra\n:t\tint")
            << "p"
            << json(R"({"id":"p","text":"SELECT :pxyno, :name, :Count, :t;\n",)"
                    R"("params":{"pxyno":"int","name":"string","Count":"integer","t\tint":"string"}})");
        QTest::newRow("later parameter line wins")
            << QByteArray("SQL: p\nSELECT :v;\nParams: ignored rest\nv int\nv double")
            << "p" << json(R"({"id":"p","text":"SELECT :v;\n","params":{"v":"double"}})");
        QTest::newRow("comments cut, also in quotes")
            << QByteArray("-- head\nSQL: c -- the id\n  SELECT '--x' -- cut\n\t FROM t;  \n")
            << "c" << statement("c", "SELECT '\nFROM t;\n");
        QTest::newRow("lines before the first id ignored")
            << QByteArray("SELECT 0;\nparams:\nq int\nsql: d\nSELECT 1;")
            << "d" << json(R"({"id":"d","text":"SELECT 1;\n","params":{}})");
        QTest::newRow("params before any SQL line")
            << QByteArray("SQL: e\nparams:\nSELECT 1;") << "e" << QJsonObject();
        QTest::newRow("id without SQL lines")
            << QByteArray("SQL: f\n\nSQL: g\nSELECT 1;") << "f" << QJsonObject();
        QTest::newRow("file replaces a built-in statement")
            << QByteArray("SQL: configure_get\nSELECT 2;")
            << "configure_get" << json(R"({"id":"configure_get","text":"SELECT 2;\n","params":{}})");
        QTest::newRow("built-in statement kept")
            << QByteArray("SQL: x\nSELECT 2;") << "configure_change"
            << json(R"({"text":"UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;",)"
                    R"("params":{"key":"string","value":"string"}})");
    }
    void engineText()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, id);
        QFETCH(QJsonObject, expected);
        ZX2DBSqlite db;
        QVERIFY(db.loadSqlEngine(writeFile("engine.sql", text)));
        QCOMPARE(db.sqlEngine().value(id).toObject(), expected);
    }

    void engineLoadFailureKeepsEngine()
    {
        ZX2DBSqlite db;
        QVERIFY(db.loadSqlEngine(writeFile("engine.sql", "SQL: a\nSELECT 1;")));
        const QJsonObject engine = db.sqlEngine();
        QCOMPARE(engine.size(), 5);

        QVERIFY(!db.loadSqlEngine(QString()));
        QCOMPARE(db.lastError(), QStringLiteral("Not found engine ddl."));
        QVERIFY(!db.loadSqlEngine(dir->filePath("missing.sql")));
        QCOMPARE(db.lastError(), QStringLiteral("Not found engine ddl."));
        QCOMPARE(db.sqlEngine(), engine);
    }

    void delSqlComments()
    {
        QCOMPARE(ZX2DBSqlite::delSqlComments("a -- x\n\n  -- only\r\n b \n"),
                 QStringList({"a", "", "b"}));
    }

    void binding_data()
    {
        QTest::addColumn<QJsonObject>("values");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("sqlType");
        QTest::addColumn<QJsonValue>("bound"); // as read back

        QTest::newRow("number") << json(R"({"v":3})") << "int" << "integer" << QJsonValue(3);
        QTest::newRow("string under int") << json(R"({"v":"3"})") << "int" << "text" << QJsonValue("3");
        QTest::newRow("missing int") << QJsonObject() << "int" << "integer" << QJsonValue(0);
        QTest::newRow("missing integer") << QJsonObject() << "integer" << "integer" << QJsonValue(0);
        QTest::newRow("missing double") << QJsonObject() << "double" << "integer" << QJsonValue(0);
        QTest::newRow("missing string") << QJsonObject() << "string" << "text" << QJsonValue("");
        QTest::newRow("missing text") << QJsonObject() << "text" << "text" << QJsonValue("");
        QTest::newRow("missing other type") << QJsonObject() << "blob" << "null" << QJsonValue();
        QTest::newRow("type case-sensitive") << QJsonObject() << "INT" << "null" << QJsonValue();
        QTest::newRow("missing undeclared") << QJsonObject() << QString() << "null" << QJsonValue();
        QTest::newRow("null") << json(R"({"v":null})") << "int" << "null" << QJsonValue();
        QTest::newRow("array") << json(R"({"v":[1]})") << "string" << "null" << QJsonValue();
        QTest::newRow("object") << json(R"({"v":{}})") << "string" << "null" << QJsonValue();
        QTest::newRow("fraction") << json(R"({"v":2.5})") << "int" << "real" << QJsonValue(2.5);
        QTest::newRow("above 32 bits") << json(R"({"v":2147483648})") << "int" << "real"
                                       << QJsonValue(2147483648.0);
        QTest::newRow("negative") << json(R"({"v":-7})") << "double" << "integer" << QJsonValue(-7);
        QTest::newRow("true") << json(R"({"v":true})") << "string" << "integer" << QJsonValue(1);
        QTest::newRow("false") << json(R"({"v":false})") << "string" << "integer" << QJsonValue(0);
        QTest::newRow("utf-8") << json(R"({"v":"名称"})") << "int" << "text" << QJsonValue("名称");
    }
    void binding()
    {
        QFETCH(QJsonObject, values);
        QFETCH(QString, type);
        QFETCH(QString, sqlType);
        QFETCH(QJsonValue, bound);
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"), QString(), writeFile("c.sql", "SELECT 1;")));
        QJsonObject types;
        if (!type.isEmpty())
            types.insert("v", type);
        int changes = 0, lastId = 0;
        QList<QJsonObject> rows;
        QVERIFY(db.exec(changes, lastId, rows, "SELECT typeof(:v) AS t, @v AS v;", values, types));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].value("t").toString(), sqlType);
        QCOMPARE(rows[0].value("v"), bound.isNull() ? QJsonValue(QJsonValue::Undefined) : bound);
    }

    void rowConversion()
    {
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"), QString(), writeFile("c.sql", "SELECT 1;")));
        int changes = 0, lastId = 0;
        QList<QJsonObject> rows;
        QVERIFY(db.exec(changes, lastId, rows,
                        "SELECT 5000000000 AS Big, 4294967295 AS AllOnes, NULL AS n, x'00' AS b,"
                        " 1.5 AS F, 'x' AS TxT;", {}, {}));
        QCOMPARE(rows, QList<QJsonObject>({json(R"({"big":705032704,"allones":-1,"f":1.5,"txt":"x"})")}));
    }

    void statementTexts_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("changes");
        QTest::addColumn<QStringList>("table");
        QTest::addColumn<QString>("error");

        QTest::newRow("first fails while running, second runs")
            << "INSERT INTO t VALUES(1); INSERT INTO t VALUES(2);" << true << 1
            << QStringList({"1", "2"}) << "UNIQUE constraint failed: t.a";
        QTest::newRow("first fails to prepare, second skipped")
            << "INSERT INTO nowhere VALUES(1); INSERT INTO t VALUES(2);" << false << 0
            << QStringList({"1"}) << "no such table: nowhere";
        QTest::newRow("second fails while running")
            << "INSERT INTO t VALUES(2); INSERT INTO t VALUES(1);" << true << 0 // SQLite's count after the failure
            << QStringList({"1", "2"}) << "UNIQUE constraint failed: t.a";
        QTest::newRow("update matching nothing")
            << "UPDATE t SET a = 5 WHERE a = 9;" << true << 0 << QStringList({"1"}) << QString();
        QTest::newRow("comments and empty statements")
            << " ; -- note\n INSERT INTO t VALUES(3);;\n /* end */ " << true << 1
            << QStringList({"1", "3"}) << QString();
        QTest::newRow("empty text") << "  \n " << false << 0 << QStringList({"1"}) << QString();
    }
    void statementTexts()
    {
        QFETCH(QString, sql);
        QFETCH(bool, result);
        QFETCH(int, changes);
        QFETCH(QStringList, table);
        QFETCH(QString, error);
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"), QString(),
                        writeFile("c.sql", "CREATE TABLE t(a INTEGER UNIQUE); INSERT INTO t VALUES(1);")));
        int changed = -1, lastId = -1;
        QCOMPARE(db.exec(changed, lastId, sql, {}, {}), result);
        QCOMPARE(changed, changes);
        QCOMPARE(column(db, "SELECT a FROM t ORDER BY a;"), table);
        if (!error.isEmpty())
            QCOMPARE(db.lastError(), error);
    }

    void insertReportsChangesAndId()
    {
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"), QString(),
                        writeFile("c.sql", "CREATE TABLE t(id INTEGER PRIMARY KEY, a);")));
        int changes = 0, lastId = 0;
        QVERIFY(db.exec(changes, lastId, "INSERT INTO t VALUES(41, 1); INSERT INTO t(a) VALUES(2);",
                        {}, {}));
        QCOMPARE(changes, 1);
        QCOMPARE(lastId, 42);
        QVERIFY(db.exec(changes, lastId, "UPDATE t SET a = 0;", {}, {}));
        QCOMPARE(changes, 2);
    }

    void calls()
    {
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"),
                        writeFile("e.sql", "SQL: Foo_Bar\nSELECT :n + 1 AS n, '中文' AS t;\nparams:\nn int"),
                        writeFile("c.sql", "SELECT 1;")));
        int changes = 42, lastId = 42;
        QList<QJsonObject> rows;
        QVERIFY(!db.call(changes, lastId, rows, "Foo_Bar", {}));
        QCOMPARE(db.lastError(), QStringLiteral("sqlid not found: Foo_Bar"));
        QCOMPARE(changes, 42);
        QCOMPARE(lastId, 42);

        QVERIFY(db.call(rows, "foo_bar", {}));
        QVERIFY(db.call(rows, "foo_bar", json(R"({"n":4})")));
        QCOMPARE(rows, QList<QJsonObject>({json(R"({"n":1,"t":"中文"})"), json(R"({"n":5,"t":"中文"})")}));
        QJsonArray array{1};
        QVERIFY(db.call(array, "foo_bar", json(R"({"n":1})")));
        QCOMPARE(array, QJsonArray({1, json(R"({"n":2,"t":"中文"})")}));
    }

    void noConnection()
    {
        ZX2DBSqlite db;
        QVERIFY(db.loadSqlEngine(writeFile("e.sql", "SQL: a\nSELECT 1;")));
        int changes = 0, lastId = 0;
        QVERIFY(!db.exec(changes, lastId, "SELECT 1;", {}, {}));
        QVERIFY(!db.call("a", {}));
        QVERIFY(!db.transactionBegin());
        db.callDetach("a", {});
        QCOMPARE(db.dbVersion(), 0);
        QVERIFY(!db.dbUpgrades());
        QCOMPARE(db.lastError(), QString());
    }

    void transactions()
    {
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"), QString(), writeFile("c.sql", "CREATE TABLE t(a);")));
        QVERIFY(db.transactionBegin());
        int changes = 0, lastId = 0;
        QVERIFY(db.exec(changes, lastId, "INSERT INTO t VALUES(1);", {}, {}));
        QVERIFY(db.transactionRollback());
        QCOMPARE(column(db, "SELECT count(*) FROM t;"), QStringList({"0"}));
        QVERIFY(db.transactionBegin());
        QVERIFY(db.exec(changes, lastId, "INSERT INTO t VALUES(1);", {}, {}));
        QVERIFY(db.transactionCommit());
        QVERIFY(!db.transactionCommit());
        QCOMPARE(column(db, "SELECT count(*) FROM t;"), QStringList({"1"}));
    }

    // A full store is told apart from other failures, in a statement and in
    // a commit alike.
    void fullStoreReportsItsCode()
    {
        ZX2DBSqlite db;
        QVERIFY(db.open(dir->filePath("db.sqlite"), QString(), writeFile("c.sql", "CREATE TABLE t(a);")));
        QCOMPARE(db.lastErrorCode(), 0);
        int changes = 0, lastId = 0;
        QVERIFY(db.exec(changes, lastId, "PRAGMA max_page_count = 3;", {}, {}));
        const QString fill = "INSERT INTO t VALUES(zeroblob(100000));";
        QVERIFY(!db.exec(changes, lastId, fill, {}, {}));
        QCOMPARE(db.lastErrorCode(), 13); // SQLITE_FULL
        QVERIFY(!db.exec(changes, lastId, "SELECT * FROM missing;", {}, {}));
        QCOMPARE(db.lastErrorCode(), 1); // SQLITE_ERROR
        QVERIFY(!db.transactionCommit()); // none open
        QCOMPARE(db.lastErrorCode(), 1);
    }

    void openCreatesDirectoryAndDatabase()
    {
        ZX2DBSqlite db;
        const QString path = dir->filePath("a/b/db.sqlite");
        bool created = false;
        QVERIFY(db.open(path, writeFile("e.sql", "SQL: v\nSELECT 7 AS v;"),
                        writeFile("c.sql", versionedCreator), &created));
        QVERIFY(created);
        QCOMPARE(mode(dir->filePath("a/b")), 0755);

        // An existing directory keeps its mode.
        QCOMPARE(::chmod(QFile::encodeName(dir->filePath("a")).constData(), 0700), 0);
        QVERIFY(db.open(dir->filePath("a/db.sqlite"), QString(), writeFile("c.sql", versionedCreator)));
        QCOMPARE(mode(dir->filePath("a")), 0700);
        QCOMPARE(db.dbVersion(), 1);
        QList<QJsonObject> rows;
        QVERIFY(db.call(rows, "v", {}));
        QCOMPARE(rows.value(0).value("v"), QJsonValue(7));
    }

    void openExistingRunsNoCreator()
    {
        const QString path = dir->filePath("sub/db.sqlite");
        {
            ZX2DBSqlite db;
            QVERIFY(db.open(path, QString(), writeFile("c.sql", versionedCreator)));
        }
        QCOMPARE(::chmod(QFile::encodeName(dir->filePath("sub")).constData(), 0700), 0);
        ZX2DBSqlite db;
        bool created = false;
        QVERIFY(db.open(path, writeFile("e.sql", "SQL: v\nSELECT 7 AS v;"),
                        writeFile("c2.sql", "INSERT INTO log VALUES('again');"), &created));
        QVERIFY(!created);
        QCOMPARE(mode(dir->filePath("sub")), 0700);
        QCOMPARE(column(db, "SELECT count(*) FROM log;"), QStringList({"0"}));
        QVERIFY(db.call("v", {}));
    }

    void failedCreationLeavesNoFile_data()
    {
        QTest::addColumn<QByteArray>("creator"); // null: no creator path
        QTest::addColumn<QString>("error");
        QTest::newRow("no creator path") << QByteArray() << "Not found creator ddl";
        QTest::newRow("first statement invalid")
            << QByteArray("CREATE TABEL x(a); CREATE TABLE y(a);") << "near \"TABEL\": syntax error";
        QTest::newRow("later statement fails")
            << QByteArray("CREATE TABLE y(a); INSERT INTO nowhere VALUES(1);") << "no such table: nowhere";
        QTest::newRow("empty script") << QByteArray("") << QString();
    }
    void failedCreationLeavesNoFile()
    {
        QFETCH(QByteArray, creator);
        QFETCH(QString, error);
        ZX2DBSqlite db;
        const QString path = dir->filePath("db.sqlite");
        bool created = false;
        QVERIFY(!db.open(path, QString(), creator.isNull() ? QString() : writeFile("c.sql", creator),
                         &created));
        QVERIFY(!created);
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(db.lastError(), error);
        QVERIFY(!db.call("configure_alload", {}));
    }

    void openWithHeldCreator()
    {
        ZX2DBSqlite db;
        bool created = false;
        QVERIFY(!db.open(dir->filePath("one.sqlite"), &created));
        QCOMPARE(db.lastError(), QStringLiteral("Not found creator ddl"));
        db.loadSqlCreator(writeFile("c.sql", versionedCreator));
        db.loadSqlCreator(dir->filePath("missing.sql"));
        QVERIFY(db.open(dir->filePath("one.sqlite"), &created));
        QVERIFY(created);
        QCOMPARE(db.dbVersion(), 1);
        QVERIFY(!db.open(QString()));
    }

    void openOnly()
    {
        ZX2DBSqlite db;
        QVERIFY(!db.openOnly(dir->filePath("db.sqlite")));
        QVERIFY(!QFileInfo::exists(dir->filePath("db.sqlite")));
        QVERIFY(openVersioned(db, "SQL: a\nSELECT 1;"));
        QVERIFY(db.openOnly(dir->filePath("db.sqlite")));
        QCOMPARE(db.dbVersion(), 1);
    }

    void upgrades_data()
    {
        QTest::addColumn<QByteArray>("steps");
        QTest::addColumn<int>("version"); // 0: no version row
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("after");
        QTest::addColumn<QStringList>("log");

        const auto step = [](const char *id, const char *sql) {
            return QByteArray("SQL: ") + id + "\n" + sql + "\n\n";
        };
        const QByteArray v11 = step("dbupgrade_v1_1", "INSERT INTO log VALUES('1_1');");
        const QByteArray v12 = step("dbupgrade_v1_2", "INSERT INTO log VALUES('1_2');");
        const QByteArray v13 = step("dbupgrade_v1_3", "INSERT INTO log VALUES('1_3');");
        const QByteArray v21 = step("dbupgrade_v2_1", "INSERT INTO log VALUES('2_1');");
        const QByteArray v21bad = step("dbupgrade_v2_1", "INSERT INTO nowhere VALUES(1);");
        const QByteArray v101 = step("dbupgrade_v10_1", "INSERT INTO log VALUES('10_1');");
        const QByteArray version = step("dbupgrade_version", "UPDATE sys_configure SET cfg_value = 9;");

        QTest::newRow("two steps in order") << v12 + v11 << 1 << true << 2 << QStringList({"1_1", "1_2"});
        QTest::newRow("stops at a missing number") << v11 + v13 << 1 << true << 2 << QStringList({"1_1"});
        QTest::newRow("two versions") << v11 + v12 + v21 << 1 << true << 3
                                      << QStringList({"1_1", "1_2", "2_1"});
        QTest::newRow("later version fails, all rolled back") << v11 + v21bad << 1 << false << 1 << QStringList();
        QTest::newRow("no step 1") << v12 << 1 << false << 1 << QStringList();
        QTest::newRow("version 10 is not version 1") << v101 << 1 << false << 1 << QStringList();
        QTest::newRow("dbupgrade_version is no step") << version << 1 << false << 1 << QStringList();
        QTest::newRow("already current") << v11 << 2 << false << 2 << QStringList();
        QTest::newRow("no version row") << v11 << 0 << false << 0 << QStringList();
        QTest::newRow("step failing in its second statement")
            << v11 + step("dbupgrade_v1_2", "INSERT INTO log VALUES('x'); INSERT INTO nowhere VALUES(1);")
            << 1 << false << 1 << QStringList();
    }
    void upgrades()
    {
        QFETCH(QByteArray, steps);
        QFETCH(int, version);
        QFETCH(bool, result);
        QFETCH(int, after);
        QFETCH(QStringList, log);
        ZX2DBSqlite db;
        QVERIFY(openVersioned(db, steps));
        int changes = 0, lastId = 0;
        QVERIFY(db.exec(changes, lastId, version ? "UPDATE sys_configure SET cfg_value = :v;"
                                                 : "DELETE FROM sys_configure;",
                        json(QByteArray("{\"v\":\"" + QByteArray::number(version) + "\"}")), {}));
        QCOMPARE(db.dbVersion(), version);
        QCOMPARE(db.dbUpgrades(), result);
        QCOMPARE(db.dbVersion(), after);
        QCOMPARE(column(db, "SELECT step FROM log ORDER BY rowid;"), log);
        QVERIFY(db.transactionBegin()); // no transaction was left open
        QVERIFY(db.transactionRollback());
    }

    void upgradeOneVersion()
    {
        ZX2DBSqlite db;
        QVERIFY(openVersioned(db, "SQL: dbupgrade_v1_1\nINSERT INTO log VALUES('1_1');\n"
                                  "SQL: dbupgrade_v3_1\nINSERT INTO log VALUES('3_1');"));
        QVERIFY(db.dbUpgradable(1));
        QVERIFY(!db.dbUpgradable(2));
        QVERIFY(!db.dbUpgrade(2));
        QCOMPARE(db.dbVersion(), 1);
        QVERIFY(db.dbUpgrade(3));
        QCOMPARE(db.dbVersion(), 4);
        QCOMPARE(column(db, "SELECT step FROM log;"), QStringList({"3_1"}));
    }

    // The destructor waits for detached calls, so every one has run afterwards.
    void detachedCallsFinishBeforeDestruction()
    {
        const QByteArray engine = "SQL: add\nINSERT INTO log VALUES(:step);\nparams:\nstep string";
        {
            ZX2DBSqlite db;
            QVERIFY(openVersioned(db, engine));
            for (int i = 0; i < 20; ++i)
                db.callDetach("add", QJsonObject{{"step", QString::number(i)}});
        }
        ZX2DBSqlite db;
        QVERIFY(openVersioned(db, engine));
        QCOMPARE(column(db, "SELECT count(*) FROM log;"), QStringList({"20"}));
    }

    void concurrentCalls()
    {
        ZX2DBSqlite db;
        QVERIFY(openVersioned(db, "SQL: add\nINSERT INTO log VALUES(:step);\nparams:\nstep string\n"
                                  "SQL: bad\nINSERT INTO nowhere VALUES(1);"));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&db, t] {
                for (int i = 0; i < 50; ++i) {
                    db.call("add", QJsonObject{{"step", QString("%1_%2").arg(t).arg(i)}});
                    db.call("bad", {});
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(column(db, "SELECT count(DISTINCT step) FROM log;"), QStringList({"200"}));
        QCOMPARE(db.lastError(), QStringLiteral("no such table: nowhere"));
    }
};

QTEST_GUILESS_MAIN(TestZX2DBSqlite)
#include "tst_zx2dbsqlite.moc"
