#include "apachefixture.h"
#include "servicefixture.h"
#include "testfiles.h"
#include "zx2rpcpacket.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

// The real service binary as a child process, driven over its socket.
class tst_ServiceE2E : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commandsOverOneConnection();
    void helpKeyKeepsPreviousJournalCode();
    void unknownCommands_data();
    void unknownCommands();
    void helpInterfacesListsPlainCommands();
    void debuggingAddsDetails();
    void lpcidIsUsedUntrimmed();
    void hangupAndBrokenPipeAreIgnored();
    void clientLeavingBeforeItsAnswer();
    void startFailures_data();
    void startFailures();
    void ruleStoreFailureIsTraced();
    void existingDatabaseRegeneratesFilesAtStart();
    void clientExitStatus_data();
    void clientExitStatus();
    void realApacheForwardsThroughCreatedRule();
    void destinationNames_data();
    void destinationNames();
    void configuredNames();

private:
    bool startService(bool debugging = false);
    QJsonObject ask(ServiceConnection &connection, const QJsonObject &request);
    QString fileText(const QString &fixedPath) const;

    ServiceRoot *m_root = nullptr;
    ServiceProcess *m_service = nullptr;
};

void tst_ServiceE2E::init()
{
    m_root = new ServiceRoot;
    QVERIFY(m_root->isValid());
    m_root->writeDefinePorts(18080, 18443);
    m_service = new ServiceProcess(*m_root);
}

void tst_ServiceE2E::cleanup()
{
    delete m_service;
    delete m_root;
    m_service = nullptr;
    m_root = nullptr;
}

bool tst_ServiceE2E::startService(bool debugging)
{
    const QString config = m_root->writeDefaultConfig(debugging);
    return m_service->start({QStringLiteral("--cfg"), config}, m_root->lpcid());
}

QJsonObject tst_ServiceE2E::ask(ServiceConnection &connection, const QJsonObject &request)
{
    QJsonObject answer;
    if (!connection.request(request, &answer))
        return QJsonObject{{QStringLiteral("noanswer"), true}};
    return answer;
}

QString tst_ServiceE2E::fileText(const QString &fixedPath) const
{
    QFile file(m_root->path(fixedPath));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

static QJsonObject command(const QString &cmd, const QJsonObject &params = QJsonObject())
{
    return {{QStringLiteral("cmd"), cmd}, {QStringLiteral("params"), params}};
}

static const QJsonObject kSucceeded{{QStringLiteral("err"), 0}};

void tst_ServiceE2E::commandsOverOneConnection()
{
    QVERIFY(startService());
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));

    QCOMPARE(ask(c, command(QStringLiteral("reverseproxy_create"),
                            simpleRule(QStringLiteral("alpha"), QStringLiteral("/alpha"), 3000))), kSucceeded);
    QJsonObject custom = simpleRule(QStringLiteral("beta"), QStringLiteral("/"), 3001);
    custom.insert(QStringLiteral("source"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                        {QStringLiteral("port"), 18090}});
    QCOMPARE(ask(c, command(QStringLiteral("_reverseproxy_create"), custom)), kSucceeded);
    QVERIFY(fileText(QStringLiteral("/orba/etc/reverseproxy/http.conf")).contains(QStringLiteral("# alpha\n")));
    QVERIFY(fileText(QStringLiteral("/orba/etc/reverseproxy/virtualhost/http_18090.conf"))
                .contains(QStringLiteral("Listen 18090")));

    QJsonObject answer = ask(c, command(QStringLiteral("reverseproxy_alload")));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject rules = answer.value(QStringLiteral("results")).toObject();
    QCOMPARE(rules.keys(), QStringList({QStringLiteral("alpha"), QStringLiteral("beta")}));
    const int alpha = rules.value(QStringLiteral("alpha")).toObject().value(QStringLiteral("pxyno")).toInt();

    answer = ask(c, command(QStringLiteral("_reverseproxy_acquit"), {{QStringLiteral("pxyno"), alpha}}));
    QCOMPARE(answer.value(QStringLiteral("results")).toObject(), rules.value(QStringLiteral("alpha")).toObject());

    QJsonObject renamed = simpleRule(QStringLiteral("gamma"), QStringLiteral("/alpha"), 3000);
    renamed.insert(QStringLiteral("pxyno"), alpha);
    QCOMPARE(ask(c, command(QStringLiteral("reverseproxy_change"), renamed)), kSucceeded);
    QVERIFY(fileText(QStringLiteral("/orba/etc/reverseproxy/http.conf")).contains(QStringLiteral("# gamma\n")));

    QCOMPARE(ask(c, command(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), alpha}})), kSucceeded);
    answer = ask(c, command(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), alpha}}));
    QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), QStringLiteral("序号不存在"));
    QVERIFY(!fileText(QStringLiteral("/orba/etc/reverseproxy/http.conf")).contains(QStringLiteral("gamma")));

    // Each successful change asks for a reload about three seconds later.
    QTRY_VERIFY_WITH_TIMEOUT(m_root->systemctlLog().contains(QStringLiteral("reload apache2\n")), 20000);
    QTRY_VERIFY(m_service->output().contains(QStringLiteral("Apache reloaded")));
    QCOMPARE(m_service->output().split('\n', Qt::SkipEmptyParts).filter(QStringLiteral("Apache reloaded")).size(),
             m_service->output().split('\n', Qt::SkipEmptyParts).size()); // nothing else without debugging
}

void tst_ServiceE2E::helpKeyKeepsPreviousJournalCode()
{
    QVERIFY(startService());
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    QJsonObject help = command(QStringLiteral("reverseproxy_create"),
                               simpleRule(QStringLiteral("never"), QStringLiteral("/never"), 3000));
    help.insert(QStringLiteral("help"), 1);

    QCOMPARE(ask(c, help), QJsonObject({{QStringLiteral("err"), 9999}}));
    ask(c, command(QStringLiteral("reverseproxy_acquit")));
    QCOMPARE(ask(c, help), QJsonObject({{QStringLiteral("err"), 9995},
                                        {QStringLiteral("errmsg"), QStringLiteral("参数遗漏(pxyno)")}}));
    ask(c, command(QStringLiteral("reverseproxy_alload")));
    QCOMPARE(ask(c, help), kSucceeded);

    const QJsonObject rules = ask(c, command(QStringLiteral("reverseproxy_alload")))
                                  .value(QStringLiteral("results")).toObject();
    QVERIFY(rules.isEmpty());
}

void tst_ServiceE2E::unknownCommands_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown") << command(QStringLiteral("reverseproxy_nosuch"))
                             << QStringLiteral("被调用的方法不存在: reverseproxy_nosuch");
    QTest::newRow("no cmd") << QJsonObject{{QStringLiteral("params"), QJsonObject()}}
                            << QStringLiteral("被调用的方法不存在: ");
    QTest::newRow("private helper") << command(QStringLiteral("checkParams"))
                                    << QStringLiteral("被调用的方法不存在: checkParams");
}

void tst_ServiceE2E::unknownCommands()
{
    QFETCH(QJsonObject, request);
    QFETCH(QString, message);
    QVERIFY(startService());
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    QCOMPARE(ask(c, request), QJsonObject({{QStringLiteral("err"), 9885}, {QStringLiteral("errmsg"), message}}));
}

void tst_ServiceE2E::helpInterfacesListsPlainCommands()
{
    QVERIFY(startService());
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    const QJsonObject answer = ask(c, command(QStringLiteral("help_interfaces")));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject results = answer.value(QStringLiteral("results")).toObject();
    QCOMPARE(results.keys(), QStringList({QStringLiteral("help_interfaces"), QStringLiteral("reverseproxy_acquit"),
                                          QStringLiteral("reverseproxy_alload"), QStringLiteral("reverseproxy_change"),
                                          QStringLiteral("reverseproxy_create"), QStringLiteral("reverseproxy_import"),
                                          QStringLiteral("reverseproxy_log"), QStringLiteral("reverseproxy_remove"),
                                          QStringLiteral("reverseproxy_status")}));
    const QJsonObject create = results.value(QStringLiteral("reverseproxy_create")).toObject();
    QCOMPARE(create, QJsonObject({{QStringLiteral("comment"), QStringLiteral("<<此接口没有提供使用说明>>")},
                                  {QStringLiteral("cmd"), QStringLiteral("reverseproxy_create")}}));
    // Listing runs each command with "help": nothing may have been created.
    QCOMPARE(fileText(QStringLiteral("/orba/etc/reverseproxy/http.conf")), QString());
}

void tst_ServiceE2E::debuggingAddsDetails()
{
    QVERIFY(startService(true));
    QTRY_VERIFY(m_service->output().contains(QStringLiteral("Local agent: ") + m_root->lpcid() + QLatin1Char('\n')));
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    const QJsonObject answer = ask(c, command(QStringLiteral("reverseproxy_alload")));
    QVERIFY(answer.contains(QStringLiteral("elapsed")));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 0);
}

void tst_ServiceE2E::lpcidIsUsedUntrimmed()
{
    const QString lpcid = m_root->lpcid() + QStringLiteral("  ");
    const QString config = m_root->writeConfig({{QStringLiteral("lpcid"), lpcid},
                                                {QStringLiteral("appname"), QStringLiteral("  app  ")}});
    QVERIFY(m_service->start({QStringLiteral("--cfg"), config}, lpcid));
    QVERIFY(QFileInfo(lpcid).exists());
    QVERIFY(!QFileInfo::exists(m_root->lpcid()));
}

void tst_ServiceE2E::hangupAndBrokenPipeAreIgnored()
{
    QVERIFY(startService());
    ServiceConnection open;
    QVERIFY(open.open(m_root->lpcid()));
    QCOMPARE(ask(open, command(QStringLiteral("reverseproxy_alload"))).value(QStringLiteral("err")).toInt(), 0);
    // The reload at start traces its outcome; the signals add nothing to it.
    QTRY_VERIFY(ask(open, command(QStringLiteral("reverseproxy_status"))).value(QStringLiteral("results"))
                    .toObject().value(QStringLiteral("reload")).toObject().value(QStringLiteral("state"))
                    .toString() == QLatin1String("ok"));
    QTRY_VERIFY(m_service->output().contains(QLatin1String("Apache reloaded")));
    const QString traced = m_service->output();

    m_service->signal(SIGHUP);
    m_service->signal(SIGPIPE);
    QVERIFY(!m_service->waitForExit(500));
    QCOMPARE(ask(open, command(QStringLiteral("reverseproxy_alload"))).value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(m_service->output(), traced);

    // SIGTERM ends the service even with a client connected.
    m_service->signal(SIGTERM);
    QVERIFY(m_service->waitForExit());
    QCOMPARE(m_service->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_service->exitCode(), 0);
    QCOMPARE(m_service->output(), traced + QStringLiteral("Wait for quit ...\n"));
    QVERIFY(!QFile::exists(m_root->lpcid()));
}

void tst_ServiceE2E::clientLeavingBeforeItsAnswer()
{
    QVERIFY(startService());
    for (int i = 0; i < 5; ++i) {
        ServiceConnection gone;
        QVERIFY(gone.open(m_root->lpcid()));
        QVERIFY(gone.send(ZX2RpcPacket(command(QStringLiteral("reverseproxy_alload"))).toDatagram()));
        gone.close();
    }
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    QCOMPARE(ask(c, command(QStringLiteral("reverseproxy_alload"))).value(QStringLiteral("err")).toInt(), 0);
    QVERIFY(m_service->isRunning());
}

void tst_ServiceE2E::startFailures_data()
{
    QTest::addColumn<QString>("config");   // empty: no configuration file
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no configuration file") << QString() << QStringList();
    QTest::newRow("not a JSON object") << QStringLiteral("[1,2]") << QStringList();
    QTest::newRow("no lpcid") << QStringLiteral("{\"debugging\":true}") << QStringList();
    QTest::newRow("lpcid not a string") << QStringLiteral("{\"lpcid\":5}") << QStringList({QStringLiteral("--upload")});
    QTest::newRow("lpcid under a file") << QStringLiteral("{\"lpcid\":\"@ROOT@/etc/reverseproxy/config.json/sock\"}")
                                        << QStringList({QStringLiteral("--restore")});
}

void tst_ServiceE2E::startFailures()
{
    QFETCH(QString, config);
    QFETCH(QStringList, arguments);
    if (!config.isEmpty()) {
        QFile file(m_root->path(QStringLiteral("/orba/etc/reverseproxy/config.json")));
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config.replace(QStringLiteral("@ROOT@"), m_root->root()).toUtf8());
    }
    // Without --cfg the default path under ORBA_ROOT is read.
    QVERIFY(m_service->start(arguments));
    QVERIFY(m_service->waitForExit());
    QCOMPARE(m_service->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_service->exitCode(), 255);
    QCOMPARE(m_service->output(), QString());
    // The rule store is opened before the configuration keys are looked at.
    QVERIFY(QFile::exists(m_root->path(QStringLiteral("/orba/etc/reverseproxy/reverseproxy.db"))));
}

void tst_ServiceE2E::ruleStoreFailureIsTraced()
{
    // A directory where the database file belongs cannot be opened.
    QVERIFY(QDir().mkpath(m_root->path(QStringLiteral("/orba/etc/reverseproxy/reverseproxy.db"))));
    QVERIFY(m_service->start({QStringLiteral("--cfg"), m_root->writeDefaultConfig(false)}));
    QVERIFY(m_service->waitForExit());
    QCOMPARE(m_service->exitCode(), 255);
    const QString output = m_service->output();
    QVERIFY2(output.startsWith(QStringLiteral(">>-->")), qPrintable(output));
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("appdata\\.cpp#\\d+ => start: myJournals\\.toObject\\(\\) = \\{"))),
             qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("\"err\"")), qPrintable(output));
    QVERIFY(!QFile::exists(m_root->lpcid()));
}

void tst_ServiceE2E::existingDatabaseRegeneratesFilesAtStart()
{
    QVERIFY(startService());
    {
        ServiceConnection c;
        QVERIFY(c.open(m_root->lpcid()));
        QCOMPARE(ask(c, command(QStringLiteral("reverseproxy_create"),
                                simpleRule(QStringLiteral("kept"), QStringLiteral("/kept"), 3000))), kSucceeded);
    }
    m_service->signal(SIGTERM);
    QVERIFY(m_service->waitForExit());
    const QString httpConf = m_root->path(QStringLiteral("/orba/etc/reverseproxy/http.conf"));
    QVERIFY(QFile::remove(httpConf));

    // An empty --cfg means the default configuration path; the two switches do nothing.
    ServiceProcess again(*m_root);
    QVERIFY(again.start({QStringLiteral("--cfg"), QString(), QStringLiteral("--upload"), QStringLiteral("--restore")},
                        m_root->lpcid()));
    QVERIFY(fileText(QStringLiteral("/orba/etc/reverseproxy/http.conf")).contains(QStringLiteral("# kept\n")));
}

// The body of a plain HTTP/1.0 GET on 127.0.0.1, with its status line.
static QByteArray httpGet(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return QByteArray();
    socket.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(10000))
        reply += socket.readAll();
    return reply;
}

void tst_ServiceE2E::clientExitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("printed");   // part of standard output, or of standard error for status 2
    QTest::newRow("success") << QStringList{QStringLiteral("reverseproxy_alload")} << 0 << QStringLiteral("\"err\": 0");
    QTest::newRow("refused") << QStringList{QStringLiteral("reverseproxy_acquit"), QStringLiteral("{\"pxyno\":0}")}
                             << 1 << QStringLiteral("参数遗漏(pxyno)");
    QTest::newRow("unknown command") << QStringList{QStringLiteral("nosuch")} << 1 << QStringLiteral("9885");
    QTest::newRow("no service") << QStringList{QStringLiteral("--lpcid"), QStringLiteral("@ROOT@/none.sock"),
                                               QStringLiteral("reverseproxy_alload")}
                                << 2 << QStringLiteral("is the service running?");
    QTest::newRow("params not an object") << QStringList{QStringLiteral("reverseproxy_alload"), QStringLiteral("[1]")}
                                          << 2 << QStringLiteral("must be a JSON object");
    QTest::newRow("no command") << QStringList() << 2 << QStringLiteral("expected COMMAND");
}

void tst_ServiceE2E::clientExitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, printed);
    QVERIFY(startService());
    arguments.replaceInStrings(QStringLiteral("@ROOT@"), m_root->root());
    QProcess ctl;
    ctl.setProcessEnvironment(m_root->environment());
    ctl.start(QStringLiteral(BIN_DIR "/reverseproxyctl"), arguments);
    QVERIFY(ctl.waitForFinished(60000));
    QCOMPARE(ctl.exitCode(), status);
    const QString text = QString::fromUtf8(status == 2 ? ctl.readAllStandardError() : ctl.readAllStandardOutput());
    QVERIFY2(text.contains(printed), qPrintable(text));
}

void tst_ServiceE2E::realApacheForwardsThroughCreatedRule()
{
    TestApache backend;
    QVERIFY2(backend.start(), qPrintable(backend.errorText()));
    QVERIFY(backend.writeDocument(QStringLiteral("index.html"), "reached the backend\n"));

    // The appliance's Apache: its http port includes the generated location blocks.
    TestApache front;
    front.setExtraConfig(QStringLiteral("LoadModule proxy_module /usr/lib/apache2/modules/mod_proxy.so\n"
                                        "LoadModule proxy_http_module /usr/lib/apache2/modules/mod_proxy_http.so\n"
                                        "LoadModule env_module /usr/lib/apache2/modules/mod_env.so\n"
                                        "LoadModule setenvif_module /usr/lib/apache2/modules/mod_setenvif.so\n"
                                        "LoadModule alias_module /usr/lib/apache2/modules/mod_alias.so\n"
                                        "IncludeOptional \"%1\"\n")
                             .arg(m_root->path(QStringLiteral("/orba/etc/reverseproxy/http.conf"))));
    QVERIFY2(front.start(), qPrintable(front.errorText()));
    m_root->writeDefinePorts(front.httpPort(), front.httpsPort());
    // The shared stand-ins reload only the running front Apache, so nothing
    // the service runs after this test has stopped it starts it again.
    QVERIFY(writeStandins(m_root->root() + QStringLiteral("/bin"), m_root->root(), &front));
    QVERIFY(startService());

    QJsonObject rule = simpleRule(QStringLiteral("through"), QStringLiteral("/through/"), backend.httpPort());
    QProcess ctl;
    ctl.setProcessEnvironment(m_root->environment());
    ctl.start(QStringLiteral(BIN_DIR "/reverseproxyctl"),
              {QStringLiteral("reverseproxy_create"), QString::fromUtf8(QJsonDocument(rule).toJson())});
    QVERIFY(ctl.waitForFinished(60000));
    const QByteArray printed = ctl.readAllStandardOutput();
    QVERIFY2(ctl.exitCode() == 0, printed + ctl.readAllStandardError());
    QCOMPARE(QJsonDocument::fromJson(printed).object(), kSucceeded);

    // The rule is live once the stand-in has reloaded the front Apache.
    QTRY_VERIFY_WITH_TIMEOUT(httpGet(front.httpPort(), "/through/").contains("reached the backend"), 30000);
    QVERIFY(m_root->systemctlLog().contains(QStringLiteral("reload apache2")));
    QVERIFY2(httpGet(front.httpPort(), "/through/").startsWith("HTTP/1.1 200"), qPrintable(front.errorLog()));

    // Once stopped, the front Apache stays stopped: a reload fails instead of
    // starting one that would outlive the test.
    front.stop();
    QProcess reload;
    reload.setProcessEnvironment(m_root->environment());
    reload.start(m_root->root() + QStringLiteral("/bin/systemctl"), {QStringLiteral("reload"), QStringLiteral("apache2")});
    QVERIFY(reload.waitForFinished(30000));
    QCOMPARE(reload.exitCode(), 1);
    QVERIFY(!QFile::exists(front.serverRoot() + QStringLiteral("/run/apache2.pid")));
}

// A name from the hosts file that the service cannot take for this machine
// without asking the resolver: one mapped to a loopback address, neither a
// "localhost" name nor the machine's own name. Empty when there is none.
static QString loopbackNameFromHostsFile()
{
    QFile hosts(QStringLiteral("/etc/hosts"));
    if (!hosts.open(QIODevice::ReadOnly))
        return QString();
    const QString own = QHostInfo::localHostName().toLower();
    for (const QString &line : QString::fromUtf8(hosts.readAll()).split(QLatin1Char('\n'))) {
        const QStringList words = line.section(QLatin1Char('#'), 0, 0).simplified().split(QLatin1Char(' '));
        if (words.size() < 2 || !QHostAddress(words.first()).isLoopback())
            continue;
        for (const QString &name : words.mid(1)) {
            if (!name.toLower().contains(QLatin1String("localhost")) && name.toLower() != own
                && !name.startsWith(QLatin1String("ip6-")))
                return name;
        }
    }
    return QString();
}

void tst_ServiceE2E::destinationNames_data()
{
    QTest::addColumn<QString>("host");   // "@HOSTS@": a loopback name of the hosts file
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("refused");
    QTest::newRow("hosts-file name on the web port") << "@HOSTS@" << 18080 << true;
    QTest::newRow("hosts-file name on the other web port") << "@HOSTS@" << 18443 << true;
    QTest::newRow("hosts-file name elsewhere") << "@HOSTS@" << 3000 << false;
    QTest::newRow("fully qualified localhost") << "localhost." << 18080 << true;
    QTest::newRow("own host name") << QHostInfo::localHostName() << 18080 << true;
    QTest::newRow("address of another host") << "203.0.113.9" << 18080 << false;
    QTest::newRow("name that does not resolve") << "no-such-host.invalid" << 18080 << false;
}

// A destination named through the hosts file or DNS that reaches this
// Apache is refused like its address would be.
void tst_ServiceE2E::destinationNames()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, refused);
    if (host == QLatin1String("@HOSTS@")) {
        host = loopbackNameFromHostsFile();
        if (host.isEmpty())
            QSKIP("the hosts file names no loopback address but localhost");
    }
    QVERIFY(startService());
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    QJsonObject rule = simpleRule(QStringLiteral("named"), QStringLiteral("/named/"), port);
    QJsonObject dest = rule.value(QStringLiteral("dest")).toObject();
    dest.insert(QStringLiteral("host"), host);
    rule.insert(QStringLiteral("dest"), dest);
    const QJsonObject answer = ask(c, command(QStringLiteral("reverseproxy_create"), rule));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), refused ? 9923 : 0);
}

// The names configured in config.json are the appliance's own: the status
// lists them (in the ASCII form browsers send; what no Host can spell is
// left out, as it could not be written into Apache's files), and they keep
// every reserved path.
void tst_ServiceE2E::configuredNames()
{
    const QString config = m_root->writeConfig(
        {{QStringLiteral("lpcid"), m_root->lpcid()},
         {QStringLiteral("names"), QJsonArray{QStringLiteral(" nas.example.org "), QStringLiteral(""),
                                              QStringLiteral("Bücher.example"), QStringLiteral("x\"\nInclude /etc")}}});
    QVERIFY(m_service->start({QStringLiteral("--cfg"), config}, m_root->lpcid()));
    ServiceConnection c;
    QVERIFY(c.open(m_root->lpcid()));
    const QJsonArray names = ask(c, command(QStringLiteral("reverseproxy_status")))
                                 .value(QStringLiteral("results")).toObject().value(QStringLiteral("names")).toArray();
    QVERIFY(names.contains(QStringLiteral("nas.example.org")));
    QVERIFY(names.contains(QStringLiteral("xn--bcher-kva.example")));
    for (const QJsonValue &name : names)
        QVERIFY2(!name.toString().isEmpty() && !name.toString().contains(QLatin1Char('"')), qPrintable(name.toString()));
    QJsonObject rule = simpleRule(QStringLiteral("named"), QStringLiteral("/api/x"), 3000);
    QJsonObject source = rule.value(QStringLiteral("source")).toObject();
    source.insert(QStringLiteral("host"), QStringLiteral("NAS.example.org"));
    rule.insert(QStringLiteral("source"), source);
    QCOMPARE(ask(c, command(QStringLiteral("reverseproxy_create"), rule)).value(QStringLiteral("err")).toInt(-1), 9926);
}

QTEST_GUILESS_MAIN(tst_ServiceE2E)
#include "tst_service_e2e.moc"
