// The client's readable forms (list, show, status) and --json, against the
// real service in a temporary root; sockets it must not use.

#include "otheruser.h"
#include "servicefixture.h"
#include "../tools/ruleview.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

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
    void unanswered_data();
    void unanswered();

private:
    int run(const QStringList &args, QByteArray *out);
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

int TestReverseproxyctl::run(const QStringList &args, QByteArray *out)
{
    QProcess client;
    client.setProcessEnvironment(m_root.environment());
    client.start(QStringLiteral(BIN_DIR "/reverseproxyctl"), QStringList{QStringLiteral("--lpcid"), m_root.lpcid()} + args);
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
    QVERIFY2(lines.size() > 3 && lines.at(3).startsWith(QStringLiteral("own names: ")), qPrintable(lines.join('\n')));
    QVERIFY(lines.contains(QStringLiteral("                 localhost")));
    QVERIFY2(QRegularExpression(QStringLiteral("^apache: +(active|inactive|unknown)$")).match(lines.at(0)).hasMatch(),
             qPrintable(lines.at(0)));
    QVERIFY2(QRegularExpression(QStringLiteral("^last reload: +(none|pending|ok|failed)")).match(lines.at(1)).hasMatch(),
             qPrintable(lines.at(1)));
    QCOMPARE(lines.at(2), QStringLiteral("disabled rules:  0"));
}

// The service cannot be made to disable a rule here: the view is fed a status.
void TestReverseproxyctl::disabledRules()
{
    const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload"), {}).value(QStringLiteral("results")).toObject();
    const QJsonObject status = QJsonDocument::fromJson(
        "{\"reload\":{\"state\":\"failed\",\"time\":\"2026-12-07T10:00:00Z\",\"message\":\"AH00526\"},"
        "\"apache\":\"active\",\"disabled\":[{\"pxyno\":2,\"name\":\"web\",\"reason\":\"端口已被占用\"}]}").object();
    QCOMPARE(RuleView::rulesTable(rules, RuleView::disabledRules(status)),
             QStringLiteral("NO  NAME  SOURCE                        DESTINATION             STATE\n"
                            "1   媒体  http://<appliance>/media/     http://127.0.0.1:8096/\n"
                            "2   web   http://nas.example:8080/app/  http://127.0.0.1:3000/  disabled: 端口已被占用\n"));
    QCOMPARE(RuleView::statusText(status),
             QStringLiteral("apache:          active\n"
                            "last reload:     failed at 2026-12-07T10:00:00Z: AH00526\n"
                            "disabled rules:  1\n"
                            "                 2 web: 端口已被占用\n"));
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

QTEST_GUILESS_MAIN(TestReverseproxyctl)
#include "tst_reverseproxyctl.moc"
