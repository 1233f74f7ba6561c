#include "zx2cabinet.h"
#include "zx2todorouter.h"

#include <QtTest>

namespace {

bool isHelp(const QJsonObject &cmdObject)
{
    return cmdObject.contains("help");
}

} // namespace

class ChildRouter : public ZX2TodoRouter
{
    Q_OBJECT
public:
    ChildRouter() { setRouterId("child"); }

private slots:
    void childcmd(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (isHelp(cmdObject)) {
            retObject->insert("comment", "from child");
            return;
        }
        retObject->insert("ran", "childcmd");
    }
    void echo(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (isHelp(cmdObject)) {
            retObject->insert("comment", "child echo");
            return;
        }
        retObject->insert("ran", "child echo");
    }
};

class TopRouter : public ZX2TodoRouter
{
    Q_OBJECT
public:
    TopRouter() { setRouterId("top"); }

private slots:
    void echo(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        if (isHelp(cmdObject)) {
            retObject->insert("comment", "echo");
            retObject->insert("params", QJsonObject{{"a", "anything"}});
            return;
        }
        retObject->insert("ran", "echo");
        envObject->setErr(0);
    }
    void __LS__echo(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (!isHelp(cmdObject))
            retObject->insert("ran", "__LS__echo");
    }
    void plain(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (!isHelp(cmdObject))
            retObject->insert("ran", "plain");
    }
    void _secret(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        Q_UNUSED(cmdObject)
        retObject->insert("ran", "_secret");
    }
    void hidden(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (isHelp(cmdObject)) {
            retObject->insert("comment", "hidden");
            retObject->insert("unpublished", "yes");
            return;
        }
        retObject->insert("ran", "hidden");
    }
    void login(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (isHelp(cmdObject)) {
            retObject->insert("comment", "needs a token");
            retObject->insert("token", "x");
        }
    }
    void notACommand(int) {}
};

class TestZX2TodoRouter : public QObject
{
    Q_OBJECT
    TopRouter top;
    ChildRouter child;

private slots:
    void initTestCase() { top.add(&child); }

    void dispatch_data()
    {
        QTest::addColumn<QJsonValue>("cmd");
        QTest::addColumn<bool>("slotDone");
        QTest::addColumn<QString>("slotRan");
        QTest::addColumn<bool>("callDone");
        QTest::addColumn<QString>("callRan");
        QTest::newRow("plain") << QJsonValue("plain") << true << "plain" << false << "";
        QTest::newRow("local variant") << QJsonValue("echo") << true << "echo" << true << "__LS__echo";
        QTest::newRow("blanks") << QJsonValue(" \techo \n") << true << "echo" << true << "__LS__echo";
        QTest::newRow("child") << QJsonValue("childcmd") << true << "childcmd" << false << "";
        QTest::newRow("underscore") << QJsonValue("_secret") << true << "_secret" << false << "";
        QTest::newRow("unknown") << QJsonValue("nothing") << false << "" << false << "";
        QTest::newRow("empty") << QJsonValue("  ") << false << "" << false << "";
        QTest::newRow("missing") << QJsonValue() << false << "" << false << "";
        QTest::newRow("not a slot") << QJsonValue("notACommand") << false << "" << false << "";
        QTest::newRow("QObject method") << QJsonValue("deleteLater") << false << "" << false << "";
    }
    void dispatch()
    {
        QFETCH(QJsonValue, cmd);
        QJsonObject request{{"params", QJsonObject()}};
        if (!cmd.isNull())
            request.insert("cmd", cmd);
        ZX2Cabinet cabinet;
        QJsonObject slotAnswer, callAnswer;
        QTEST(top.doSlot(slotAnswer, request, &cabinet), "slotDone");
        QTEST(slotAnswer.value("ran").toString(), "slotRan");
        QTEST(top.doCall(callAnswer, request, &cabinet), "callDone");
        QTEST(callAnswer.value("ran").toString(), "callRan");
        if (cmd == QJsonValue("nothing"))
            QCOMPARE(slotAnswer.value("err").toInt(), 9885);
    }

    void helpListing()
    {
        QJsonObject answer;
        ZX2Cabinet cabinet;
        QVERIFY(top.doSlot(answer, QJsonObject{{"cmd", "help_interfaces"}}, &cabinet));
        QCOMPARE(cabinet.err(), 0);
        const QJsonObject results = answer.value("results").toObject();
        QCOMPARE(results.keys(), QStringList({"childcmd", "echo", "help_interfaces", "login", "plain"}));
        for (const QString &name : results.keys())
            QCOMPARE(results.value(name).toObject().value("cmd").toString(), name);

        const QJsonObject help = results.value("help_interfaces").toObject();
        QCOMPARE(help.value("comment").toString(), QString(u8"获取接口的使用说明"));
        QVERIFY(help.value("params").toObject().contains("cmd"));

        QCOMPARE(results.value("plain").toObject(),
                 QJsonObject({{"comment", u8"<<此接口没有提供使用说明>>"}, {"cmd", "plain"}}));
        const QJsonObject echo = results.value("echo").toObject();
        QCOMPARE(echo.value("comment").toString(), QString("echo")); // parent before child
        QVERIFY(!echo.contains("params-comment"));
        QCOMPARE(echo.value("token-comment").toString(), QString(u8"允许不传token，但已登录时建议传入"));
        const QJsonObject login = results.value("login").toObject();
        QCOMPARE(login.value("params-comment").toString(), QString(u8"本接口没有参数"));
        QCOMPARE(login.value("token").toString(), QString(u8"登录成功时返回的token"));
        QCOMPARE(login.value("token-comment").toString(), QString(u8"登录成功时返回的token"));
    }

    void namesListing()
    {
        QStringList names;
        top.allInterfaces(names);
        QCOMPARE(names, QStringList({"help_interfaces", "echo", "plain", "hidden", "login",
                                     "help_interfaces", "childcmd", "echo"}));
    }

    void registration()
    {
        TopRouter a;
        ChildRouter b, c;
        a.add(&b);
        a.add(&b);
        a.add(nullptr);
        a.add(&a);
        b.add(&c);
        c.add(&a); // would close a cycle
        QCOMPARE(a.list(), QList<ZX2TodoRouter *>({&b}));
        QVERIFY(c.list().isEmpty());
        a.del(&b);
        QVERIFY(a.list().isEmpty());
        QCOMPARE(b.routerId(), QString("child"));
    }
};

QTEST_GUILESS_MAIN(TestZX2TodoRouter)
#include "tst_zx2todorouter.moc"
