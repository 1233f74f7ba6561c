#include "kmreverseproxyresources.h"
#include "zx2dbsqlite.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// The rule database as the service builds it from its compiled-in resources.
class TestKMReverseproxyStore : public QObject
{
    Q_OBJECT
private:
    static QJsonObject rule(const QString &name, int port, const QString &path)
    {
        const QJsonObject params{{"name", name},
                                 {"source", QJsonObject{{"protocol", "http"}, {"port", port}, {"path", path}}},
                                 {"dest", QJsonObject{{"protocol", "http"}, {"port", 8081}}}};
        return QJsonObject{{"name", name},
                           {"srcprotocol", "http"},
                           {"srcport", port},
                           {"srcpath", path},
                           {"srcurl", QString("://:%1%2").arg(port).arg(path)},
                           {"params", QString::fromUtf8(QJsonDocument(params).toJson(QJsonDocument::Compact))}};
    }

    int append(const QString &name, int port = 0, const QString &path = "/app")
    {
        int changes = 0, lastId = 0;
        if (!db->call(changes, lastId, "reverseproxy_append", rule(name, port, path)) || changes != 1)
            return -1;
        return lastId;
    }

    QList<int> numbers()
    {
        QList<QJsonObject> rows;
        db->call(rows, "reverseproxy_alload", {});
        QList<int> result;
        for (const QJsonObject &row : qAsConst(rows))
            result.append(row.value("pxyno").toInt());
        return result;
    }

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<ZX2DBSqlite> db;
    bool created = false;

private slots:
    void initTestCase() { initReverseproxyResources(); }

    void init()
    {
        dir.reset(new QTemporaryDir);
        QVERIFY(dir->isValid());
        db.reset(new ZX2DBSqlite);
        created = false;
        QVERIFY(db->open(dir->filePath("etc/reverseproxy/reverseproxy.db"), ":/kmreverseproxy/engine.sql",
                         ":/kmreverseproxy/creator.sql", &created));
    }

    void freshDatabase()
    {
        QVERIFY(created);
        QList<QJsonObject> rows;
        QVERIFY(db->call(rows, "configure_alload", {}));
        QCOMPARE(rows.size(), 5);
        QJsonObject settings;
        for (const QJsonObject &row : qAsConst(rows))
            settings.insert(row.value("key").toString(), row.value("value"));
        QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                    .match(settings.take("Database.First.Date").toString()).hasMatch());
        QCOMPARE(settings, QJsonObject({{"Database.Id", "Z9REVERSEPROXY"},
                                        {"Database.Version", "1"},
                                        {"System.Id", "Z9REVERSEPROXY"},
                                        {"System.Version", "1"}}));
        QCOMPARE(db->dbVersion(), 1);
        // Version 2 adds the audit trail, to new and existing databases alike.
        QVERIFY(db->dbUpgrades());
        QCOMPARE(db->dbVersion(), 2);
        QVERIFY(db->call("audittrail_list", {{"limit", 1}}));
        QVERIFY(!db->dbUpgrades());
        QCOMPARE(numbers(), QList<int>());
    }

    void statementsLoaded()
    {
        const QStringList ids = db->sqlEngine().keys();
        for (const char *id : {"dbupgrade_version", "reverseproxy_alload", "reverseproxy_acquit",
                               "reverseproxy_exists_name", "reverseproxy_append", "reverseproxy_change",
                               "reverseproxy_remove"})
            QVERIFY2(ids.contains(id), id);
        QVERIFY(db->dbUpgradable(1));
        QVERIFY(!db->dbUpgradable(2));
    }

    void ruleRecord()
    {
        QCOMPARE(append("Media", 8080, "/media"), 1);
        QList<QJsonObject> rows;
        QVERIFY(db->call(rows, "reverseproxy_acquit", {{"pxyno", 1}}));
        QCOMPARE(rows.size(), 1);
        QJsonObject row = rows.first();
        QCOMPARE(row.take("crttime"), row.value("oprtime"));
        row.remove("oprtime");
        QJsonObject expected = rule("Media", 8080, "/media");
        expected.insert("pxyno", 1);
        QCOMPARE(row, expected);
        QCOMPARE(row.value("srcurl").toString(), QStringLiteral("://:8080/media"));
    }

    void existsName_data()
    {
        QTest::addColumn<QJsonObject>("values");
        QTest::addColumn<bool>("found");
        QTest::newRow("same name, other case") << QJsonObject{{"name", "mYrULE"}} << true;
        QTest::newRow("asked by another rule") << QJsonObject{{"name", "MyRule"}, {"pxyno", 2}} << true;
        QTest::newRow("the rule itself") << QJsonObject{{"name", "myrule"}, {"pxyno", 1}} << false;
        QTest::newRow("other name") << QJsonObject{{"name", "MyRule2"}} << false;
    }
    void existsName()
    {
        QFETCH(QJsonObject, values);
        QFETCH(bool, found);
        QCOMPARE(append("MyRule"), 1);
        QCOMPARE(append("Other"), 2);
        QList<QJsonObject> rows;
        QVERIFY(db->call(rows, "reverseproxy_exists_name", values));
        QCOMPARE(!rows.isEmpty(), found);
    }

    void changeAndRemove()
    {
        QCOMPARE(append("a"), 1);
        int changes = 0, lastId = 0;
        QJsonObject changed = rule("b", 9000, "/b");
        changed.insert("pxyno", 1);
        QVERIFY(db->call(changes, lastId, "reverseproxy_change", changed));
        QCOMPARE(changes, 1);
        changed.insert("pxyno", 7);
        QVERIFY(db->call(changes, lastId, "reverseproxy_change", changed));
        QCOMPARE(changes, 0);

        QList<QJsonObject> rows;
        QVERIFY(db->call(rows, "reverseproxy_acquit", {{"pxyno", 1}}));
        QCOMPARE(rows.value(0).value("name").toString(), QStringLiteral("b"));
        QCOMPARE(rows.value(0).value("srcport").toInt(), 9000);

        QVERIFY(db->call(changes, lastId, "reverseproxy_remove", {{"pxyno", 7}}));
        QCOMPARE(changes, 0);
        QVERIFY(db->call(changes, lastId, "reverseproxy_remove", {{"pxyno", 1}}));
        QCOMPARE(changes, 1);
        QCOMPARE(numbers(), QList<int>());
    }

    void numbersNeverReused()
    {
        QCOMPARE(append("a"), 1);
        QCOMPARE(append("b"), 2);
        QCOMPARE(append("c"), 3);
        int changes = 0, lastId = 0;
        QVERIFY(db->call(changes, lastId, "reverseproxy_remove", {{"pxyno", 3}}));
        QCOMPARE(append("d"), 4);
        QCOMPARE(numbers(), QList<int>({1, 2, 4}));
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxyStore)
#include "tst_kmreverseproxystore.moc"
