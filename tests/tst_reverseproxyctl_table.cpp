// The rule table carried and seen through the client: export, import (all or
// nothing, --replace, --dry-run) and list --check, against real services in
// temporary roots.

#include "bannerserver.h"
#include "rawbackend.h"
#include "servicefixture.h"
#include "testfiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>
#include <QtTest>

namespace {

const int kHttpPort = 18080; // appliance web ports as the Define files give them
const int kHttpsPort = 18443;

// What an import may change: the rules (by name, without numbers), the
// generated files, Apache's reloads.
struct Snapshot
{
    QJsonObject rules;
    QMap<QString, QByteArray> files;
    QString reloads;      // the reloads in the systemctl stand-in's log
    QJsonObject reload;   // the status's last reload
};

// A service on a fresh root of its own.
class Service
{
public:
    Service()
    {
        m_root.writeDefinePorts(kHttpPort, kHttpsPort);
        m_root.writeDefaultConfig(false);
        m_process.reset(new ServiceProcess(m_root));
    }

    bool start() { return m_root.isValid() && m_process->start({}, m_root.lpcid()); }
    // Ends the service at once (its store keeps every answered change) and starts it again.
    bool restart()
    {
        m_process.reset(new ServiceProcess(m_root));
        return start();
    }
    ServiceRoot &root() { return m_root; }

    QJsonObject ask(const QString &command, const QJsonObject &params = QJsonObject())
    {
        ServiceConnection connection;
        QJsonObject answer;
        if (connection.open(m_root.lpcid()))
            connection.request({{QStringLiteral("cmd"), command}, {QStringLiteral("params"), params}}, &answer);
        return answer;
    }

    // The client's exit code (-1 when it did not end normally) and output.
    int run(const QStringList &args, QByteArray *out, QByteArray *err = nullptr)
    {
        QProcess client;
        client.setProcessEnvironment(m_root.environment());
        client.start(QStringLiteral(BIN_DIR "/reverseproxyctl"), QStringList{QStringLiteral("--lpcid"), m_root.lpcid()} + args);
        if (!client.waitForFinished(60000))
            return -1;
        *out = client.readAllStandardOutput();
        if (err)
            *err = client.readAllStandardError();
        return client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
    }

    Snapshot snapshot()
    {
        Snapshot shot;
        const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload")).value(QStringLiteral("results")).toObject();
        for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
            QJsonObject record = rule.value().toObject();
            record.remove(QStringLiteral("pxyno"));
            shot.rules.insert(rule.key(), record);
        }
        const QDir dir(m_root.path(QStringLiteral("/orba/etc/reverseproxy")));
        QStringList names{QStringLiteral("http.conf"), QStringLiteral("https.conf")};
        for (const QString &host : QDir(dir.filePath(QStringLiteral("virtualhost"))).entryList(QDir::Files))
            names << QStringLiteral("virtualhost/") + host;
        for (const QString &name : qAsConst(names)) {
            QFile file(dir.filePath(name));
            // The files name paths below the root, which differs between services.
            const QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
            shot.files.insert(name, QByteArray(content).replace(m_root.root().toUtf8(), "<root>"));
        }
        for (const QString &line : m_root.systemctlLog().split(QLatin1Char('\n'))) {
            if (line.contains(QLatin1String("reload")))
                shot.reloads += line + QLatin1Char('\n');
        }
        shot.reload = ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject()
                          .value(QStringLiteral("reload")).toObject();
        return shot;
    }

    // Waits until the reload of the changes made so far is done, so that a
    // later one shows: until none is pending, then until one the worker
    // already began has ended (a dry run stages its files only after that).
    bool settle()
    {
        auto pending = [this] {
            return snapshot().reload.value(QStringLiteral("state")).toString() == QLatin1String("pending");
        };
        for (int i = 0; i < 300 && pending(); ++i)
            QTest::qWait(100);
        const QJsonObject nothing{{QStringLiteral("rules"), QJsonArray()}, {QStringLiteral("replace"), true},
                                  {QStringLiteral("dryrun"), true}};
        return ask(QStringLiteral("reverseproxy_import"), nothing).value(QStringLiteral("err")).toInt(-1) == 0
               && !pending();
    }

private:
    ServiceRoot m_root;
    QScopedPointer<ServiceProcess> m_process;
};

QJsonObject rule(const QString &name, const QString &path, int destPort,
                 const QJsonObject &extra = QJsonObject())
{
    QJsonObject params = simpleRule(name, path, destPort);
    for (auto it = extra.begin(); it != extra.end(); ++it)
        params.insert(it.key(), it.value());
    return params;
}

QJsonObject source(const QString &protocol, int port, const QString &path, const QString &host = QString())
{
    QJsonObject side{{QStringLiteral("protocol"), protocol}, {QStringLiteral("port"), port},
                     {QStringLiteral("path"), path}};
    if (!host.isEmpty())
        side.insert(QStringLiteral("host"), host);
    return side;
}

QJsonObject dest(const QString &protocol, int port, const QString &path = QStringLiteral("/"))
{
    return {{QStringLiteral("protocol"), protocol}, {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
            {QStringLiteral("port"), port}, {QStringLiteral("path"), path}};
}

// A table with every kind of rule: appliance web ports (one for a host
// name), custom ports (one with a host name), https, directives, extra keys.
QList<QJsonObject> sampleRules()
{
    const QJsonArray headers{QJsonObject{{QStringLiteral("key"), QStringLiteral("RequestHeader")},
                                         {QStringLiteral("value"), QStringLiteral("set X-Via nas")}}};
    return {rule(QStringLiteral("媒体"), QStringLiteral("/media/"), 8096),
            rule(QStringLiteral("web"), QString(), 3000,
                 {{QStringLiteral("source"), source(QStringLiteral("http"), 8080, QStringLiteral("/app/"),
                                                    QStringLiteral("nas.example"))},
                  {QStringLiteral("hsts"), false}}),
            rule(QStringLiteral("secure"), QString(), 0,
                 {{QStringLiteral("source"), source(QStringLiteral("https"), 0, QStringLiteral("/secure"))},
                  {QStringLiteral("dest"), dest(QStringLiteral("https"), 8443, QStringLiteral("/x"))},
                  {QStringLiteral("httpheaders"), headers},
                  {QStringLiteral("timeouts"), QJsonObject{{QStringLiteral("conn"), 5}}}}),
            rule(QStringLiteral("photos"), QString(), 3001,
                 {{QStringLiteral("source"), source(QStringLiteral("http"), 0, QStringLiteral("/photos/"),
                                                    QStringLiteral("Photos.NAS.test"))}}),
            rule(QStringLiteral("tls port"), QString(), 0,
                 {{QStringLiteral("source"), source(QStringLiteral("https"), 9443, QStringLiteral("/"))},
                  {QStringLiteral("dest"), dest(QStringLiteral("http"), 9000)}})};
}

QByteArray exportOf(const QList<QJsonObject> &rules)
{
    QJsonArray array;
    for (const QJsonObject &rule : rules)
        array.append(rule);
    return QJsonDocument(QJsonObject{{QStringLiteral("format"), 1},
                                     {QStringLiteral("time"), QStringLiteral("2026-12-07T10:00:00Z")},
                                     {QStringLiteral("rules"), array}}).toJson();
}

} // namespace

class TestReverseproxyctlTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip();
    void refused_data();
    void refused();
    void dryRun_data();
    void dryRun();
    void replaceWithOwnExport();
    void replaceForgetsLeftOutRules();
    void check();

private:
    QString writeFile(const QString &name, const QByteArray &content);
    void populate(Service &service);

    QTemporaryDir m_files;
};

void TestReverseproxyctlTable::initTestCase()
{
    QVERIFY(m_files.isValid());
}

QString TestReverseproxyctlTable::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_files.filePath(name);
    return writeTestFile(path, content) ? path : QString();
}

void TestReverseproxyctlTable::populate(Service &service)
{
    QVERIFY(service.start());
    for (const QJsonObject &params : sampleRules())
        QCOMPARE(service.ask(QStringLiteral("reverseproxy_create"), params).value(QStringLiteral("err")).toInt(-1), 0);
    QVERIFY(service.settle());
}

// An export imported with --replace into a fresh service gives the same rules
// and the same generated files, byte for byte.
void TestReverseproxyctlTable::roundTrip()
{
    Service from;
    populate(from);
    const QString file = m_files.filePath(QStringLiteral("roundtrip.json"));
    QByteArray out;
    QCOMPARE(from.run({QStringLiteral("export"), file}, &out), 0);
    QByteArray printed;
    QCOMPARE(from.run({QStringLiteral("export")}, &printed), 0);
    QJsonArray exported = QJsonDocument::fromJson(printed).object().value(QStringLiteral("rules")).toArray();
    QCOMPARE(exported.size(), sampleRules().size());
    QCOMPARE(exported.at(1).toObject(), sampleRules().at(1)); // as created: no number, nothing added

    Service to;
    QVERIFY(to.start());
    QVERIFY(to.settle());
    const int reloads = to.snapshot().reloads.count(QStringLiteral("reload apache2"));
    QCOMPARE(to.run({QStringLiteral("import"), file, QStringLiteral("--replace")}, &out), 0);
    QCOMPARE(QString::fromUtf8(out), QStringLiteral("imported 5 rules, replacing the table\n"));
    QVERIFY(to.settle());
    const Snapshot expected = from.snapshot();
    const Snapshot imported = to.snapshot();
    QCOMPARE(imported.rules, expected.rules);
    QCOMPARE(imported.files.keys(), expected.files.keys());
    for (const QString &name : expected.files.keys())
        QCOMPARE(QString::fromUtf8(imported.files.value(name)), QString::fromUtf8(expected.files.value(name)));
    // One reload for the whole import.
    QCOMPARE(imported.reloads.count(QStringLiteral("reload apache2")), reloads + 1);
}

void TestReverseproxyctlTable::refused_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("err");
    QTest::addColumn<QString>("errmsg");

    const QJsonObject good1 = rule(QStringLiteral("one"), QStringLiteral("/one"), 4001);
    const QJsonObject good3 = rule(QStringLiteral("three"), QStringLiteral("/three"), 4003);
    auto middle = [&](const QJsonObject &bad) { return exportOf({good1, bad, good3}); };
    const QStringList add;
    const QStringList replace{QStringLiteral("--replace")};

    QTest::newRow("name of a stored rule, other case")
        << middle(rule(QStringLiteral("WEB"), QStringLiteral("/two"), 4002)) << add << 9993
        << QStringLiteral("rule 2 (WEB): 名称已存在");
    QTest::newRow("source of a stored rule")
        << middle(rule(QStringLiteral("two"), QStringLiteral("/media"), 4002)) << add << 9866
        << QStringLiteral("rule 2 (two): 来源路径已存在");
    QTest::newRow("custom port of a stored rule, other protocol")
        << middle(rule(QStringLiteral("two"), QString(), 4002,
                       {{QStringLiteral("source"), source(QStringLiteral("https"), 8080, QStringLiteral("/two"))}}))
        << add << 9982 << QStringLiteral("rule 2 (two): 端口号已被占用");
    QTest::newRow("same name twice in the file, with --replace")
        << exportOf({good1, rule(QStringLiteral("One"), QStringLiteral("/two"), 4002), good3}) << replace << 9993
        << QStringLiteral("rule 2 (One): 名称已存在");
    QTest::newRow("same source twice in the file, with --replace")
        << exportOf({good1, good3, rule(QStringLiteral("four"), QStringLiteral("/one/"), 4004)}) << replace << 9866
        << QStringLiteral("rule 3 (four): 来源路径已存在");
    QTest::newRow("reserved path")
        << middle(rule(QStringLiteral("two"), QStringLiteral("/desktop"), 4002)) << replace << 9926
        << QStringLiteral("rule 2 (two): 源路径已被保留不可用");
    QTest::newRow("unsafe content")
        << middle(rule(QStringLiteral("two"), QStringLiteral("/two\nListen 1"), 4002)) << replace << 9995
        << QStringLiteral("rule 2 (two): 参数内容错误(source.path)");
    QTest::newRow("no destination protocol")
        << middle(rule(QStringLiteral("two"), QStringLiteral("/two"), 4002, {{QStringLiteral("dest"), QJsonObject()}}))
        << replace << 9995 << QStringLiteral("rule 2 (two): 参数遗漏(dest.protocol: http, https");
    QTest::newRow("not an object")
        << exportOf({good1, good3}).replace("\"rules\": [", "\"rules\": [\n\"x\",") << add << 9995
        << QStringLiteral("rule 1: 参数类型错误(rules)");
    QTest::newRow("refused in a dry run too")
        << middle(rule(QStringLiteral("web"), QStringLiteral("/two"), 4002)) << QStringList{QStringLiteral("--dry-run")}
        << 9993 << QStringLiteral("rule 2 (web): 名称已存在");
}

// One bad rule refuses the whole import: the answer names it, nothing changes
// and Apache is not reloaded.
void TestReverseproxyctlTable::refused()
{
    QFETCH(QByteArray, document);
    QFETCH(QStringList, options);
    QFETCH(int, err);
    QFETCH(QString, errmsg);

    Service service;
    populate(service);
    const Snapshot before = service.snapshot();
    const QString file = writeFile(QStringLiteral("refused.json"), document);
    QByteArray out;
    QByteArray error;
    QCOMPARE(service.run(QStringList{QStringLiteral("import"), file} + options, &out, &error), 1);
    QCOMPARE(QString::fromUtf8(error), QStringLiteral("reverseproxyctl: %1 (err %2)\n").arg(errmsg).arg(err));
    QCOMPARE(service.run(QStringList{QStringLiteral("import"), file, QStringLiteral("--json")} + options, &out), 1);
    const QJsonObject answer = QJsonDocument::fromJson(out).object();
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), err);
    QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), errmsg);

    const Snapshot after = service.snapshot();
    QCOMPARE(after.rules, before.rules);
    QVERIFY(after.files == before.files);
    QCOMPARE(QJsonDocument(after.reload).toJson(), QJsonDocument(before.reload).toJson()); // no reload pending, none done
    QCOMPARE(after.reloads, before.reloads);
}

void TestReverseproxyctlTable::dryRun_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("output");

    QTest::newRow("add") << QStringList{QStringLiteral("--dry-run")}
                         << QStringLiteral("dry run: 2 rules would be imported; nothing changed\n");
    QTest::newRow("replace") << QStringList{QStringLiteral("--dry-run"), QStringLiteral("--replace")}
                             << QStringLiteral("dry run: 2 rules would be imported, replacing the table; nothing changed\n");
}

// A dry run answers as the import would and changes nothing, not even for a
// rule whose directives Apache tests.
void TestReverseproxyctlTable::dryRun()
{
    QFETCH(QStringList, options);
    QFETCH(QString, output);

    Service service;
    populate(service);
    const Snapshot before = service.snapshot();
    const QJsonArray headers{QJsonObject{{QStringLiteral("key"), QStringLiteral("Header")},
                                         {QStringLiteral("value"), QStringLiteral("set X-New 1")}}};
    const QString file = writeFile(QStringLiteral("dryrun.json"),
                                   exportOf({rule(QStringLiteral("new"), QStringLiteral("/new"), 4001,
                                                  {{QStringLiteral("httpheaders"), headers}}),
                                             rule(QStringLiteral("newer"), QStringLiteral("/newer"), 4002)}));
    QByteArray out;
    QCOMPARE(service.run(QStringList{QStringLiteral("import"), file} + options, &out), 0);
    QCOMPARE(QString::fromUtf8(out), output);
    const Snapshot after = service.snapshot();
    QCOMPARE(after.rules, before.rules);
    QVERIFY(after.files == before.files);
    QCOMPARE(after.reload, before.reload);
    QCOMPARE(after.reloads, before.reloads);
}

// With --replace the old table does not count: its names, sources and
// custom ports are free for the imported rules. (That Apache's own
// listeners leave a port free is shown against a real Apache.)
void TestReverseproxyctlTable::replaceWithOwnExport()
{
    Service service;
    populate(service);
    const Snapshot before = service.snapshot();
    const QString file = m_files.filePath(QStringLiteral("own.json"));
    QByteArray out;
    QCOMPARE(service.run({QStringLiteral("export"), file}, &out), 0);
    QCOMPARE(service.run({QStringLiteral("import"), file}, &out), 1); // added, every rule conflicts
    QCOMPARE(service.run({QStringLiteral("import"), file, QStringLiteral("--replace")}, &out), 0);
    QVERIFY(service.settle());
    QCOMPARE(service.snapshot().rules, before.rules);
}

// A stored rule this version leaves out is gone from the status once an
// import replaced the table.
void TestReverseproxyctlTable::replaceForgetsLeftOutRules()
{
    Service service;
    QVERIFY(service.start());
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"),
                 {service.root().path(QStringLiteral("/orba/etc/reverseproxy/reverseproxy.db")),
                  QStringLiteral("INSERT INTO t_reverseproxy (pxy_name, pxy_srcprotocol, pxy_srcport, pxy_srcpath,"
                                 " pxy_srcurl, pxy_params) VALUES ('old', 'http', 0, '/desktop', '://:0/desktop', '%1');")
                      .arg(QString::fromUtf8(QJsonDocument(rule(QStringLiteral("old"), QStringLiteral("/desktop"), 4000))
                                                 .toJson(QJsonDocument::Compact)))});
    QVERIFY(sqlite.waitForFinished(10000) && sqlite.exitCode() == 0);
    QVERIFY(service.restart());
    auto disabled = [&service] {
        return service.ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject()
            .value(QStringLiteral("disabled")).toArray();
    };
    QCOMPARE(disabled().size(), 1);
    const QString file = writeFile(QStringLiteral("fresh.json"), exportOf({rule(QStringLiteral("new"), QStringLiteral("/new"), 4001)}));
    QByteArray out;
    QCOMPARE(service.run({QStringLiteral("import"), file, QStringLiteral("--replace")}, &out), 0);
    QCOMPARE(disabled(), QJsonArray());
}

// Back ends seen from the client: up (http, https with a self-signed
// certificate), refused, a plain HTTP server behind https, a port that never
// answers, a service that is not HTTP.
void TestReverseproxyctlTable::check()
{
    RawBackend plain(QStringLiteral("plain"));
    RawBackend tls(QStringLiteral("tls"), RawBackend::Tls);
    QVERIFY(plain.start());
    QVERIFY(tls.start());
    BannerServer http("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
    BannerServer ssh("SSH-2.0-OpenSSH_9.2\r\n");
    QVERIFY(http.startServer());
    QVERIFY(ssh.startServer());
    QTcpServer silent; // accepted by the kernel, never answered: the test thread does not serve it
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const int closedPort = closed.serverPort();
    closed.close();

    Service service;
    QVERIFY(service.start());
    const QList<QJsonObject> rules{
        rule(QStringLiteral("plain"), QStringLiteral("/a"), plain.port()),
        rule(QStringLiteral("tls"), QStringLiteral("/b"), 0, {{QStringLiteral("dest"), dest(QStringLiteral("https"), tls.port(), QStringLiteral("/x"))}}),
        rule(QStringLiteral("closed"), QStringLiteral("/c"), closedPort),
        rule(QStringLiteral("not tls"), QStringLiteral("/d"), 0, {{QStringLiteral("dest"), dest(QStringLiteral("https"), http.port())}}),
        rule(QStringLiteral("silent"), QStringLiteral("/e"), silent.serverPort()),
        rule(QStringLiteral("ssh"), QStringLiteral("/f"), ssh.port())};
    for (const QJsonObject &params : rules)
        QCOMPARE(service.ask(QStringLiteral("reverseproxy_create"), params).value(QStringLiteral("err")).toInt(-1), 0);

    QByteArray out;
    QCOMPARE(service.run({QStringLiteral("list"), QStringLiteral("--check")}, &out), 0);
    const QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 7);
    QVERIFY2(QRegularExpression(QStringLiteral("^NO +NAME +SOURCE +DESTINATION +BACKEND +STATE$")).match(lines.at(0)).hasMatch(),
             qPrintable(lines.at(0)));
    const QStringList expected{QStringLiteral("up \\d+ ms"), QStringLiteral("up \\d+ ms"),
                               QStringLiteral("down: connection refused"), QStringLiteral("down: TLS handshake failed"),
                               QStringLiteral("down: timeout"), QStringLiteral("down: no HTTP answer")};
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(QRegularExpression(QStringLiteral("^%1 .* %2$").arg(i + 1).arg(expected.at(i))).match(lines.at(i + 1)).hasMatch(),
                 qPrintable(lines.at(i + 1)));

    QCOMPARE(service.run({QStringLiteral("list"), QStringLiteral("--check"), QStringLiteral("--json")}, &out), 0);
    const QJsonObject results = QJsonDocument::fromJson(out).object().value(QStringLiteral("results")).toObject();
    auto backend = [&](const char *name) {
        return results.value(QLatin1String(name)).toObject().value(QStringLiteral("backend")).toObject();
    };
    QCOMPARE(backend("plain").value(QStringLiteral("up")).toBool(), true);
    QVERIFY(backend("plain").value(QStringLiteral("ms")).isDouble());
    QCOMPARE(backend("closed"), QJsonObject({{QStringLiteral("up"), false}, {QStringLiteral("error"), QStringLiteral("connection refused")}}));
    QCOMPARE(backend("silent"), QJsonObject({{QStringLiteral("up"), false}, {QStringLiteral("error"), QStringLiteral("timeout")}}));
}

QTEST_GUILESS_MAIN(TestReverseproxyctlTable)
#include "tst_reverseproxyctl_table.moc"
