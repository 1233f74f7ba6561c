#include "appliancefixture.h"
#include "servicefixture.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

// The real service in front of a real Apache: whatever a caller sends, an
// answered change is live and Apache keeps running.
class tst_ServiceApache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void refusedInputs_data();
    void refusedInputs();
    void brokenArgumentsRefusedWithApachesReason();
    void portTakenBeforeReloadIsLeftOut();
    void portTakenWhileApacheIsStoppedIsLeftOut();
    void stopDuringReloadAndBackup();
    void storedRulesApacheRefusesAreLeftOutAtStart();
    void programNamedApache2IsNotApache();
    void reloadApacheCannotTakeIsRecovered();
    void portTakenDuringReloadIsRecovered();
    void customPortsKeptWhereApachesDescriptorsAreClosed();
    void storedRuleApacheRefusesIsNotTheCallersError();
    void portApacheHoldsForAnotherSiteIsRefused();
    void holdersUnreadableTakeNoRuleOut();
    void portsRacedAtReloadAndExitSiteBackAlone();
    void outsideSyntaxErrorReportedOnOneLine();

private:
    QJsonObject ask(const QString &cmd, const QJsonObject &params = QJsonObject());
    QJsonObject rule(const QString &name, const QString &path, int port = 0);
    QJsonObject statusAfter(const QString &time);
    // The names of the rules the status lists as left out, with the reasons.
    QMap<QString, QString> disabledRules();
    int pxyno(const QString &name);
    bool storeRule(const QString &name, const QString &key, const QString &value);
    QString snapshot() const;
    bool startService();
    // Puts a stand-in before the root's systemctl: body runs first, then the
    // real stand-in with the same arguments; restoreSystemctl() undoes it.
    bool wrapSystemctl(const QString &body);
    bool restoreSystemctl();

    ServiceRoot m_root;
    ApplianceApache m_site{m_root};
    QScopedPointer<ServiceProcess> m_service;
    ServiceConnection m_connection;
};

void tst_ServiceApache::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_site.start(), qPrintable(m_site.server().errorText()));
    // The system's netstat: the port check must see real listeners.
    m_root.writeScript(QStringLiteral("netstat"),
                       QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin exec netstat \"$@\"\n"));
    QVERIFY(m_site.server().writeDocument(QStringLiteral("index.html"), "backend\n"));
    QVERIFY(startService());
}

void tst_ServiceApache::cleanupTestCase()
{
    m_connection.close();
    m_service.reset();
    QVERIFY2(!QFile::exists(m_root.root() + QStringLiteral("/library-ran")), "a caller's library was loaded");
}

// A test that failed while systemctl was wrapped leaves the next one the real stand-in.
void tst_ServiceApache::cleanup()
{
    if (QFile::exists(m_root.root() + QStringLiteral("/bin/systemctl.real")))
        QVERIFY(restoreSystemctl());
}

bool tst_ServiceApache::startService()
{
    m_connection.close();
    m_service.reset(new ServiceProcess(m_root));
    // The socket serves before the start's reload ends: a test's reload
    // comes after it.
    return m_service->start({QStringLiteral("--cfg"), m_root.writeDefaultConfig(false)}, m_root.lpcid())
           && m_connection.open(m_root.lpcid()) && QTest::qWaitFor([this] {
                  return ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject()
                             .value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString()
                         != QLatin1String("pending");
              }, 60000);
}

bool tst_ServiceApache::wrapSystemctl(const QString &body)
{
    const QString bin = m_root.root() + QStringLiteral("/bin");
    if (!QFile::rename(bin + QStringLiteral("/systemctl"), bin + QStringLiteral("/systemctl.real")))
        return false;
    m_root.writeScript(QStringLiteral("systemctl"), body + QStringLiteral("exec '%1/systemctl.real' \"$@\"\n").arg(bin));
    return true;
}

bool tst_ServiceApache::restoreSystemctl()
{
    const QString bin = m_root.root() + QStringLiteral("/bin");
    return QFile::remove(bin + QStringLiteral("/systemctl"))
           && QFile::rename(bin + QStringLiteral("/systemctl.real"), bin + QStringLiteral("/systemctl"));
}

QJsonObject tst_ServiceApache::ask(const QString &cmd, const QJsonObject &params)
{
    QJsonObject answer;
    m_connection.request({{QStringLiteral("cmd"), cmd}, {QStringLiteral("params"), params}}, &answer);
    return answer;
}

// A rule on the appliance http port (or on port) forwarding to the site's own documents.
QJsonObject tst_ServiceApache::rule(const QString &name, const QString &path, int port)
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("source"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                   {QStringLiteral("port"), port},
                                                   {QStringLiteral("path"), path}}},
            {QStringLiteral("dest"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                 {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                                 {QStringLiteral("port"), m_site.server().httpPort()},
                                                 {QStringLiteral("path"), QStringLiteral("/")}}}};
}

// The status once a reload later than time has finished (or after a minute).
QJsonObject tst_ServiceApache::statusAfter(const QString &time)
{
    QJsonObject status;
    auto done = [&] {
        status = ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject();
        const QJsonObject reload = status.value(QStringLiteral("reload")).toObject();
        return reload.value(QStringLiteral("state")).toString() != QLatin1String("pending")
               && reload.value(QStringLiteral("time")).toString() > time;
    };
    return QTest::qWaitFor(done, 60000) ? status : QJsonObject();
}

// The rules and every generated file, to compare before and after a request.
QString tst_ServiceApache::snapshot() const
{
    QJsonObject answer;
    ServiceConnection connection;
    if (!connection.open(m_root.lpcid())
        || !connection.request({{QStringLiteral("cmd"), QStringLiteral("reverseproxy_alload")}}, &answer))
        return QStringLiteral("unreachable");
    QString text = QString::fromUtf8(QJsonDocument(answer).toJson());
    QDirIterator files(m_root.path(QStringLiteral("/orba/etc/reverseproxy")), {QStringLiteral("*.conf")},
                       QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        file.open(QIODevice::ReadOnly);
        text += file.fileName() + QLatin1Char('\n') + QString::fromUtf8(file.readAll());
    }
    return text;
}

void tst_ServiceApache::refusedInputs_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<QString>("message");
    const QString headers = QStringLiteral("参数内容错误(httpheaders)");
    auto with = [this](const QString &key, const QString &value) {
        QJsonObject params = rule(QStringLiteral("hostile"), QStringLiteral("/hostile"));
        params.insert(QStringLiteral("httpheaders"),
                      QJsonArray{QJsonObject{{QStringLiteral("key"), key}, {QStringLiteral("value"), value}}});
        return params;
    };
    QTest::newRow("LoadFile") << with(QStringLiteral("LoadFile"), QStringLiteral(STANDIN_LIBRARY)) << headers;
    QTest::newRow("LoadModule") << with(QStringLiteral("LoadModule"), QStringLiteral("evil_module " STANDIN_LIBRARY)) << headers;
    QTest::newRow("Include") << with(QStringLiteral("Include"), QStringLiteral("/tmp/*.conf")) << headers;
    QTest::newRow("IncludeOptional") << with(QStringLiteral("includeoptional"), QStringLiteral("/tmp/x")) << headers;
    QTest::newRow("UnDefine") << with(QStringLiteral("UnDefine"), QStringLiteral("ORBA_DESKTOP_HTTPS_PORT")) << headers;
    QTest::newRow("ServerRoot") << with(QStringLiteral("ServerRoot"), QStringLiteral("/tmp")) << headers;
    QTest::newRow("SetHandler") << with(QStringLiteral("SetHandler"), QStringLiteral("server-status")) << headers;
    QTest::newRow("ProxyPass") << with(QStringLiteral("ProxyPass"), QStringLiteral("http://127.0.0.1:22/")) << headers;
    QTest::newRow("unknown directive") << with(QStringLiteral("Foo"), QStringLiteral("bar")) << headers;
    QTest::newRow("file expression") << with(QStringLiteral("Header"), QStringLiteral("always set X \"expr=%{file:/etc/passwd}\"")) << headers;
    QTest::newRow("16 MiB value") << with(QStringLiteral("Header"), QStringLiteral("set X ") + QString(16 << 20, QLatin1Char('x'))) << headers;
    QJsonObject bracketed = rule(QStringLiteral("hostile"), QStringLiteral("/"), TestApache::freePort());
    QJsonObject source = bracketed.value(QStringLiteral("source")).toObject();
    source.insert(QStringLiteral("host"), QStringLiteral("[::1]"));
    bracketed.insert(QStringLiteral("source"), source);
    QTest::newRow("bracketed ServerName") << bracketed << QStringLiteral("参数内容错误(source.host)");
}

void tst_ServiceApache::refusedInputs()
{
    QFETCH(QJsonObject, params);
    QFETCH(QString, message);
    const QString before = snapshot();
    const QJsonObject answer = ask(QStringLiteral("reverseproxy_create"), params);
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9995);
    QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), message);
    QCOMPARE(snapshot(), before);
}

void tst_ServiceApache::brokenArgumentsRefusedWithApachesReason()
{
    auto withHeader = [this](const QString &name, const QString &value) {
        QJsonObject params = rule(name, QLatin1Char('/') + name);
        params.insert(QStringLiteral("httpheaders"), QJsonArray{QJsonObject{{QStringLiteral("key"), QStringLiteral("Header")},
                                                                            {QStringLiteral("value"), value}}});
        return params;
    };
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), withHeader(QStringLiteral("checked"), QStringLiteral("set X-Checked yes")))
                 .value(QStringLiteral("err")).toInt(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/checked/")).contains("X-Checked: yes"), 30000);

    const QString before = snapshot();
    const QJsonObject answer = ask(QStringLiteral("reverseproxy_create"), withHeader(QStringLiteral("broken"), QStringLiteral("bogus X 1")));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9995);
    const QString reason = answer.value(QStringLiteral("errmsg")).toString();
    QVERIFY2(reason.startsWith(QStringLiteral("参数内容错误(httpheaders): line ")), qPrintable(reason));
    QVERIFY2(!reason.contains(m_site.server().configPath()), qPrintable(reason));
    QCOMPARE(snapshot(), before);

    // An import names the rule whose lines Apache refuses.
    const QJsonObject imported = ask(QStringLiteral("reverseproxy_import"),
                                     {{QStringLiteral("rules"), QJsonArray{withHeader(QStringLiteral("fine"), QStringLiteral("set X-Fine 1")),
                                                                          withHeader(QStringLiteral("broken"), QStringLiteral("bogus X 1"))}}});
    QCOMPARE(imported.value(QStringLiteral("err")).toInt(), 9995);
    const QString named = imported.value(QStringLiteral("errmsg")).toString();
    QVERIFY2(named.startsWith(QStringLiteral("rule 2 (broken): 参数内容错误(httpheaders): line ")), qPrintable(named));
    QCOMPARE(snapshot(), before);
    QCOMPARE(m_site.configTest(), QString());
}

void tst_ServiceApache::portTakenBeforeReloadIsLeftOut()
{
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    const quint16 port = TestApache::freePort();
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("custom"), QStringLiteral("/"), port))
                 .value(QStringLiteral("err")).toInt(), 0);
    QTcpServer other; // another program takes the port before the reload
    QVERIFY(other.listen(QHostAddress::LocalHost, port));
    const QJsonObject status = statusAfter(now);
    QCOMPARE(status.value(QStringLiteral("apache")).toString(), QStringLiteral("active"));
    QVERIFY(m_site.server().isRunning());
    const QJsonArray disabled = status.value(QStringLiteral("disabled")).toArray();
    QCOMPARE(disabled.size(), 1);
    QCOMPARE(disabled.at(0).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("custom"));
    QVERIFY(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/checked/")).startsWith("HTTP/1.1 200"));

    // Once the port is free again, the next change brings the rule back.
    other.close();
    const QString later = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), disabled.at(0).toObject().value(QStringLiteral("pxyno"))}})
                 .value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(statusAfter(later).value(QStringLiteral("disabled")).toArray(), QJsonArray());
}

// As under the service's unit, netstat names no other process ("-"): the
// port Apache held at the last good reload is foreign once Apache is down.
void tst_ServiceApache::portTakenWhileApacheIsStoppedIsLeftOut()
{
    m_root.writeScript(QStringLiteral("netstat"),
                       QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin netstat \"$@\" | sed -E 's#[0-9]+/[^ ]+ *$#-#'\n"));
    const quint16 port = TestApache::freePort();
    QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    const QJsonObject held = ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("held"), QStringLiteral("/"), port));
    QCOMPARE(held.value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(statusAfter(now).value(QStringLiteral("disabled")).toArray(), QJsonArray());

    m_site.server().stop();
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost, port));
    now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("unrelated"), QStringLiteral("/unrelated/")))
                 .value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject status = statusAfter(now);
    QCOMPARE(status.value(QStringLiteral("apache")).toString(), QStringLiteral("active"));
    const QJsonArray disabled = status.value(QStringLiteral("disabled")).toArray();
    QCOMPARE(disabled.size(), 1);
    QCOMPARE(disabled.at(0).toObject().value(QStringLiteral("name")).toString(), QStringLiteral("held"));
    QCOMPARE(disabled.at(0).toObject().value(QStringLiteral("reason")).toString(), QStringLiteral("端口号已被其他程序占用"));
    QVERIFY(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/unrelated/")).startsWith("HTTP/1.1 200"));

    other.close();
    m_root.writeScript(QStringLiteral("netstat"), QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin exec netstat \"$@\"\n"));
    for (const QString &name : {QStringLiteral("held"), QStringLiteral("unrelated")}) {
        const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload")).value(QStringLiteral("results")).toObject();
        QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), rules.value(name).toObject().value(QStringLiteral("pxyno"))}})
                     .value(QStringLiteral("err")).toInt(), 0);
    }
}

// SIGTERM while the reload's configuration test runs: the test's process
// ends with the service, which exits 0; the database file alone then holds
// every answered change, as it does once a change's reload is done.
void tst_ServiceApache::stopDuringReloadAndBackup()
{
    const QString db = m_root.path(QStringLiteral("/orba/etc/reverseproxy/reverseproxy.db"));
    auto storedRules = [](const QString &file) {
        QProcess sqlite;
        sqlite.start(QStringLiteral("sqlite3"), {file, QStringLiteral("SELECT COUNT(*) FROM t_reverseproxy;")});
        return sqlite.waitForFinished(10000) ? QString::fromUtf8(sqlite.readAll()).trimmed().toInt() : -1;
    };
    auto backup = [&] {
        const QString copy = m_root.path(QStringLiteral("/backup.db"));
        QFile::remove(copy);
        return QFile::copy(db, copy) ? storedRules(copy) : -1;
    };
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("kept"), QStringLiteral("/kept/")))
                 .value(QStringLiteral("err")).toInt(), 0);
    statusAfter(now);
    QCOMPARE(backup(), storedRules(db));

    const QString marker = m_root.path(QStringLiteral("/test-running"));
    QFile standin(m_root.root() + QStringLiteral("/bin/apache2ctl"));
    QVERIFY(standin.open(QIODevice::ReadOnly));
    const QByteArray apache2ctl = standin.readAll();
    standin.close();
    m_root.writeScript(QStringLiteral("apache2ctl"), QStringLiteral("echo $$ > '%1'; sleep 30\n").arg(marker));
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("later"), QStringLiteral("/later/")))
                 .value(QStringLiteral("err")).toInt(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(marker).size() > 0, 30000);
    const int answered = ask(QStringLiteral("reverseproxy_alload")).value(QStringLiteral("results")).toObject().size();
    m_connection.close();
    m_service->signal(SIGTERM);
    QVERIFY(m_service->waitForExit());
    QCOMPARE(m_service->exitCode(), 0);
    QFile pidFile(marker);
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const pid_t child = pid_t(pidFile.readAll().trimmed().toInt());
    QVERIFY(child > 0);
    QVERIFY2(::kill(child, 0) != 0, "the configuration test outlived the service");
    QCOMPARE(backup(), answered);

    QVERIFY(standin.open(QIODevice::WriteOnly | QIODevice::Truncate) && standin.write(apache2ctl) == apache2ctl.size());
    standin.close();
    QVERIFY(startService());
}

void tst_ServiceApache::storedRulesApacheRefusesAreLeftOutAtStart()
{
    m_connection.close();
    m_service.reset();
    auto stored = [this](const QString &name, const QString &key, const QString &value) {
        QJsonObject params = rule(name, QLatin1Char('/') + name);
        params.insert(QStringLiteral("httpheaders"), QJsonArray{QJsonObject{{QStringLiteral("key"), key},
                                                                            {QStringLiteral("value"), value}}});
        const QString json = QString::fromUtf8(QJsonDocument(params).toJson(QJsonDocument::Compact)).replace('\'', "''");
        return QStringLiteral("INSERT INTO t_reverseproxy (pxy_name, pxy_srcprotocol, pxy_srcport, pxy_srcpath,"
                              " pxy_srcurl, pxy_params) VALUES ('%1', 'http', 0, '/%1', '://:0/%1', '%2');")
            .arg(name, json);
    };
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {m_root.path(QStringLiteral("/orba/etc/reverseproxy/reverseproxy.db")),
                                             stored(QStringLiteral("refused"), QStringLiteral("Header"), QStringLiteral("bogus"))
                                                 + stored(QStringLiteral("loader"), QStringLiteral("LoadFile"),
                                                          QStringLiteral(STANDIN_LIBRARY))});
    QVERIFY(sqlite.waitForFinished(10000) && sqlite.exitCode() == 0);
    QVERIFY(startService());
    const QJsonObject status = statusAfter(QString()); // the new service's first reload, at its start
    QCOMPARE(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
    QCOMPARE(status.value(QStringLiteral("apache")).toString(), QStringLiteral("active"));
    QStringList names;
    for (const QJsonValue &entry : status.value(QStringLiteral("disabled")).toArray())
        names << entry.toObject().value(QStringLiteral("name")).toString();
    QCOMPARE(names, QStringList({QStringLiteral("refused"), QStringLiteral("loader")}));
    QCOMPARE(m_site.configTest(), QString());
    QVERIFY(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/checked/")).startsWith("HTTP/1.1 200"));
}

// Any user can run a program called apache2: a port is Apache's only when
// Apache listens there for the service's own files.
void tst_ServiceApache::programNamedApache2IsNotApache()
{
    const quint16 port = TestApache::freePort();
    const QString copy = m_root.root() + QStringLiteral("/apache2");
    QFile::remove(copy);
    QVERIFY(QFile::copy(QStringLiteral("/usr/bin/python3"), copy));
    QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));
    QProcess impostor;
    impostor.start(copy, {QStringLiteral("-c"), QStringLiteral("import socket,sys,time\n"
                                                               "s=socket.socket(); s.bind(('0.0.0.0', %1)); s.listen()\n"
                                                               "print('up', flush=True); time.sleep(60)").arg(port)});
    QVERIFY(impostor.waitForReadyRead(10000));
    const QJsonObject answer = ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("impostor"), QStringLiteral("/"), port));
    impostor.kill();
    impostor.waitForFinished();
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9982);
}

// Apache passes a rule's lines in its test but will not run with them (a
// stand-in Apache dies on a reload or start with them in its files): the
// service brings the site back with the last files Apache served, then adds
// back every rule of the reload Apache takes, and says which it left out.
void tst_ServiceApache::reloadApacheCannotTakeIsRecovered()
{
    QVERIFY(wrapSystemctl(QStringLiteral("case \"$1\" in reload|start)\n"
                                         "  if grep -rqs --include=*.conf refuse-me '%1'; then p=$(cat '%2' 2>/dev/null); [ -n \"$p\" ] && kill \"$p\"\n"
                                         "    for i in $(seq 100); do grep -qs '^[^)]*) [^Z]' /proc/$p/stat || break; sleep 0.1; done; exit 1; fi ;;\n"
                                         "esac\n")
                              .arg(m_root.path(QStringLiteral("/orba/etc/reverseproxy")),
                                   m_site.server().serverRoot() + QStringLiteral("/run/apache2.pid"))));
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QJsonObject bad = rule(QStringLiteral("bad"), QStringLiteral("/bad/"));
    bad.insert(QStringLiteral("dest"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                   {QStringLiteral("port"), m_site.server().httpPort()},
                                                   {QStringLiteral("path"), QStringLiteral("/refuse-me/")}});
    for (const QJsonObject &params : {rule(QStringLiteral("good"), QStringLiteral("/good/")), bad})
        QCOMPARE(ask(QStringLiteral("reverseproxy_create"), params).value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject status = statusAfter(now);
    QVERIFY(restoreSystemctl());
    QCOMPARE(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("failed"));
    QVERIFY2(status.value(QStringLiteral("apache")).toString() == QStringLiteral("active"), QJsonDocument(status).toJson().constData());
    QMap<QString, QString> reasons;
    for (const QJsonValue &entry : status.value(QStringLiteral("disabled")).toArray())
        reasons.insert(entry.toObject().value(QStringLiteral("name")).toString(), entry.toObject().value(QStringLiteral("reason")).toString());
    QVERIFY(!reasons.contains(QStringLiteral("good")));
    QVERIFY2(reasons.value(QStringLiteral("bad")).startsWith(QStringLiteral("Apache: ")), qPrintable(reasons.value(QStringLiteral("bad"))));
    QVERIFY(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/good/")).startsWith("HTTP/1.1 200"));
    QCOMPARE(m_site.configTest(), QString());
}

// A program takes a new rule's port after the check before the reload and
// before Apache binds it (here: as the reload starts): Apache ends, the
// service brings it back without the rule, and names the cause.
void tst_ServiceApache::portTakenDuringReloadIsRecovered()
{
    const quint16 port = TestApache::freePort();
    const QString holder = m_root.root() + QStringLiteral("/holder.pid");
    QVERIFY(wrapSystemctl(QStringLiteral("if [ \"$1\" = reload ] && grep -qs 'Listen %1$' '%2'/*.conf && [ ! -e '%3' ]; then\n"
                                         "  python3 -c 'import socket,time\ns=socket.socket()\ns.bind((\"0.0.0.0\", %1))\n"
                                         "s.listen()\nopen(\"%3.bound\", \"w\")\ntime.sleep(120)' </dev/null >/dev/null 2>&1 &\n"
                                         "  echo $! > '%3'\n"
                                         // A loaded machine starts python slowly: the reload waits for the bind.
                                         "  for i in $(seq 200); do [ -e '%3.bound' ] && break; sleep 0.05; done\nfi\n")
                              .arg(port)
                              .arg(m_root.path(QStringLiteral("/orba/etc/reverseproxy/virtualhost")), holder)));
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("raced"), QStringLiteral("/"), port))
                 .value(QStringLiteral("err")).toInt(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(disabledRules().value(QStringLiteral("raced")), QStringLiteral("端口号已被其他程序占用"), 60000);
    QFile pid(holder);
    if (pid.open(QIODevice::ReadOnly))
        ::kill(pid_t(pid.readAll().trimmed().toInt()), SIGKILL);
    QVERIFY(restoreSystemctl());
    QCOMPARE(ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject().value(QStringLiteral("apache")).toString(),
             QStringLiteral("active"));
    QVERIFY(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/good/")).startsWith("HTTP/1.1 200"));
    // Its port is free again: the rule goes, so that later tests may use the port.
    const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload")).value(QStringLiteral("results")).toObject();
    QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), rules.value(QStringLiteral("raced")).toObject().value(QStringLiteral("pxyno"))}})
                 .value(QStringLiteral("err")).toInt(), 0);
}

// Under its unit the service may not read the descriptors of Apache's main
// process (it lacks the capability to look into a more privileged process):
// Apache's listeners are then those its control group made, and a restart
// keeps the custom-port rules Apache serves.
void tst_ServiceApache::customPortsKeptWhereApachesDescriptorsAreClosed()
{
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("needs setpriv to drop root's capabilities");
    const quint16 port = TestApache::freePort();
    QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("custom-kept"), QStringLiteral("/"), port))
                 .value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(statusAfter(now).value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
    for (const bool confined : {true, false}) {
        m_connection.close();
        m_service.reset(new ServiceProcess(m_root));
        if (confined)
            m_service->setLauncher({QStringLiteral("setpriv"), QStringLiteral("--inh-caps=-all"),
                                    QStringLiteral("--bounding-set=-all,+chown,+net_bind_service"), QStringLiteral("--")});
        QVERIFY(m_service->start({QStringLiteral("--cfg"), m_root.writeDefaultConfig(false)}, m_root.lpcid())
                && m_connection.open(m_root.lpcid()));
        const QJsonObject status = statusAfter(QString()); // the new service's first reload

        QVERIFY2(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString() == QStringLiteral("ok"),
                 qPrintable(m_service->output()));
        for (const QJsonValue &entry : status.value(QStringLiteral("disabled")).toArray())
            QVERIFY(entry.toObject().value(QStringLiteral("name")).toString() != QStringLiteral("custom-kept"));
        QVERIFY(ApplianceApache::get(port, QStringLiteral("/")).startsWith("HTTP/1.1 200"));
    }
}

QMap<QString, QString> tst_ServiceApache::disabledRules()
{
    QMap<QString, QString> reasons;
    const QJsonObject status = ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject();
    for (const QJsonValue &entry : status.value(QStringLiteral("disabled")).toArray())
        reasons.insert(entry.toObject().value(QStringLiteral("name")).toString(), entry.toObject().value(QStringLiteral("reason")).toString());
    return reasons;
}

int tst_ServiceApache::pxyno(const QString &name)
{
    const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload")).value(QStringLiteral("results")).toObject();
    return rules.value(name).toObject().value(QStringLiteral("pxyno")).toInt();
}

// A rule with one header line, written into the store behind the service's
// back (as a restored database or an older version's rule would be there).
bool tst_ServiceApache::storeRule(const QString &name, const QString &key, const QString &value)
{
    QJsonObject params = rule(name, QLatin1Char('/') + name);
    params.insert(QStringLiteral("httpheaders"), QJsonArray{QJsonObject{{QStringLiteral("key"), key}, {QStringLiteral("value"), value}}});
    const QString json = QString::fromUtf8(QJsonDocument(params).toJson(QJsonDocument::Compact)).replace('\'', "''");
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {m_root.path(QStringLiteral("/orba/etc/reverseproxy/reverseproxy.db")),
                                             QStringLiteral("INSERT INTO t_reverseproxy (pxy_name, pxy_srcprotocol, pxy_srcport, pxy_srcpath,"
                                                            " pxy_srcurl, pxy_params) VALUES ('%1', 'http', 0, '/%1', '://:0/%1', '%2');")
                                                 .arg(name, json)});
    return sqlite.waitForFinished(10000) && sqlite.exitCode() == 0;
}

// A stored rule Apache refuses is no fault of a caller who changes another
// rule: the change goes through, the stored rule is named and stays out.
void tst_ServiceApache::storedRuleApacheRefusesIsNotTheCallersError()
{
    QVERIFY(storeRule(QStringLiteral("restored"), QStringLiteral("Header"), QStringLiteral("bogus X 1")));
    QJsonObject sound = rule(QStringLiteral("sound"), QStringLiteral("/sound/"));
    sound.insert(QStringLiteral("httpheaders"), QJsonArray{QJsonObject{{QStringLiteral("key"), QStringLiteral("Header")},
                                                                       {QStringLiteral("value"), QStringLiteral("set X-Sound 1")}}});
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    const QJsonObject answer = ask(QStringLiteral("reverseproxy_create"), sound);
    QVERIFY2(answer.value(QStringLiteral("err")).toInt() == 0, QJsonDocument(answer).toJson().constData());
    const QJsonObject status = statusAfter(now);
    QCOMPARE(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
    QVERIFY2(disabledRules().value(QStringLiteral("restored")).startsWith(QStringLiteral("Apache: line ")),
             QJsonDocument(status).toJson().constData());
    QFile http(m_root.path(QStringLiteral("/orba/etc/reverseproxy/http.conf")));
    QVERIFY(http.open(QIODevice::ReadOnly));
    QVERIFY(!http.readAll().contains("/restored"));
    QVERIFY(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/sound/")).contains("X-Sound: 1"));
    for (const QString &name : {QStringLiteral("restored"), QStringLiteral("sound")})
        QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno(name)}}).value(QStringLiteral("err")).toInt(), 0);
}

// A port Apache listens on for another site of the appliance is not the
// rules': a rule there is refused, the other rules of the burst are served.
void tst_ServiceApache::portApacheHoldsForAnotherSiteIsRefused()
{
    const quint16 port = TestApache::freePort();
    QFile config(m_site.server().configPath());
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray original = config.readAll();
    config.close();
    auto reloadWith = [&](const QByteArray &text) {
        QFile file(m_site.server().configPath());
        QFile pid(m_site.server().serverRoot() + QStringLiteral("/run/apache2.pid"));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() && pid.open(QIODevice::ReadOnly)
               && ::kill(pid_t(pid.readAll().trimmed().toInt()), SIGUSR1) == 0;
    };
    QVERIFY(reloadWith(original + QStringLiteral("\nListen 127.0.0.1:%1\n<VirtualHost 127.0.0.1:%1>\n</VirtualHost>\n").arg(port).toUtf8()));
    QTRY_VERIFY_WITH_TIMEOUT(ApplianceApache::get(port, QStringLiteral("/")).startsWith("HTTP/1.1"), 30000);
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("before"), QStringLiteral("/before/"))).value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("other-site"), QStringLiteral("/"), port)).value(QStringLiteral("err")).toInt(), 9982);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("after"), QStringLiteral("/after/"))).value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject status = statusAfter(now);
    QVERIFY(reloadWith(original));
    QCOMPARE(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
    const QMap<QString, QString> disabled = disabledRules();
    QVERIFY(!disabled.contains(QStringLiteral("before")) && !disabled.contains(QStringLiteral("after")));
    // Apache restarts gracefully without the other site meanwhile.
    for (const QString &path : {QStringLiteral("/before/"), QStringLiteral("/after/")})
        QTRY_VERIFY_WITH_TIMEOUT(ApplianceApache::get(m_site.httpPort(), path).startsWith("HTTP/1.1 200"), 30000);
    for (const QString &name : {QStringLiteral("before"), QStringLiteral("after")})
        QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno(name)}}).value(QStringLiteral("err")).toInt(), 0);
}

// "Cannot tell" is no reason to leave a rule out: with Apache's listeners
// unreadable, custom ports stay served across changes, and the status says
// the holders could not be read.
void tst_ServiceApache::holdersUnreadableTakeNoRuleOut()
{
    const quint16 kept = TestApache::freePort();
    QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("unseen"), QStringLiteral("/"), kept)).value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(statusAfter(now).value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
    QVERIFY(wrapSystemctl(QStringLiteral("[ \"$1\" = show ] && exit 1\n")));
    quint16 added = 0;
    do
        added = TestApache::freePort();
    while (added == kept);
    QJsonObject status;
    for (const QJsonObject &params : {rule(QStringLiteral("added"), QStringLiteral("/"), added), rule(QStringLiteral("web"), QStringLiteral("/web/"))}) {
        now = QDateTime::currentDateTime().toString(Qt::ISODate);
        QCOMPARE(ask(QStringLiteral("reverseproxy_create"), params).value(QStringLiteral("err")).toInt(), 0);
        status = statusAfter(now);
        QCOMPARE(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
        QVERIFY(ApplianceApache::get(kept, QStringLiteral("/")).startsWith("HTTP/1.1 200"));
    }
    QVERIFY(restoreSystemctl());
    QCOMPARE(status.value(QStringLiteral("reload")).toObject().value(QStringLiteral("message")).toString(), QStringLiteral("端口占用情况无法读取"));
    QVERIFY(ApplianceApache::get(added, QStringLiteral("/")).startsWith("HTTP/1.1 200"));
    for (const QString &name : {QStringLiteral("unseen"), QStringLiteral("added"), QStringLiteral("web")})
        QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno(name)}}).value(QStringLiteral("err")).toInt(), 0);
}

// One program binds a new rule's port as the reload begins, another binds a
// served rule's port the moment Apache exits, each for a few seconds: the
// appliance's site comes back on its own within seconds, and both rules once
// the ports are free, with no further change.
void tst_ServiceApache::portsRacedAtReloadAndExitSiteBackAlone()
{
    const quint16 served = TestApache::freePort();
    quint16 raced = 0;
    do
        raced = TestApache::freePort();
    while (raced == served);
    QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("served"), QStringLiteral("/"), served)).value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(statusAfter(now).value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(), QStringLiteral("ok"));
    const QString hold = QStringLiteral("python3 -c 'import os,socket,sys,time\n"
                                        "p=int(sys.argv[1])\n"
                                        "while p and os.path.exists(\"/proc/%d\" % p) and open(\"/proc/%d/stat\" % p).read().split(\")\")[-1].split()[0] != \"Z\": time.sleep(0.005)\n"
                                        "s=socket.socket(); s.bind((\"0.0.0.0\", int(sys.argv[2]))); s.listen()\n"
                                        "len(sys.argv) > 3 and open(sys.argv[3], \"w\"); time.sleep(4)' ");
    const QString marker = m_root.root() + QStringLiteral("/raced");
    QVERIFY(wrapSystemctl(QStringLiteral("if [ \"$1\" = reload ] && grep -qs 'Listen %1$' '%2'/*.conf && [ ! -e '%3' ]; then touch '%3'\n"
                                         "  %4 0 %1 '%3.bound' </dev/null >/dev/null 2>&1 &\n"
                                         "  %4 \"$(cat '%5')\" %6 </dev/null >/dev/null 2>&1 &\n"
                                         // A loaded machine starts python slowly: the reload waits for the bind.
                                         "  for i in $(seq 200); do [ -e '%3.bound' ] && break; sleep 0.05; done\nfi\n")
                              .arg(raced)
                              .arg(m_root.path(QStringLiteral("/orba/etc/reverseproxy/virtualhost")), marker, hold,
                                   m_site.server().serverRoot() + QStringLiteral("/run/apache2.pid"))
                              .arg(served)));
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("raced"), QStringLiteral("/"), raced)).value(QStringLiteral("err")).toInt(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 30000);
    QElapsedTimer down;
    down.start();
    // How long the appliance's site does not answer, for the record.
    qint64 from = -1;
    qint64 to = -1;
    while (down.elapsed() < 30000 && to < 0) {
        const bool answers = ApplianceApache::get(m_site.httpPort(), QStringLiteral("/")).startsWith("HTTP/1.1 200");
        if (!answers && from < 0)
            from = down.elapsed();
        else if (answers && from >= 0)
            to = down.elapsed();
        else if (answers && down.elapsed() > 5000)
            break;
        QTest::qWait(20);
    }
    qInfo("appliance site down from %lld to %lld ms after the race began", from, to);
    QTRY_VERIFY_WITH_TIMEOUT(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/")).startsWith("HTTP/1.1 200"), 30000);
    QFile log(m_root.root() + QStringLiteral("/systemctl.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY2(log.readAll().contains("start apache2"), "Apache never went down: the race did not happen");
    QTRY_VERIFY_WITH_TIMEOUT(ApplianceApache::get(raced, QStringLiteral("/")).startsWith("HTTP/1.1 200")
                                 && ApplianceApache::get(served, QStringLiteral("/")).startsWith("HTTP/1.1 200"),
                             60000);
    qInfo("both rules served %lld ms after the race began (the holders left after 4 s)", down.elapsed());
    QVERIFY(restoreSystemctl());
    QTRY_VERIFY_WITH_TIMEOUT(!disabledRules().contains(QStringLiteral("served")) && !disabledRules().contains(QStringLiteral("raced")), 30000);
    for (const QString &name : {QStringLiteral("served"), QStringLiteral("raced")})
        QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno(name)}}).value(QStringLiteral("err")).toInt(), 0);
}

// Apache down for a fault outside the service's files: the status gives
// Apache's own reason on one line, and Apache is back on its own once the
// fault is gone.
void tst_ServiceApache::outsideSyntaxErrorReportedOnOneLine()
{
    const QString snippet = m_root.root() + QStringLiteral("/etc/apache2/snippets/ssl.conf");
    QFile file(snippet);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray original = file.readAll();
    file.close();
    m_site.server().stop();
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(original + "\nBogusDirective on\n");
    file.close();
    const QString now = QDateTime::currentDateTime().toString(Qt::ISODate);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), rule(QStringLiteral("outside"), QStringLiteral("/outside/"))).value(QStringLiteral("err")).toInt(), 0);
    const QJsonObject status = statusAfter(now);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(original);
    file.close();
    const QJsonObject reload = status.value(QStringLiteral("reload")).toObject();
    QCOMPARE(reload.value(QStringLiteral("state")).toString(), QStringLiteral("failed"));
    QCOMPARE(status.value(QStringLiteral("apache")).toString(), QStringLiteral("failed"));
    const QString message = reload.value(QStringLiteral("message")).toString();
    QVERIFY2(message.contains(QStringLiteral("AH00526: Syntax error on line ")) && message.contains(snippet)
                 && message.contains(QStringLiteral("BogusDirective")) && !message.contains(QLatin1Char('\n')),
             qPrintable(message));
    QTRY_VERIFY_WITH_TIMEOUT(ApplianceApache::get(m_site.httpPort(), QStringLiteral("/outside/")).startsWith("HTTP/1.1 200"), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject()
                                  .value(QStringLiteral("reload")).toObject().value(QStringLiteral("state")).toString(),
                              QStringLiteral("ok"), 30000);
}

QTEST_GUILESS_MAIN(tst_ServiceApache)
#include "tst_service_apache.moc"
