#include "kmaudittrail.h"
#include "kmreverseproxyresources.h"
#include "zx2cabinet.h"
#include "zx2dbsqlite.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// The audit trail in a rule database built from the service's resources.
class TestKMAuditTrail : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { initReverseproxyResources(); }
    void withoutSecrets_data();
    void withoutSecrets();
    void longSides();
    void callerOfConnection();
    void boundNewestFirst();
};

void TestKMAuditTrail::withoutSecrets_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QJsonObject>("kept");
    const QJsonObject dest{{"protocol", "http"}, {"port", 3000}};
    QTest::newRow("no secrets") << QJsonObject{{"name", "a"}, {"dest", dest}}
                                << QJsonObject{{"name", "a"}, {"dest", dest}};
    const QJsonArray allow{"10.0.0.0/8"};
    QTest::newRow("users' passwords and hashes, names kept")
        << QJsonObject{{"access", QJsonObject{{"allow", allow},
                                              {"users", QJsonArray{QJsonObject{{"name", "alice"}, {"password", "pw"}},
                                                                   QJsonObject{{"name", "bob"}, {"hash", "$2y$10$x"}}}}}}}
        << QJsonObject{{"access", QJsonObject{{"allow", allow},
                                              {"users", QJsonArray{QJsonObject{{"name", "alice"}},
                                                                   QJsonObject{{"name", "bob"}}}}}}};
    QTest::newRow("a user that is no object")
        << QJsonObject{{"access", QJsonObject{{"users", QJsonArray{"alice:pw"}}}}}
        << QJsonObject{{"access", QJsonObject{{"users", QJsonArray{QJsonObject()}}}}};
    QTest::newRow("certificate key")
        << QJsonObject{{"certificate", QJsonObject{{"cert", "CERTIFICATE"}, {"key", "PRIVATE KEY"}}}}
        << QJsonObject{{"certificate", QJsonObject{{"cert", "CERTIFICATE"}}}};
}

void TestKMAuditTrail::withoutSecrets()
{
    QFETCH(QJsonObject, params);
    QFETCH(QJsonObject, kept);
    QCOMPARE(KMAuditTrail::withoutSecrets(params), kept);
    KMAuditEntry caller;
    const KMAuditEntry entry = caller.about(3, "a", params, params);
    QCOMPARE(entry.before.toObject(), kept);
    QCOMPARE(entry.after.toObject(), kept);
}

void TestKMAuditTrail::longSides()
{
    const KMAuditEntry entry = KMAuditEntry().about(1, QString(300, 'n'), {{"x", QString(20000, 'a')}}, {});
    QCOMPARE(entry.name, QString(255, 'n'));
    QCOMPARE(entry.before.toObject(), QJsonObject({{"omitted", 20008}}));
    QVERIFY(entry.after.isNull());
}

void TestKMAuditTrail::callerOfConnection()
{
    ZX2Cabinet connection;
    connection.insert("uid", 65534);
    connection.insert("pid", qint64(::getpid()));
    const KMAuditEntry entry = KMAuditTrail::callerOf(connection, {{"cmd", " reverseproxy_create "}});
    QCOMPARE(entry.uid, qint64(65534));
    QCOMPARE(entry.pid, qint64(::getpid()));
    QCOMPARE(entry.program, QStringLiteral("tst_kmaudittrai")); // the kernel keeps 15 bytes
    QCOMPARE(entry.cmd, QStringLiteral("reverseproxy_create"));
    QCOMPARE(KMAuditTrail::callerOf(ZX2Cabinet(), {}).uid, qint64(-1)); // not a connection
}

void TestKMAuditTrail::boundNewestFirst()
{
    QTemporaryDir dir;
    ZX2DBSqlite db;
    QVERIFY(db.open(dir.filePath("reverseproxy.db"), ":/kmreverseproxy/engine.sql", ":/kmreverseproxy/creator.sql"));
    QVERIFY(db.dbUpgrades());
    const int appended = KMAuditTrail::kKept + 5;
    QVERIFY(db.transactionBegin());
    for (int i = 1; i <= appended; ++i) {
        KMAuditEntry entry;
        entry.cmd = "reverseproxy_change";
        entry.err = i % 2 ? 0 : 9995;
        QVERIFY(KMAuditTrail::append(db, entry.about(i % 3 + 1, QString::number(i), {{"n", i - 1}}, {{"n", i}})));
    }
    QVERIFY(db.transactionCommit());

    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "audittrail_list", {{"limit", appended}}));
    QCOMPARE(rows.size(), KMAuditTrail::kKept);
    QCOMPARE(rows.last().value("name").toString(), QStringLiteral("6")); // the oldest five are gone

    QJsonArray listed;
    QVERIFY(KMAuditTrail::list(db, listed, appended, 0));
    QCOMPARE(listed.size(), KMAuditTrail::kMaxListed);
    const QJsonObject newest = listed.first().toObject();
    QVERIFY(QDateTime::fromString(newest.value("time").toString(), Qt::ISODate).isValid());
    QCOMPARE(newest.value("time").toString().right(1), QStringLiteral("Z"));
    QCOMPARE(newest.value("name").toString(), QString::number(appended));
    QCOMPARE(newest.value("err").toInt(), 0);
    QCOMPARE(newest.value("before").toObject(), QJsonObject({{"n", appended - 1}}));
    QCOMPARE(newest.value("after").toObject(), QJsonObject({{"n", appended}}));
    QCOMPARE(newest.value("uid").toInt(), -1);

    listed = QJsonArray();
    QVERIFY(KMAuditTrail::list(db, listed, 3, 2));
    QStringList names;
    for (const QJsonValue &entry : qAsConst(listed)) {
        QCOMPARE(entry.toObject().value("pxyno").toInt(), 2);
        names << entry.toObject().value("name").toString();
    }
    QCOMPARE(names, QStringList({"10003", "10000", "9997"}));
}

QTEST_GUILESS_MAIN(TestKMAuditTrail)
#include "tst_kmaudittrail.moc"
