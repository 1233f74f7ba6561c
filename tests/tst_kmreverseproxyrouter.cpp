#include "appdata.h"
#include "kmreverseproxy.h"
#include "kmreverseproxyrouter.h"
#include "servicefixture.h"
#include "zx2cabinet.h"
#include "zx2journals.h"

#include <QJsonArray>
#include <QtTest>

// The router's checks and answers, called in-process the way the local server
// dispatches them, against a rule manager on a temporary development root.
class tst_KMReverseproxyRouter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void routerIdAndListing();
    void ruleChecks_data();
    void ruleChecks();
    void numberChecks_data();
    void numberChecks();
    void lifecycle();
    void logChecks_data();
    void logChecks();
    void helpKeyEmptiesAnswerAndKeepsJournal();
    void underscoreFormIgnoresHelp();
    void changeWithoutNumberReachesManager();

private:
    QJsonObject call(const QString &cmd, const QJsonObject &params, ZX2Cabinet *cabinet = nullptr,
                     const QJsonObject &extra = QJsonObject());

    ServiceRoot m_root;
    ZX2Cabinet m_cabinet;
};

void tst_KMReverseproxyRouter::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_root.writeDefinePorts(18080, 18443);
    const QProcessEnvironment env = m_root.environment();
    qputenv("ORBA_ROOT", env.value(QStringLiteral("ORBA_ROOT")).toLocal8Bit());
    qputenv("PATH", env.value(QStringLiteral("PATH")).toLocal8Bit());
    AppData::create();
    QCOMPARE(AppData::create(), IAppData());
    QVERIFY(IAppData()->qt_metacast("ZX2Core"));
    ZX2Journals journal;
    QVERIFY(IAppData()->reverseproxy()->start(journal));
}

QJsonObject tst_KMReverseproxyRouter::call(const QString &cmd, const QJsonObject &params,
                                           ZX2Cabinet *cabinet, const QJsonObject &extra)
{
    QJsonObject request = extra;
    request.insert(QStringLiteral("cmd"), cmd);
    request.insert(QStringLiteral("params"), params);
    ZX2Cabinet *env = cabinet ? cabinet : &m_cabinet;
    QJsonObject answer{{QStringLiteral("err"), 9999}};
    if (!IAppData()->router()->doSlot(answer, request, env))
        return QJsonObject{{QStringLiteral("notrouted"), true}};
    env->toRetObject(answer, false);
    return answer;
}

void tst_KMReverseproxyRouter::routerIdAndListing()
{
    QCOMPARE(IAppData()->router()->routerId(), QStringLiteral("reverseproxy"));
    QStringList names;
    IAppData()->router()->allInterfaces(names);
    for (const char *cmd : {"reverseproxy_alload", "reverseproxy_acquit", "reverseproxy_create",
                            "reverseproxy_change", "reverseproxy_remove", "reverseproxy_import", "reverseproxy_log"})
        QVERIFY2(names.contains(QLatin1String(cmd)), cmd);
    for (const QString &name : names)
        QVERIFY2(!name.startsWith(QLatin1Char('_')), qPrintable(name));
}

void tst_KMReverseproxyRouter::ruleChecks_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QString>("message");   // empty: the checks pass

    const QJsonObject good = simpleRule(QStringLiteral("checked"), QStringLiteral("/good"), 3000);
    auto with = [&good](const QString &key, const QJsonValue &value) {
        QJsonObject params = good;
        params.insert(key, value);
        return params;
    };
    auto withDest = [&with, &good](const QJsonObject &dest) {
        QJsonObject merged = good.value(QStringLiteral("dest")).toObject();
        for (auto it = dest.begin(); it != dest.end(); ++it)
            merged.insert(it.key(), it.value());
        return with(QStringLiteral("dest"), merged);
    };
    const QString nameMsg = QStringLiteral("参数遗漏或类型错误(name)");
    const QString srcMsg = QStringLiteral("参数遗漏或内容错误(source.protocol: http, https)");
    const QString destMsg = QStringLiteral("参数遗漏(dest.protocol: http, https");
    const QString reachMsg = QStringLiteral("端口号错误(dest.port)或路径遗漏(dest.path)");

    QTest::newRow("no params") << QJsonObject() << nameMsg;
    QTest::newRow("blank name") << with(QStringLiteral("name"), QStringLiteral("   ")) << nameMsg;
    QTest::newRow("numeric name") << with(QStringLiteral("name"), 42) << nameMsg;
    QTest::newRow("ftp source before bad dest")
        << with(QStringLiteral("source"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("ftp")}})
        << srcMsg;
    QTest::newRow("missing source") << with(QStringLiteral("source"), QJsonValue()) << srcMsg;
    QTest::newRow("dest protocol missing") << withDest({{QStringLiteral("protocol"), QJsonValue()}}) << destMsg;
    QTest::newRow("dest protocol ws") << withDest({{QStringLiteral("protocol"), QStringLiteral("ws")}}) << destMsg;
    QTest::newRow("nothing to reach")
        << withDest({{QStringLiteral("host"), QStringLiteral(" ")}, {QStringLiteral("port"), 0},
                     {QStringLiteral("path"), QStringLiteral("/")}})
        << reachMsg;
    QTest::newRow("double slash path only")
        << withDest({{QStringLiteral("host"), QString()}, {QStringLiteral("port"), 70000},
                     {QStringLiteral("path"), QStringLiteral("//")}})
        << reachMsg;
    QTest::newRow("host and port 0") << withDest({{QStringLiteral("port"), 0}}) << QString();
    QTest::newRow("port out of range but path")
        << withDest({{QStringLiteral("host"), QString()}, {QStringLiteral("port"), 70000},
                     {QStringLiteral("path"), QStringLiteral("/api")}})
        << QString();
    QTest::newRow("protocols in capitals with blanks")
        << withDest({{QStringLiteral("protocol"), QStringLiteral(" HTTPS ")}}) << QString();
}

void tst_KMReverseproxyRouter::ruleChecks()
{
    QFETCH(QJsonObject, params);
    QFETCH(QString, message);
    // Rows that pass the checks reach the rule manager, which may refuse them
    // for its own reasons, but not with one of the router's messages.
    const QStringList routerMessages{QStringLiteral("参数遗漏或类型错误(name)"),
                                     QStringLiteral("参数遗漏或内容错误(source.protocol: http, https)"),
                                     QStringLiteral("参数遗漏(dest.protocol: http, https"),
                                     QStringLiteral("端口号错误(dest.port)或路径遗漏(dest.path)")};
    for (const QString &cmd : {QStringLiteral("reverseproxy_create"), QStringLiteral("reverseproxy_change")}) {
        const QJsonObject answer = call(cmd, params);
        if (message.isEmpty()) {
            const QString errmsg = answer.value(QStringLiteral("errmsg")).toString();
            QVERIFY2(!routerMessages.contains(errmsg), qPrintable(cmd + QLatin1Char(' ') + errmsg));
        } else {
            QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9995);
            QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), message);
            QVERIFY(!answer.contains(QStringLiteral("results")));
        }
    }
}

void tst_KMReverseproxyRouter::numberChecks_data()
{
    QTest::addColumn<QJsonValue>("pxyno");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << false;
    QTest::newRow("zero") << QJsonValue(0) << false;
    QTest::newRow("negative") << QJsonValue(-4) << false;
    QTest::newRow("not a number") << QJsonValue(QStringLiteral("xyz")) << false;
    QTest::newRow("object") << QJsonValue(QJsonObject{{QStringLiteral("a"), 1}}) << false;
    QTest::newRow("number") << QJsonValue(77) << true;
    QTest::newRow("decimal string") << QJsonValue(QStringLiteral(" 77 ")) << true;
    QTest::newRow("hexadecimal string") << QJsonValue(QStringLiteral("ff")) << true;
}

void tst_KMReverseproxyRouter::numberChecks()
{
    QFETCH(QJsonValue, pxyno);
    QFETCH(bool, accepted);
    QJsonObject params;
    if (!pxyno.isUndefined())
        params.insert(QStringLiteral("pxyno"), pxyno);

    for (const QString &cmd : {QStringLiteral("reverseproxy_acquit"), QStringLiteral("reverseproxy_remove")}) {
        const QJsonObject answer = call(cmd, params);
        QVERIFY(!answer.contains(QStringLiteral("results")));
        if (accepted) {
            // Past the check, the manager reports the number it did not find.
            QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9994);
        } else {
            QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9995);
            QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), QStringLiteral("参数遗漏(pxyno)"));
        }
    }
}

void tst_KMReverseproxyRouter::lifecycle()
{
    QJsonObject answer = call(QStringLiteral("reverseproxy_create"),
                              simpleRule(QStringLiteral("Life"), QStringLiteral("/life"), 3001));
    QCOMPARE(answer, QJsonObject({{QStringLiteral("err"), 0}}));

    answer = call(QStringLiteral("reverseproxy_alload"), {});
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject rule = answer.value(QStringLiteral("results")).toObject().value(QStringLiteral("Life")).toObject();
    const int pxyno = rule.value(QStringLiteral("pxyno")).toInt();
    QVERIFY(pxyno > 0);

    answer = call(QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), QString::number(pxyno)}});
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(answer.value(QStringLiteral("results")).toObject(), rule);

    QJsonObject changed = simpleRule(QStringLiteral("Life2"), QStringLiteral("/life"), 3002);
    changed.insert(QStringLiteral("pxyno"), pxyno);
    answer = call(QStringLiteral("reverseproxy_change"), changed);
    QCOMPARE(answer, QJsonObject({{QStringLiteral("err"), 0}}));
    answer = call(QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), pxyno}});
    QCOMPARE(answer.value(QStringLiteral("results")).toObject().value(QStringLiteral("name")).toString(),
             QStringLiteral("Life2"));

    answer = call(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno}});
    QCOMPARE(answer, QJsonObject({{QStringLiteral("err"), 0}}));
    answer = call(QStringLiteral("reverseproxy_acquit"), {{QStringLiteral("pxyno"), pxyno}});
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9994);
    QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), QStringLiteral("指定序号不存在"));
    QVERIFY(!answer.contains(QStringLiteral("results")));

    answer = call(QStringLiteral("reverseproxy_log"), {{QStringLiteral("pxyno"), pxyno}});
    QStringList trail;
    for (const QJsonValue &entry : answer.value(QStringLiteral("results")).toArray())
        trail << entry.toObject().value(QStringLiteral("cmd")).toString() + QLatin1Char(' ')
                     + entry.toObject().value(QStringLiteral("name")).toString();
    QCOMPARE(trail,
             QStringList({"reverseproxy_remove Life2", "reverseproxy_change Life2", "reverseproxy_create Life"}));
}

void tst_KMReverseproxyRouter::logChecks_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<int>("err");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("most"); // entries listed
    QTest::newRow("defaults") << QJsonObject() << 0 << QString() << 100;
    QTest::newRow("more than one listing gives") << QJsonObject{{"limit", 5000}} << 0 << QString() << 1000;
    QTest::newRow("one rule") << QJsonObject{{"limit", "2"}, {"pxyno", 999999}} << 0 << QString() << 2;
    QTest::newRow("limit 0") << QJsonObject{{"limit", 0}} << 9995 << "参数内容错误(limit)" << 0;
    QTest::newRow("limit not a number") << QJsonObject{{"limit", "many"}} << 9995 << "参数内容错误(limit)" << 0;
    QTest::newRow("rule 0") << QJsonObject{{"pxyno", 0}} << 9995 << "参数内容错误(pxyno)" << 0;
}

void tst_KMReverseproxyRouter::logChecks()
{
    QFETCH(QJsonObject, params);
    QFETCH(int, err);
    QFETCH(QString, message);
    QFETCH(int, most);
    for (int i = 0; i < 3; ++i) // refused: a trail longer than the smallest limit
        call(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), 999999}});
    const QJsonObject answer = call(QStringLiteral("reverseproxy_log"), params);
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), err);
    QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), message);
    const QJsonArray entries = answer.value(QStringLiteral("results")).toArray();
    QVERIFY(entries.size() <= most && (most == 0 || entries.size() >= qMin(most, 3)));
}

void tst_KMReverseproxyRouter::helpKeyEmptiesAnswerAndKeepsJournal()
{
    ZX2Cabinet cabinet;
    const QJsonObject help{{QStringLiteral("help"), 1}};
    QCOMPARE(call(QStringLiteral("reverseproxy_create"), simpleRule(QStringLiteral("Helped"), QStringLiteral("/helped"), 3003),
                  &cabinet, help),
             QJsonObject({{QStringLiteral("err"), 9999}}));

    call(QStringLiteral("reverseproxy_acquit"), {}, &cabinet);
    for (const QString &cmd : {QStringLiteral("reverseproxy_alload"), QStringLiteral("reverseproxy_acquit"),
                               QStringLiteral("reverseproxy_create"), QStringLiteral("reverseproxy_change"),
                               QStringLiteral("reverseproxy_remove")}) {
        QJsonObject request{{QStringLiteral("cmd"), cmd}, {QStringLiteral("help"), QJsonValue()}};
        QJsonObject answer{{QStringLiteral("err"), 9999}, {QStringLiteral("seq"), 5}};
        QVERIFY(IAppData()->router()->doSlot(answer, request, &cabinet));
        QCOMPARE(answer, QJsonObject());
        QCOMPARE(cabinet.err(), 9995);
        QCOMPARE(cabinet.errmsg(), QStringLiteral("参数遗漏(pxyno)"));
    }

    const QJsonObject rules = call(QStringLiteral("reverseproxy_alload"), {}).value(QStringLiteral("results")).toObject();
    QVERIFY(!rules.contains(QStringLiteral("Helped")));
}

void tst_KMReverseproxyRouter::underscoreFormIgnoresHelp()
{
    const QJsonObject help{{QStringLiteral("help"), 1}};
    QJsonObject answer = call(QStringLiteral("_reverseproxy_create"),
                              simpleRule(QStringLiteral("Hidden"), QStringLiteral("/hidden"), 3004), nullptr, help);
    QCOMPARE(answer, QJsonObject({{QStringLiteral("err"), 0}}));
    answer = call(QStringLiteral("_reverseproxy_alload"), {}, nullptr, help);
    const int pxyno = answer.value(QStringLiteral("results")).toObject().value(QStringLiteral("Hidden"))
                          .toObject().value(QStringLiteral("pxyno")).toInt();
    QVERIFY(pxyno > 0);
    answer = call(QStringLiteral("_reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno}});
    QCOMPARE(answer, QJsonObject({{QStringLiteral("err"), 0}}));
}

void tst_KMReverseproxyRouter::changeWithoutNumberReachesManager()
{
    const QJsonObject answer = call(QStringLiteral("reverseproxy_change"),
                                    simpleRule(QStringLiteral("Nobody"), QStringLiteral("/nobody"), 3005));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9994);
    QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), QStringLiteral("指定序号不存在"));
}

QTEST_GUILESS_MAIN(tst_KMReverseproxyRouter)
#include "tst_kmreverseproxyrouter.moc"
