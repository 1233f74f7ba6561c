// The client's readable forms (list, show, status) and --json, against the
// real service in a temporary root; sockets it must not use.

#include "kmversion.h"
#include "otheruser.h"
#include "servicefixture.h"
#include "../tools/ruleview.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <crypt.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

class TestReverseproxyctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readable_data();
    void readable();
    void sourceUrls_data();
    void sourceUrls();
    void json_data();
    void json();
    void status();
    void disabledRules();
    void certificates();
    void acmeNeedsTermsAccepted();
    void unanswered_data();
    void unanswered();
    void access();
    void auditTrail();

private:
    int run(const QStringList &args, QByteArray *out, const QByteArray &input = QByteArray(), bool nobody = false);
    QJsonObject ask(const QString &command, const QJsonObject &params);

    ServiceRoot m_root;
    QScopedPointer<ServiceProcess> m_service;
};

const int kHttpPort = 18080; // appliance web ports as the Define files give them
const int kHttpsPort = 18443;

void TestReverseproxyctl::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_root.writeDefinePorts(kHttpPort, kHttpsPort);
    m_root.writeDefaultConfig(false);
    m_service.reset(new ServiceProcess(m_root));
    QVERIFY(m_service->start({}, m_root.lpcid()));

    QJsonObject custom = simpleRule(QStringLiteral("web"), QStringLiteral("app"), 3000);
    custom[QStringLiteral("source")] = QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                   {QStringLiteral("host"), QStringLiteral("nas.example")},
                                                   {QStringLiteral("port"), 8080},
                                                   {QStringLiteral("path"), QStringLiteral("/app/")}};
    custom[QStringLiteral("hsts")] = false;
    for (const QJsonObject &rule : {simpleRule(QStringLiteral("媒体"), QStringLiteral("/media/"), 8096), custom}) {
        const QJsonObject answer = ask(QStringLiteral("reverseproxy_create"), rule);
        QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), 0);
    }
}

int TestReverseproxyctl::run(const QStringList &args, QByteArray *out, const QByteArray &input, bool nobody)
{
    QProcess client;
    client.setProcessEnvironment(m_root.environment());
    const QStringList command = QStringList{QStringLiteral(BIN_DIR "/reverseproxyctl"), QStringLiteral("--lpcid"),
                                            m_root.lpcid()} + args;
    if (nobody)
        client.start(QStringLiteral("setpriv"), asNobody() + command);
    else
        client.start(command.first(), command.mid(1));
    client.write(input);
    client.closeWriteChannel();
    if (!client.waitForFinished(60000))
        return -1;
    *out = client.readAllStandardOutput();
    return client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
}

QJsonObject TestReverseproxyctl::ask(const QString &command, const QJsonObject &params)
{
    ServiceConnection connection;
    QJsonObject answer;
    if (connection.open(m_root.lpcid()))
        connection.request({{QStringLiteral("cmd"), command}, {QStringLiteral("params"), params}}, &answer);
    return answer;
}

void TestReverseproxyctl::readable_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    // Port 0 is the appliance's own site; the host of such a rule has no effect.
    QTest::newRow("list") << QStringList{QStringLiteral("list")} << 0
        << QStringLiteral("NO  NAME  SOURCE                        DESTINATION             STATE\n"
                          "1   媒体  http://<appliance>/media/     http://127.0.0.1:8096/\n"
                          "2   web   http://nas.example:8080/app/  http://127.0.0.1:3000/\n");
    QTest::newRow("show") << QStringList{QStringLiteral("show"), QStringLiteral("2")} << 0
        << QStringLiteral("number:       2\n"
                          "name:         web\n"
                          "source:       http://nas.example:8080/app/\n"
                          "destination:  http://127.0.0.1:3000/\n"
                          "hsts:         false\n");
    QTest::newRow("show unknown rule") << QStringList{QStringLiteral("show"), QStringLiteral("99")} << 1 << QString();
    QTest::newRow("show without number") << QStringList{QStringLiteral("show")} << 2 << QString();
    QTest::newRow("show bad number") << QStringList{QStringLiteral("show"), QStringLiteral("x")} << 2 << QString();
    QTest::newRow("list with parameters") << QStringList{QStringLiteral("list"), QStringLiteral("{}")} << 2
                                          << QString();
}

void TestReverseproxyctl::readable()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QByteArray out;
    QCOMPARE(run(args, &out), exitCode);
    QCOMPARE(QString::fromUtf8(out), output);
}

// A rule's host shows in its source URL, on the appliance's site too.
void TestReverseproxyctl::sourceUrls_data()
{
    QTest::addColumn<QJsonObject>("source");
    QTest::addColumn<QString>("url");
    QTest::newRow("appliance site") << QJsonObject{{"protocol", "http"}, {"path", "/media/"}}
                                    << "http://<appliance>/media/";
    QTest::newRow("a name on the appliance's port")
        << QJsonObject{{"protocol", "HTTPS"}, {"host", "a.nas.test"}, {"path", "/media/"}} << "https://a.nas.test/media/";
    QTest::newRow("a name on a custom port")
        << QJsonObject{{"protocol", "http"}, {"host", "*.nas.test"}, {"port", 8080}, {"path", "/"}} << "http://*.nas.test:8080/";
    QTest::newRow("every name of a custom port") << QJsonObject{{"protocol", "http"}, {"port", 8080}, {"path", "x"}}
                                                 << "http://<appliance>:8080/x";
}

void TestReverseproxyctl::sourceUrls()
{
    QFETCH(QJsonObject, source);
    QFETCH(QString, url);
    QCOMPARE(RuleView::sourceUrl({{"source", source}}), url);
}

void TestReverseproxyctl::json_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("list") << QStringList{QStringLiteral("--json"), QStringLiteral("list")}
                          << QStringLiteral("reverseproxy_alload") << QJsonObject() << 0;
    QTest::newRow("show") << QStringList{QStringLiteral("show"), QStringLiteral("1"), QStringLiteral("--json")}
                          << QStringLiteral("reverseproxy_acquit") << QJsonObject{{QStringLiteral("pxyno"), 1}} << 0;
    QTest::newRow("show unknown rule") << QStringList{QStringLiteral("--json"), QStringLiteral("show"), QStringLiteral("99")}
                                       << QStringLiteral("reverseproxy_acquit")
                                       << QJsonObject{{QStringLiteral("pxyno"), 99}} << 1;
    QTest::newRow("raw") << QStringList{QStringLiteral("reverseproxy_acquit"), QStringLiteral("{\"pxyno\":2}")}
                         << QStringLiteral("reverseproxy_acquit") << QJsonObject{{QStringLiteral("pxyno"), 2}} << 0;
}

// --json prints exactly what the service answers to the underlying command.
void TestReverseproxyctl::json()
{
    QFETCH(QStringList, args);
    QFETCH(QString, command);
    QFETCH(QJsonObject, params);
    QFETCH(int, exitCode);
    QByteArray out;
    QCOMPARE(run(args, &out), exitCode);
    QCOMPARE(QJsonDocument::fromJson(out).object(), ask(command, params));
}

void TestReverseproxyctl::status()
{
    QByteArray out;
    QCOMPARE(run({QStringLiteral("status")}, &out), 0);
    const QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // Then the names the appliance answers to, "localhost" among them.
    QVERIFY2(lines.size() > 4 && lines.at(4).startsWith(QStringLiteral("own names: ")), qPrintable(lines.join('\n')));
    QVERIFY(lines.contains(QStringLiteral("                 localhost")));
    // The service's release, which is the client's.
    QCOMPARE(lines.at(0), QStringLiteral("version:         ") + QString::fromLatin1(kReverseproxyVersion));
    QVERIFY2(QRegularExpression(QStringLiteral("^apache: +(active|inactive|unknown)$")).match(lines.at(1)).hasMatch(),
             qPrintable(lines.at(1)));
    QVERIFY2(QRegularExpression(QStringLiteral("^last reload: +(none|pending|ok|failed)")).match(lines.at(2)).hasMatch(),
             qPrintable(lines.at(2)));
    QCOMPARE(lines.at(3), QStringLiteral("disabled rules:  0"));
    QCOMPARE(run({QStringLiteral("--version")}, &out), 0);
    QCOMPARE(out, QByteArray("reverseproxyctl ") + kReverseproxyVersion + '\n');
}

// The service cannot be made to disable a rule here: the view is fed a status.
void TestReverseproxyctl::disabledRules()
{
    const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload"), {}).value(QStringLiteral("results")).toObject();
    const QJsonObject status = QJsonDocument::fromJson(
        "{\"version\":\"1.0.0+166\",\"reload\":{\"state\":\"failed\",\"time\":\"2026-12-07T10:00:00Z\",\"message\":\"AH00526\"},"
        "\"apache\":\"active\",\"disabled\":[{\"pxyno\":2,\"name\":\"web\",\"reason\":\"端口已被占用\"}]}").object();
    QCOMPARE(RuleView::rulesTable(rules, RuleView::disabledRules(status)),
             QStringLiteral("NO  NAME  SOURCE                        DESTINATION             STATE\n"
                            "1   媒体  http://<appliance>/media/     http://127.0.0.1:8096/\n"
                            "2   web   http://nas.example:8080/app/  http://127.0.0.1:3000/  disabled: 端口已被占用\n"));
    QCOMPARE(RuleView::statusText(status),
             QStringLiteral("version:         1.0.0+166\n"
                            "apache:          active\n"
                            "last reload:     failed at 2026-12-07T10:00:00Z: AH00526\n"
                            "disabled rules:  1\n"
                            "                 2 web: 端口已被占用\n"));
}

void TestReverseproxyctl::certificates()
{
    const QJsonObject status = QJsonDocument::fromJson(
        "{\"apache\":\"active\",\"reload\":{\"state\":\"ok\"},\"certificates\":["
        "{\"host\":\"photos.nas.test\",\"kind\":\"acme\",\"state\":\"valid\","
        "\"notAfter\":\"2027-03-01T10:00:00Z\",\"issuer\":\"CN=Pebble Intermediate CA\"},"
        "{\"host\":\"down.nas.test\",\"kind\":\"acme\",\"state\":\"failed\",\"reason\":\"CA unreachable\"}]}")
        .object();
    const QString names = QStringLiteral(
        "certificates:  2\n"
        "               photos.nas.test acme valid until 2027-03-01T10:00:00Z (CN=Pebble Intermediate CA)\n"
        "               down.nas.test acme failed: CA unreachable\n");
    QCOMPARE(RuleView::certificatesText(status), QLatin1Char('\n') + names);
    QVERIFY2(RuleView::statusText(status).contains(QStringLiteral("certificates:    2\n")),
             qPrintable(RuleView::statusText(status)));
    QCOMPARE(RuleView::certificatesText(QJsonObject()), QString());
}

// Until config.json accepts the CA's terms, a rule asking for "acme" is
// refused, and the client says why.
void TestReverseproxyctl::acmeNeedsTermsAccepted()
{
    QJsonObject rule = simpleRule(QStringLiteral("photos"), QStringLiteral("/"), 3000);
    rule[QStringLiteral("source")] = QJsonObject{{QStringLiteral("protocol"), QStringLiteral("https")},
                                                 {QStringLiteral("host"), QStringLiteral("photos.nas.test")}};
    rule[QStringLiteral("certificate")] = QStringLiteral("acme");
    QProcess client;
    client.setProcessEnvironment(m_root.environment());
    client.start(QStringLiteral(BIN_DIR "/reverseproxyctl"),
                 {QStringLiteral("--lpcid"), m_root.lpcid(), QStringLiteral("reverseproxy_create"),
                  QString::fromUtf8(QJsonDocument(rule).toJson(QJsonDocument::Compact))});
    QVERIFY(client.waitForFinished(60000));
    QCOMPARE(client.exitCode(), 1);
    QVERIFY(client.readAllStandardOutput().contains("参数内容错误(certificate)"));
    QVERIFY(client.readAllStandardError().contains("\"accept-terms\": true"));
}

void TestReverseproxyctl::unanswered_data()
{
    QTest::addColumn<QString>("server"); // "root", "nobody" or "stale": a socket file nothing listens on
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("clientAsNobody");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // %1: the socket path
    QTest::addColumn<QString>("received"); // what the server saw, as a pattern

    QTest::newRow("socket closed to the user") << "root" << 0600 << true << 3
                                               << "reverseproxyctl: permission denied: %1\n" << "";
    QTest::newRow("server of another user")
        << "nobody" << 0666 << false << 4 << "reverseproxyctl: not the service: the server at %1 runs as user nobody\n"
        << "received 0\n";
    // One connection, checked and then carrying the request: a second one
    // could reach another server than the one checked.
    QTest::newRow("no answer in time")
        << "root" << 0666 << false << 2
        << "reverseproxyctl: no answer from the service at %1 within 1 s: the outcome is unknown; check with "
           "\"reverseproxyctl list\"\n"
        << "received [1-9][0-9]*\n";
    QTest::newRow("nothing listening") << "stale" << 0666 << false << 2
                                       << "reverseproxyctl: cannot connect to the service at %1: it is not running\n"
                                       << "";
}

// Sockets that give no answer: each case is told apart, and "not running"
// only when nothing accepted the connection.
void TestReverseproxyctl::unanswered()
{
    QFETCH(QString, server);
    QFETCH(int, mode);
    QFETCH(bool, clientAsNobody);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, received);
    if (!canActAsNobody())
        QSKIP("needs root, setpriv and python3 to act as another user");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
    const QString socket = dir.filePath(QStringLiteral("reverseproxy.sock"));
    QProcess listener;
    if (server == QLatin1String("stale")) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(socket).constData(), sizeof address.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    } else {
        QVERIFY(startSocketServer(listener, socket, mode, server == QLatin1String("nobody")));
    }

    const QStringList client{QStringLiteral(BIN_DIR "/reverseproxyctl"), QStringLiteral("--lpcid"), socket,
                             QStringLiteral("--timeout"), QStringLiteral("1"), QStringLiteral("list")};
    QProcess process;
    if (clientAsNobody)
        process.start(QStringLiteral("setpriv"), asNobody() + client);
    else
        process.start(client.first(), client.mid(1));
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(QString::fromLocal8Bit(process.readAllStandardError()), message.arg(socket));
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    if (server == QLatin1String("stale"))
        return;
    listener.closeWriteChannel();
    QVERIFY(listener.waitForFinished(30000));
    const QString seen = QString::fromLocal8Bit(listener.readAllStandardOutput());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(received)).match(seen).hasMatch(), qPrintable(seen));
}

// Access in words; passwd sets a user's password, read from standard input
// here, and keeps the other users' hashes.
void TestReverseproxyctl::access()
{
    QJsonObject rule = simpleRule(QStringLiteral("私有"), QStringLiteral("/private/"), 3001);
    rule.insert("access", QJsonObject{{"allow", QJsonArray{"192.168.0.0/16"}},
                                      {"users", QJsonArray{QJsonObject{{"name", "alice"}, {"password", "first-pw"}}}}});
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule).value(QStringLiteral("err")).toInt(-1), 0);
    QByteArray out;
    QCOMPARE(run({QStringLiteral("list")}, &out), 0);
    QVERIFY2(QRegularExpression(QStringLiteral("\\n3 +私有 .* allow 192.168.0.0/16, 1 user\\n")).match(QString::fromUtf8(out)).hasMatch(),
             out.constData());
    QCOMPARE(run({QStringLiteral("show"), QStringLiteral("3")}, &out), 0);
    QVERIFY2(out.contains("access:       allow 192.168.0.0/16, 1 user (alice)\n"), out.constData());
    QCOMPARE(run({QStringLiteral("passwd"), QStringLiteral("私有"), QStringLiteral("bob")}, &out, "second-pw\n"), 0);
    QCOMPARE(run({QStringLiteral("passwd"), QStringLiteral("9"), QStringLiteral("bob")}, &out, "x\n"), 1);
    const QJsonArray users = ask(QStringLiteral("reverseproxy_acquit"), {{"pxyno", 3}})
                                 .value("results").toObject().value("access").toObject().value("users").toArray();
    QCOMPARE(users.size(), 2);
    const QByteArray hash = users.at(1).toObject().value("hash").toString().toLatin1();
    QCOMPARE(users.at(1).toObject().value("name").toString(), QStringLiteral("bob"));
    QCOMPARE(QByteArray(::crypt("second-pw", hash.constData())), hash);
}

// Changes by two users, one refused, as the trail lists and prints them to
// either user; no password reaches it.
void TestReverseproxyctl::auditTrail()
{
    if (!canActAsNobody())
        QSKIP("needs root, setpriv and python3 to act as another user");
    for (const QString &dir : {m_root.root(), m_root.path(QStringLiteral("/orba/run"))})
        QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther));
    auto json = [](const QJsonObject &object) { return QString::fromUtf8(QJsonDocument(object).toJson()); };
    QJsonObject rule = simpleRule(QStringLiteral("日志"), QStringLiteral("/trail/"), 3100);
    rule.insert("access", QJsonObject{{"users", QJsonArray{QJsonObject{{"name", "alice"}, {"password", "s3cret-pw"}}}}});
    QByteArray out;
    QCOMPARE(run({QStringLiteral("reverseproxy_create"), json(rule)}, &out), 0);
    const int pxyno = ask(QStringLiteral("reverseproxy_alload"), {}).value("results").toObject()
                          .value(QStringLiteral("日志")).toObject().value("pxyno").toInt();
    QVERIFY(pxyno > 0);
    QJsonObject changed = rule;
    changed.insert(QStringLiteral("pxyno"), pxyno);
    changed.insert(QStringLiteral("dest"), simpleRule(QString(), QString(), 3200).value("dest"));
    QCOMPARE(run({QStringLiteral("reverseproxy_change"), json(changed)}, &out, {}, true), 0);
    QCOMPARE(run({QStringLiteral("reverseproxy_create"), json(rule)}, &out, {}, true), 1); // the name exists
    QCOMPARE(run({QStringLiteral("reverseproxy_remove"), json({{"pxyno", pxyno}})}, &out), 0);

    const QJsonObject answer = ask(QStringLiteral("reverseproxy_log"), {{"limit", 4}});
    QVERIFY(!json(answer).contains(QStringLiteral("s3cret-pw")));
    const QJsonArray entries = answer.value("results").toArray();
    QCOMPARE(entries.size(), 4);
    const QList<QStringList> expected{{"reverseproxy_remove", "0", "0", "before"},
                                      {"reverseproxy_create", "65534", "9993", "after"},
                                      {"reverseproxy_change", "65534", "0", "before after"},
                                      {"reverseproxy_create", "0", "0", "after"}};
    for (int i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries.at(i).toObject();
        QStringList sides;
        for (const char *side : {"before", "after"}) {
            if (entry.value(side).isObject())
                sides << side;
        }
        QCOMPARE((QStringList{entry.value("cmd").toString(), QString::number(entry.value("uid").toInt()),
                              QString::number(entry.value("err").toInt()), sides.join(' ')}),
                 expected.at(i));
        QCOMPARE(entry.value("program").toString(), QStringLiteral("reverseproxyctl"));
        QCOMPARE(entry.value("name").toString(), QStringLiteral("日志"));
    }
    QCOMPARE(entries.at(2).toObject().value("after").toObject().value("access").toObject(),
             QJsonObject({{"users", QJsonArray{QJsonObject{{"name", "alice"}}}}}));

    // Read by the other user, of this rule only; the time is local.
    QCOMPARE(run({"log", "-n", "2", QString::number(pxyno)}, &out, {}, true), 0);
    const QStringList lines = QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("TIME")), qPrintable(lines.at(0)));
    const QString row = QStringLiteral("^[-0-9]{10} [:0-9]{8} +%1 +reverseproxyctl\\[\\d+\\] +reverseproxy_%2 +%3 日志 +ok +")
                        + QRegularExpression::escape("http://<appliance>/trail/ -> http://127.0.0.1:3200/") + '$';
    QVERIFY2(QRegularExpression(row.arg("root", "remove").arg(pxyno)).match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QVERIFY2(QRegularExpression(row.arg("nobody", "change").arg(pxyno)).match(lines.at(2)).hasMatch(), qPrintable(lines.at(2)));
    QCOMPARE(run({QStringLiteral("list"), QStringLiteral("-n"), QStringLiteral("2")}, &out), 2);
}

QTEST_GUILESS_MAIN(TestReverseproxyctl)
#include "tst_reverseproxyctl.moc"
