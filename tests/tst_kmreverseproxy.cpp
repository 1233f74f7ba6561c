#include "kmappliance.h"
#include "kmownnames.h"
#include "kmrule.h"
#include "kmreverseproxy.h"
#include "apachefixture.h"
#include "kmapacheconf.h"
#include "testfiles.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "kmpaths.h"
#include "zx2dbsqlite.h"
#include "testresolver.h"

#include <QHostInfo>
#include <QJsonArray>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

// The lines a site with rules opens with: the same-site tests, named once
// (those by an appliance's name where it has rules without a host), and the
// headers and mod_proxy's forwarding of every rule's requests, each line
// after indent.
static QByteArray sharedLines(const QByteArray &scheme, bool hostless, const QByteArray &indent)
{
    const QByteArray host = "%{HTTP_HOST} =~ /^[-.:0-9A-Z_a-z]+$/ && ";
    QList<QByteArray> lines{
        "SetEnvIfExpr \"req_novary('Origin') == '%{REQUEST_SCHEME}://%{HTTP_HOST}'\" REVERSEPROXY_SAME_ORIGIN=1",
        "SetEnvIfExpr \"" + host + "req_novary('Referer') -strmatch '%{REQUEST_SCHEME}://%{HTTP_HOST}/*'\" REVERSEPROXY_SAME_REFERER=1",
        "SetEnvIfExpr \"" + host + "req_novary('Destination') -strmatch '%{REQUEST_SCHEME}://%{HTTP_HOST}/*'\" REVERSEPROXY_SAME_DESTINATION=1",
        "SetEnvIfExpr \"-n reqenv('REVERSEPROXY_SAME_ORIGIN') || -n reqenv('REVERSEPROXY_SAME_REFERER')\" REVERSEPROXY_SAME_PAGE=1"};
    for (const QByteArray kind : {"ORIGIN", "REFERER", "DESTINATION", "PAGE"}) {
        if (hostless)
            lines << "SetEnvIfExpr \"reqenv('REVERSEPROXY_OWN_HOST') == '1' && -n reqenv('REVERSEPROXY_SAME_" + kind
                         + "')\" REVERSEPROXY_OWN_" + kind + "=1";
    }
    const QByteArray served = " \"expr=-n reqenv('REVERSEPROXY_RULE')\"";
    const QByteArray page = hostless ? "-n reqenv('REVERSEPROXY_OWN_PAGE')" : "-n reqenv('REVERSEPROXY_SAME_PAGE')";
    lines << "RequestHeader set X-Forwarded-Proto '" + scheme + "'" + served
          << "RequestHeader merge X-Reverseproxy-Hop '" + KMApacheConf::hopToken().toLatin1() + "'" + served
          << "RequestHeader set X-Forwarded-For \"expr=%{REMOTE_ADDR}\" \"expr=-n reqenv('REVERSEPROXY_RULE') && "
             "reqenv('REVERSEPROXY_KEEP_HOST') != reqenv('REVERSEPROXY_RULE') && (" + page + ")\""
          << "<If \"" + page + "\">" << "    ProxyAddHeaders Off" << "</If>";
    if (hostless)
        lines << "<If \"! reqenv('REVERSEPROXY_OWN_HOST') == '1'\">" << "    ProxyPreserveHost On" << "</If>";
    QByteArray text = indent; // the blank line before them
    for (const QByteArray &line : lines)
        text += "\n" + indent + line;
    return text;
}
static QByteArray ownHostLine()
{
    return "SetEnvIfNoCase Host \"" + KMOwnNames::hostPattern().toUtf8() + "\" REVERSEPROXY_OWN_HOST=1";
}

// The rule manager against a private ORBA_ROOT (appliance web ports 80 and
// 443), with the stand-ins of testfiles.h first on PATH, their files in bin.
class TestKMReverseproxy : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir bin;
    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<KMReverseproxy> manager;
    TestResolver resolver;
    // Starts the resolver's namespace once; false where it cannot be had.
    bool resolving()
    {
        static const bool started = [this] {
            const QByteArray host = QHostInfo::localHostName().toUtf8();
            if (!resolver.start("127.0.0.1 localhost\n127.0.1.1 " + host + ".home.arpa " + host
                                + "\n127.0.1.1 vm.example.lan\n"))
                return false;
            // The appliance's LAN address, as a LAN's DNS gives it.
            QString lan = "127.0.0.1";
            for (const QString &ip : KMAppliance::localIPs())
                lan = ip.contains('.') && !ip.startsWith("127.") ? ip : lan;
            resolver.answer("nas-lan.test", lan);
            resolver.answer("far.test", "192.0.2.1");
            KMOwnNames::refresh();
            return true;
        }();
        return started;
    }

    static QJsonObject rule(const QString &name, const QString &protocol, int port, const QString &path,
                            int destPort, const QString &destHost = QString())
    {
        return {{"name", name},
                {"source", QJsonObject{{"protocol", protocol}, {"port", port}, {"path", path}}},
                {"dest", QJsonObject{{"protocol", "http"}, {"host", destHost}, {"port", destPort}, {"path", "/"}}}};
    }
    static QJsonObject with(QJsonObject object, const QString &path, const QJsonValue &value)
    {
        const QStringList keys = path.split('/');
        if (keys.size() == 1) {
            object.insert(path, value);
        } else {
            QJsonObject inner = object.value(keys.at(0)).toObject();
            inner.insert(keys.at(1), value);
            object.insert(keys.at(0), inner);
        }
        return object;
    }
    static QByteArray readFile(const QString &fixedPath)
    {
        QFile file(orbaPath(fixedPath));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    static QString vhostDir() { return orbaPath("/orba/etc/reverseproxy/virtualhost"); }
    QStringList reloads() const
    {
        QFile log(bin.filePath("systemctl.log"));
        const QStringList lines = log.open(QIODevice::ReadOnly) ? QString(log.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList();
        return lines.filter(" reload apache2");
    }
    double lastReload() const { return reloads().isEmpty() ? 0 : reloads().last().section(' ', 0, 0).toDouble(); }
    // A rule whose source is "protocol port host path" ("-" for no host).
    static QJsonObject source(const QString &written)
    {
        const QStringList parts = written.split(' ');
        QJsonObject side{{"protocol", parts.value(0)}, {"port", parts.value(1).toInt()}, {"path", parts.value(3)}};
        if (parts.value(2) != "-")
            side["host"] = parts.value(2);
        return {{"name", "x"}, {"source", side}, {"dest", QJsonObject{{"protocol", "http"}, {"port", 3000}}}};
    }
    // False, with the journal's message in the log, when the rule is refused.
    bool create(const QJsonObject &params)
    {
        ZX2Journals journals;
        if (manager->create(journals, params))
            return true;
        qWarning("create: %s", qPrintable(journals.errmsg()));
        return false;
    }
    // The status's entry, as compact JSON.
    QByteArray statusOf(const QString &key) const
    {
        ZX2Journals journals;
        QJsonObject status;
        manager->status(journals, status);
        return QJsonDocument(QJsonArray{status.value(key)}).toJson(QJsonDocument::Compact);
    }
    QString reloadState() const
    {
        ZX2Journals journals;
        QJsonObject status;
        manager->status(journals, status);
        return status.value("reload").toObject().value("state").toString();
    }
    int ruleCount() const
    {
        ZX2Journals journals;
        QJsonObject rules;
        return manager->alload(journals, rules) ? rules.size() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeStandins(bin.path(), bin.path()));
        qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));
        // A name the owner reaches the appliance by from outside.
        KMOwnNames::configure({"nas.example.org"});
    }
    void init()
    {
        root.reset(new QTemporaryDir);
        qputenv("ORBA_ROOT", root->path().toUtf8());
        QVERIFY(writeDefinePorts(root->path(), 80, 443));
        QVERIFY(writeTestFile(bin.filePath("netstat.txt"), "tcp6  0  0 :::8022  :::*  LISTEN\n"
                                                           "tcp   0  0 0.0.0.0:80  0.0.0.0:*  LISTEN\n"));
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
        // Every start reloads at once; stand-ins changed by a test apply after it.
        QTRY_COMPARE_WITH_TIMEOUT(reloadState(), QString("ok"), 20000);
    }
    void cleanup()
    {
        manager.reset();
        qunsetenv("ORBA_ROOT");
    }

    // First, so that no reload of another test is still waiting. A burst of
    // regenerations is followed by one reload (one per 3 s of burst at most)
    // that starts after the last of them.
    void reloadsCoalesce()
    {
        ZX2Journals journals;
        const int atStart = reloads().size();
        QElapsedTimer burst;
        burst.start();
        for (int i = 0; i < 20; ++i)
            QVERIFY(manager->mapTo(journals));
        const qint64 burstMs = burst.elapsed();
        const double last = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        QTRY_VERIFY_WITH_TIMEOUT(lastReload() >= last, 60000);
        const QStringList lines = reloads();
        QVERIFY2(lines.size() - atStart <= burstMs / 3000 + 1, qPrintable(lines.join('\n')));
        QCOMPARE(lines.last().section(' ', 1), QString("reload apache2"));

        const double again = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        QVERIFY(manager->mapTo(journals));
        QTRY_VERIFY_WITH_TIMEOUT(lastReload() >= again, 60000);
        QCOMPARE(reloads().size(), lines.size() + 1);
    }

    // A manager can go while its reload runs: the reload's child goes with it.
    void destroyedWhileReloading()
    {
        QVERIFY(writeScript(bin.path(), "apache2ctl", QString("touch '%1.started'; sleep 1; touch '%1.done'\n").arg(bin.filePath("test"))));
        ZX2Journals journals;
        QVERIFY(manager->mapTo(journals));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bin.filePath("test.started")), 20000);
        manager.reset();
        QTest::qWait(1500); // past the child's own end
        const bool ended = !QFile::exists(bin.filePath("test.done"));
        QVERIFY(writeStandins(bin.path(), bin.path()));
        QVERIFY(ended);
    }

    // Every start writes the files of its database, also a new one over the
    // files of an older table.
    void startWritesFilesFromDatabase()
    {
        manager.reset();
        QVERIFY(QFile::remove(orbaPath(kReverseproxyDatabase)));
        QVERIFY(writeTestFile(vhostDir() + "/http_8080.conf", "Listen 8080\n"));
        QVERIFY(writeTestFile(orbaPath(kReverseproxyHttpConf), "# an older table\n"));
        manager.reset(new KMReverseproxy);
        ZX2Journals started;
        QVERIFY(manager->start(started));
        QCOMPARE(readFile(kReverseproxyHttpConf), QByteArray());
        QCOMPARE(readFile(kReverseproxyHttpsConf), QByteArray());
        QVERIFY(!QFile::exists(vhostDir() + "/http_8080.conf"));
        QTRY_COMPARE_WITH_TIMEOUT(reloadState(), QString("ok"), 20000);

        QVERIFY(create(rule(" Web ", "HTTP", 0, "web", 3000)));
        manager.reset(new KMReverseproxy);
        QFile::remove(orbaPath("/orba/etc/reverseproxy/http.conf"));
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
        QVERIFY(readFile("/orba/etc/reverseproxy/http.conf").contains("<Location '/web'>"));
        QJsonObject rules;
        QVERIFY(manager->alload(journals, rules));
        QCOMPARE(rules, QJsonObject({{"Web", with(rule(" Web ", "HTTP", 0, "web", 3000), "pxyno", 1)}}));
    }

    void customPortVirtualHost()
    {
        QVERIFY(create(rule("web", "http", 8080, "/app", 3000)));
        QCOMPARE(readFile("/orba/etc/reverseproxy/virtualhost/http_8080.conf"),
                 QByteArray("\n# http 自定义端口配置\nListen 8080\n<VirtualHost *:8080>\n    AddDefaultCharset UTF-8\n\n"
                            "    <If \"req('X-Reverseproxy-Hop') =~ /" + KMApacheConf::hopToken().toLatin1() + "/\">\n"
                            "        Redirect 508\n    </If>\n    Redirect 404 /\n    " + ownHostLine() + "\n"
                            + sharedLines("http", true, "    ") + "\n    \n"
                            "    # web\n    <Location '/app'>\n        ProxyPass 'http://127.0.0.1:3000' upgrade=websocket\n"
                            "        SetEnv REVERSEPROXY_RULE 1\n"
                            "        Header edit Location '^(?:(?i:http://127\\.0\\.0\\.1:3000))?(?|/app(?|(/.*)|([?#].*)?)|(/(?!/).*)?)$'"
                            " '/app$1' \"expr=reqenv('REVERSEPROXY_RULE') == '1'\"\n"
                            "        Header edit* Set-Cookie '(;[ \\t]*(?i:path)[ \\t]*=[ \\t]*)(?|/app(?|(/[^;]*)|()(?![^;\\s]))|(/[^;]*))' '$1/app$2'"
                            " \"expr=reqenv('REVERSEPROXY_RULE') == '1'\"\n"
                            "        RequestHeader set Origin 'http://127.0.0.1:3000' \"expr=reqenv('REVERSEPROXY_RULE') == '1'"
                            " && -n reqenv('REVERSEPROXY_OWN_ORIGIN')\"\n"
                            "        RequestHeader edit Referer '^https?://[^/]+' 'http://127.0.0.1:3000' "
                            "\"expr=reqenv('REVERSEPROXY_RULE') == '1' && -n reqenv('REVERSEPROXY_OWN_REFERER')\"\n"
                            "        RequestHeader edit Destination '^https?://[^/]+/app([/?#].*)?$' 'http://127.0.0.1:3000$1' "
                            "\"expr=reqenv('REVERSEPROXY_RULE') == '1' && -n reqenv('REVERSEPROXY_OWN_DESTINATION')\"\n"
                            "        ProxyErrorOverride On 500 502 503 504\n"
                            "    </Location>\n    \n</VirtualHost>\n"));
        // A destination may lead back to a web port without rules.
        const QByteArray guard = "\n<If \"req('X-Reverseproxy-Hop') =~ /" + KMApacheConf::hopToken().toLatin1()
                                 + "/\">\n    Redirect 508\n</If>";
        QCOMPARE(readFile("/orba/etc/reverseproxy/http.conf"), guard);
        QCOMPARE(readFile("/orba/etc/reverseproxy/https.conf"), guard);
        // Rules may carry credentials: Apache's master reads the files as root.
        const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
        QCOMPARE(QFile::permissions(vhostDir() + "/http_8080.conf"), owner | QFile::ReadGroup);
        QCOMPARE(QFile::permissions(orbaPath(kReverseproxyHttpConf)), owner | QFile::ReadGroup);
        QCOMPARE(QFile::permissions(vhostDir()), owner | QFile::ExeOwner | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup);
    }

    // The stored parameters and the generated configuration are bounded as a
    // whole: the change past either bound is refused and changes nothing.
    void bounds_data()
    {
        QTest::addColumn<bool>("headers");
        QTest::addColumn<QString>("filler"); // of a header line: the bound counts bytes
        QTest::newRow("stored parameters") << false << "x";
        QTest::newRow("generated configuration") << true << "x";
        QTest::newRow("generated configuration, CJK") << true << "界";
    }
    void bounds()
    {
        QFETCH(bool, headers);
        QFETCH(QString, filler);
        auto large = [headers, filler](int i) {
            QJsonObject params = rule(QString("r%1").arg(i), "http", 0, QString("/r%1").arg(i), 3000);
            if (!headers) {
                params.insert("note", QString(1000 * 1024, 'x'));
                return params;
            }
            QJsonArray lines;
            for (int n = 0; n < 64; ++n)
                lines << QJsonObject{{"key", "Header"}, {"value", "set X-N " + filler.repeated(3990 / filler.toUtf8().size())}};
            params.insert("httpheaders", lines);
            return params;
        };
        ZX2Journals journals;
        int created = 0;
        while (created < 100 && manager->create(journals, large(created + 1)))
            ++created;
        QCOMPARE(journals.err(), int(ZX2Error::ERR_NOT_ENOUGH));
        QVERIFY(created > 16);
        const QByteArray http = readFile(kReverseproxyHttpConf);
        ZX2Journals again;
        QVERIFY(!manager->create(again, large(created + 1)));
        QCOMPARE(again.err(), int(ZX2Error::ERR_NOT_ENOUGH));
        QCOMPARE(ruleCount(), created);
        QCOMPARE(readFile(kReverseproxyHttpConf), http);
        QVERIFY(http.size() <= 16 << 20);
    }

    void webPortRuleWithOptions()
    {
        QJsonObject params = rule("api", "HTTPS", 443, "shop", 9000, "::1");
        params = with(with(with(params, "hsts", true), "timeouts", QJsonObject{{"conn", 5}}), "httpversion", " HTTP/1.1 ");
        params = with(with(params, "desterrpage", true), "httpheaders", QJsonArray{
            QJsonObject{{"key", "Header"}, {"value", "set X-A 1"}, {"description", "mark"}},
            QJsonObject{{"key", "RequestHeader"}, {"value", ""}},
            QJsonObject{{"key", "RequestHeader"}, {"value", "unset X-B"}}});
        QVERIFY(create(params));
        QCOMPARE(readFile("/orba/etc/reverseproxy/https.conf"),
                 QByteArray("\n<If \"req('X-Reverseproxy-Hop') =~ /" + KMApacheConf::hopToken().toLatin1() + "/\">\n"
                            "    Redirect 508\n</If>\n" + ownHostLine() + "\n" + sharedLines("https", true, "")
                            + "\n\n# api\n<Location '/shop'>\n"
                            "    ProxyPass 'http://[::1]:9000' timeout=360 enablereuse=on upgrade=websocket\n"
                            "    SetEnv REVERSEPROXY_RULE 1\n"
                            "    Header edit Location '^(?:(?i:http://\\[::1\\]:9000))?(?|/shop(?|(/.*)|([?#].*)?)|(/(?!/).*)?)$'"
                            " '/shop$1' \"expr=reqenv('REVERSEPROXY_RULE') == '1'\"\n"
                            "    Header edit* Set-Cookie '(;[ \\t]*(?i:path)[ \\t]*=[ \\t]*)(?|/shop(?|(/[^;]*)|()(?![^;\\s]))|(/[^;]*))' '$1/shop$2'"
                            " \"expr=reqenv('REVERSEPROXY_RULE') == '1'\"\n"
                            "    RequestHeader set Origin 'http://[::1]:9000' \"expr=reqenv('REVERSEPROXY_RULE') == '1'"
                            " && -n reqenv('REVERSEPROXY_OWN_ORIGIN')\"\n"
                            "    RequestHeader edit Referer '^https?://[^/]+' 'http://[::1]:9000' "
                            "\"expr=reqenv('REVERSEPROXY_RULE') == '1' && -n reqenv('REVERSEPROXY_OWN_REFERER')\"\n"
                            "    RequestHeader edit Destination '^https?://[^/]+/shop([/?#].*)?$' 'http://[::1]:9000$1' "
                            "\"expr=reqenv('REVERSEPROXY_RULE') == '1' && -n reqenv('REVERSEPROXY_OWN_DESTINATION')\"\n"
                            "    ProxyErrorOverride Off\n</Location>\n"
                            "<LocationMatch '^/shop(?:/|$)'>\n    # mark\n    Header set X-A 1\n\n"
                            "    RequestHeader unset X-B\n\n</LocationMatch>\n"));
        QVERIFY(QDir(vhostDir()).entryList(QDir::Files).isEmpty());
    }

    // Rules on the web https port become a custom port when that port moves:
    // each host name is a site of its own with its own HSTS.
    void httpsSitePerName_data()
    {
        QTest::addColumn<bool>("firstHsts");
        QTest::addColumn<bool>("lastHsts");
        QTest::newRow("last has it") << false << true;
        QTest::newRow("only the first has it") << true << false;
    }
    void httpsSitePerName()
    {
        QFETCH(bool, firstHsts);
        QFETCH(bool, lastHsts);
        QVERIFY(create(with(with(rule("one", "https", 443, "/one", 3001), "hsts", firstHsts), "source/host", "first.example")));
        QVERIFY(create(with(with(rule("two", "https", 443, "/two", 3002), "hsts", lastHsts), "source/host", "nas.example")));
        QVERIFY(writeDefinePorts(root->path(), 80, 5001));
        ZX2Journals journals;
        QVERIFY(manager->mapTo(journals));
        const QString file = QString::fromUtf8(readFile("/orba/etc/reverseproxy/virtualhost/https_443.conf"));
        const QStringList hosts = file.split("<VirtualHost *:443>\n");
        QCOMPARE(hosts.size(), 4); // every other name, then one per name
        const QString hsts = "    Header always set Strict-Transport-Security \"max-age=31536000; includeSubDomains\"\n";
        QVERIFY(!hosts.at(1).contains("ServerName") && !hosts.at(1).contains(hsts) && !hosts.at(1).contains("# one"));
        QVERIFY(hosts.at(2).startsWith("    ServerName first.example\n") && hosts.at(2).contains("# one\n"));
        QCOMPARE(hosts.at(2).contains(hsts), firstHsts);
        QVERIFY(hosts.at(3).startsWith("    ServerName nas.example\n") && hosts.at(3).contains("# two\n"));
        QCOMPARE(hosts.at(3).contains(hsts), lastHsts);
    }

    // Only the files the service writes are removed; a linked directory is
    // never written into.
    void staleVirtualHostsGoOtherFilesStay()
    {
        QVERIFY(writeTestFile(vhostDir() + "/http_1.conf", "Listen 1\n"));
        QVERIFY(writeTestFile(vhostDir() + "/other.conf", "# not ours\n"));
        QVERIFY(writeTestFile(vhostDir() + "/.keep", "x"));
        QVERIFY(create(rule("web", "http", 8080, "/app", 3000)));
        QCOMPARE(QDir(vhostDir()).entryList(QDir::Files | QDir::Hidden), QStringList({".keep", "http_8080.conf", "other.conf"}));
        ZX2Journals journals;
        QVERIFY(manager->remove(journals, 1));
        QCOMPARE(QDir(vhostDir()).entryList(QDir::Files | QDir::Hidden), QStringList({".keep", "other.conf"}));

        QTemporaryDir foreign;
        QVERIFY(writeTestFile(foreign.filePath("http_2.conf"), "x"));
        QVERIFY(QDir(vhostDir()).removeRecursively() && QFile::link(foreign.path(), vhostDir()));
        QVERIFY(!manager->create(journals, rule("web", "http", 8080, "/app", 3000)));
        QCOMPARE(journals.err(), int(ZX2Error::ERR_SAVE));
        QCOMPARE(QDir(foreign.path()).entryList(QDir::Files), QStringList({"http_2.conf"}));
        QCOMPARE(ruleCount(), 0);
    }

    // A change whose files cannot be written, or whose directives Apache
    // refuses, leaves the database and the files as they were.
    void failedChangeChangesNothing_data()
    {
        QTest::addColumn<bool>("unwritable");
        QTest::addColumn<int>("err");
        QTest::addColumn<QString>("message");
        QTest::newRow("unwritable file") << true << int(ZX2Error::ERR_SAVE)
                                         << "http配置文保存失败：/orba/etc/reverseproxy/http.conf";
        QTest::newRow("refused by Apache") << false << int(ZX2Error::ERR_PARAMS)
                                           << "参数内容错误(httpheaders): line 14: Invalid command 'Header', perhaps misspelled";
    }
    void failedChangeChangesNothing()
    {
        QFETCH(bool, unwritable);
        QFETCH(int, err);
        QFETCH(QString, message);
        QVERIFY(create(rule("kept", "https", 0, "/kept", 3000)));
        const QByteArray https = readFile("/orba/etc/reverseproxy/https.conf");
        if (unwritable) {
            const QString http = orbaPath("/orba/etc/reverseproxy/http.conf");
            QVERIFY(QFile::remove(http) && QDir().mkpath(http)); // no file can replace a directory
        } else {
            QVERIFY(writeTestFile(bin.filePath("apache2ctl.txt"), "AH00526: Syntax error on line 14 of " + orbaPath("/orba/etc/reverseproxy/https.conf").toUtf8()
                                                                  + ":\nInvalid command 'Header', perhaps misspelled\nAction '-t' failed.\n"));
            QVERIFY(writeTestFile(bin.filePath("apache2ctl.rc"), "1"));
        }
        QJsonObject params = rule("web", "https", 0, "/web", 3000);
        params.insert("httpheaders", QJsonArray{QJsonObject{{"key", "Header"}, {"value", "bad"}}});
        ZX2Journals journals;
        const bool created = manager->create(journals, params);
        QFile::remove(bin.filePath("apache2ctl.txt"));
        QFile::remove(bin.filePath("apache2ctl.rc"));
        QVERIFY(!created);
        QCOMPARE(journals.err(), err);
        QCOMPARE(journals.errmsg(), message.replace("/orba", orbaPath("/orba")));
        QCOMPARE(readFile("/orba/etc/reverseproxy/https.conf"), https);
        QCOMPARE(ruleCount(), 1);
        QCOMPARE(QDir(orbaPath("/orba/etc/reverseproxy")).entryList({"*.conf.*"}, QDir::Files | QDir::Hidden), QStringList());
    }

    // Stored rules, then a create (pxyno 0) or change that fails. Port 8022
    // and the web port 80 are listening.
    void checks_data()
    {
        QTest::addColumn<QJsonArray>("stored");
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<int>("pxyno");
        QTest::addColumn<int>("err");
        QTest::addColumn<QString>("message");
        const QJsonArray two{rule("a", "http", 0, "/a", 3000), rule("b", "http", 8080, "/b", 3000)};
        QTest::newRow("identical") << QJsonArray() << with(rule("x", "http", 0, "/x", 0, "localhost"), "dest/path", "/x")
                                   << 0 << int(ZX2Error::ERR_IDENTICAL) << "来源和目标不能完全一致";
        QTest::newRow("reserved") << QJsonArray() << rule("x", "https", 0, "/api/", 1) << 0 << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("reserved with trailing slashes") << QJsonArray() << rule("x", "http", 0, "/api//", 1) << 0 << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("reserved on the other web port") << QJsonArray() << rule("x", "http", 443, "/apps", 1) << 0 << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("custom port of a rule") << two << rule("x", "https", 8080, "/x", 1) << 0 << int(ZX2Error::ERR_USED) << "端口号已被占用";
        QTest::newRow("listening port") << QJsonArray() << rule("x", "http", 8022, "/x", 1) << 0 << int(ZX2Error::ERR_USED) << "端口号已被占用";
        QTest::newRow("name in capitals") << two << rule("A", "http", 0, "/x", 1) << 0 << int(ZX2Error::ERR_EXISTS) << "名称已存在";
        QTest::newRow("same source") << two << rule("x", "HTTP", 80, "a/", 1) << 0 << int(ZX2Error::ERR_CONFLICT) << "来源路径已存在";
        QTest::newRow("same source stored in capitals") << QJsonArray{rule("a", " HTTPS", 0, " /a", 1)} << rule("x", "https", 0, "/a", 1)
                                                        << 0 << int(ZX2Error::ERR_CONFLICT) << "来源路径已存在";
        QTest::newRow("change: no such rule") << two << rule("a", "http", 0, "/a", 1) << 7 << int(ZX2Error::ERR_NOT_EXISTS) << "指定序号不存在";
        QTest::newRow("change: name in capitals") << two << rule("B", "http", 0, "/a", 1) << 1 << int(ZX2Error::ERR_CONFLICT) << "名称已存在";
        QTest::newRow("change: onto the web port") << two << rule("b", "http", 80, "/x", 1) << 2 << int(ZX2Error::ERR_USED) << "端口号已被占用";
        QTest::newRow("change: reserved") << two << rule("a", "http", 0, "/wmi", 1) << 1 << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("change: custom port root onto the web port") << QJsonArray{rule("c", "http", 8080, "/", 1)} << rule("c", "http", 0, "/", 1)
                                                                    << 1 << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("change: same source") << two << rule("b", "http", 0, "//a", 1) << 2 << int(ZX2Error::ERR_CONFLICT) << "源地址已存在";
    }
    void checks()
    {
        QFETCH(QJsonArray, stored);
        QFETCH(QJsonObject, request);
        QFETCH(int, pxyno);
        QFETCH(int, err);
        QFETCH(QString, message);
        for (const QJsonValue &params : stored)
            QVERIFY(create(params.toObject()));
        ZX2Journals journals;
        QVERIFY(pxyno ? !manager->change(journals, with(request, "pxyno", pxyno)) : !manager->create(journals, request));
        QCOMPARE(journals.errmsg(), message);
        QCOMPARE(journals.err(), err);
        QCOMPARE(ruleCount(), stored.size());
    }

    // A custom port is free only when the service can tell: netstat's
    // listing where it runs, a bind probe for what the listing does not
    // show. netstat.txt's "{port}" is the row's port.
    void portTruth_data()
    {
        QTest::addColumn<QString>("netstat"); // the stand-in's body; empty: the usual one
        QTest::addColumn<QString>("listing");
        QTest::addColumn<QString>("holder"); // "listening" or "bound" socket on the port
        QTest::addColumn<int>("err");
        const QString usual;
        QTest::newRow("free") << usual << "" << "" << 0;
        QTest::newRow("netstat missing") << "exit 127" << "" << "" << int(ZX2Error::ERR_USED);
        QTest::newRow("netstat fails") << "echo broken >&2; exit 1" << "" << "" << int(ZX2Error::ERR_USED);
        QTest::newRow("empty listing, a listener") << usual << "" << "listening" << int(ZX2Error::ERR_USED);
        QTest::newRow("empty listing, bound only") << usual << "" << "bound" << int(ZX2Error::ERR_USED);
        QTest::newRow("listed without a program") << usual << "tcp 0 0 0.0.0.0:{port} 0.0.0.0:* LISTEN -\n" << "" << int(ZX2Error::ERR_USED);
        // Apache's only when its unit's main process listens there.
        QTest::newRow("listed as a program named apache2") << usual << "tcp 0 0 0.0.0.0:{port} 0.0.0.0:* LISTEN 7/apache2\n" << "" << int(ZX2Error::ERR_USED);
    }
    void portTruth()
    {
        QFETCH(QString, netstat);
        QFETCH(QString, listing);
        QFETCH(QString, holder);
        QFETCH(int, err);
        const quint16 port = TestApache::freePort();
        if (!netstat.isEmpty())
            QVERIFY(writeScript(bin.path(), "netstat", netstat));
        QVERIFY(writeTestFile(bin.filePath("netstat.txt"), listing.replace("{port}", QString::number(port)).toUtf8()));
        QTcpServer listener;
        const int bound = holder == "bound" ? ::socket(AF_INET, SOCK_STREAM, 0) : -1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        const bool held = holder == "listening" ? listener.listen(QHostAddress::LocalHost, port)
                          : holder == "bound"   ? ::bind(bound, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                                                : true;
        ZX2Journals journals;
        const bool created = held && manager->create(journals, rule("p", "http", port, "/p", 3000));
        if (bound >= 0)
            ::close(bound);
        QVERIFY(writeStandins(bin.path(), bin.path()));
        QVERIFY(held);
        QCOMPARE(journals.err(), err ? err : 9999);
        QCOMPARE(created, err == 0);
    }

    // An import checks each rule against all before it: its size is bounded
    // before any check, so no request holds the other changes up for long.
    void importTooLarge()
    {
        QJsonArray rules;
        for (int i = 0; i <= 5000; ++i)
            rules << rule(QString("t%1").arg(i), "http", 0, QString("/t%1").arg(i), 3000);
        ZX2Journals journals;
        QVERIFY(!manager->importRules(journals, rules, true, false));
        QCOMPARE(journals.err(), int(ZX2Error::ERR_NOT_ENOUGH));
        QCOMPARE(ruleCount(), 0);
    }

    void accepted()
    {
        QVERIFY(create(rule("a", "http", 0, "/a", 3000)));
        QVERIFY(create(rule("b", "http", 80, "/b", 3000)));         // the web ports carry many rules
        QVERIFY(create(rule("c", "http", 8081, "/api", 3000)));     // reserved only on the web ports
        QVERIFY(create(rule("d", "http", 0, "/API", 3000)));        // letter case counts
        QVERIFY(create(rule("e", "http", 3002, "/", 3001, "LOCALHOST")));  // a local program, not Apache
        QVERIFY(create(rule("f", "https", 0, "/a", 3000)));
        // Only destination and name change: no source checks, though 8080 listens now.
        QVERIFY(create(rule("g", "http", 8080, "/g", 3000)));
        QVERIFY(writeTestFile(bin.filePath("netstat.txt"), "tcp 0 0 0.0.0.0:8080 0.0.0.0:* LISTEN\n"));
        ZX2Journals journals;
        const QJsonObject moved = with(rule("g2", "http", 8080, "/g", 4000), "pxyno", 7);
        QVERIFY2(manager->change(journals, moved), qPrintable(journals.errmsg()));
        QJsonObject record;
        QVERIFY(manager->acquit(journals, record, 7));
        QCOMPARE(record, moved);
        QVERIFY(!manager->remove(journals, 8));
        QCOMPARE(journals.errmsg(), QString("序号不存在"));
    }

    // Sources conflict by the site they land in (the effective port, the
    // host without regard to letter case) and the path as Apache matches it.
    // Sources are "protocol port host path" ("-" for no host); the web ports
    // are 80 and 443.
    void sourceConflicts_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("conflict");
        QTest::newRow("same path, two hosts") << "http 0 a.nas.test /media/" << "http 0 b.nas.test /media/" << false;
        QTest::newRow("host case ignored") << "http 0 A.Nas.Test /media/" << "http 0 a.nas.test /media" << true;
        QTest::newRow("host beside none") << "http 0 a.nas.test /media/" << "http 0 - /media/" << false;
        QTest::newRow("web port named by number") << "https 80 - /app" << "http 0 - /app" << true;
        QTest::newRow("doubled slash") << "http 0 - /dbl//x" << "http 0 - /dbl/x" << true;
        QTest::newRow("dot segment") << "http 0 - /a/./b" << "http 0 - /a/b" << true;
        QTest::newRow("one custom port, two protocols") << "http 8080 - /x" << "https 8080 - /x" << true;
        QTest::newRow("two web ports") << "http 0 - /x" << "https 0 - /x" << false;
        QTest::newRow("letter case of a path counts") << "http 0 - /App" << "http 0 - /app" << false;
    }
    void sourceConflicts()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, conflict);
        const KMAppliancePorts ports{80, 443};
        QCOMPARE(KMRule::fromParams(source(first)).conflictKey(ports) == KMRule::fromParams(source(second)).conflictKey(ports),
                 conflict);
    }

    // A web port named by number takes its own protocol only; a custom port
    // one protocol for all its rules (the rule being changed left out).
    void sourceProtocols_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("asked"); // a fifth word: the rule to change
        QTest::addColumn<int>("err");
        const int fits = 0;
        QTest::newRow("https named on the http web port") << "" << "https 80 - /app" << int(ZX2Error::ERR_PARAMS);
        QTest::newRow("http named on the http web port") << "" << "http 80 - /app" << fits;
        QTest::newRow("port 0") << "" << "https 0 - /app" << fits;
        QTest::newRow("custom port, same protocol") << "http 8080 a.nas.test /" << "http 8080 b.nas.test /" << fits;
        QTest::newRow("custom port, other protocol") << "http 8080 a.nas.test /" << "https 8080 b.nas.test /" << int(ZX2Error::ERR_USED);
        QTest::newRow("custom port, the changed rule") << "http 8080 a.nas.test /" << "https 8080 b.nas.test / 1" << fits;
    }
    void sourceProtocols()
    {
        QFETCH(QString, stored);
        QFETCH(QString, asked);
        QFETCH(int, err);
        if (!stored.isEmpty())
            QVERIFY(create(with(source(stored), "name", "stored")));
        const int pxyno = asked.section(' ', 4).toInt();
        ZX2Journals journals;
        const QJsonObject params = source(asked.section(' ', 0, 3));
        const bool done = pxyno ? manager->change(journals, with(params, "pxyno", pxyno)) : manager->create(journals, params);
        QCOMPARE(done ? 0 : journals.err(), err);
    }

    // A host that is not one of the appliance's own names takes the whole
    // of that name: nothing is reserved for it.
    void reservedForHosts_data()
    {
        QTest::addColumn<QString>("asked");
        QTest::addColumn<bool>("reserved");
        QTest::newRow("another name at the root") << "http 0 photos.nas.test /" << false;
        QTest::newRow("another name under /api") << "https 443 photos.nas.test /api/x" << false;
        QTest::newRow("no host at the root") << "http 0 - /" << true;
        QTest::newRow("localhost") << "http 0 LOCALHOST /" << true;
        QTest::newRow("a loopback address") << "http 0 127.0.0.1 /api" << true;
        QTest::newRow("below localhost") << "http 0 *.localhost /" << true;
        QTest::newRow("the machine's name") << "http 0 " + QHostInfo::localHostName() + " /desktop" << true;
        QTest::newRow("the machine's name, custom port") << "http 8080 " + QHostInfo::localHostName() + " /" << false;
        QTest::newRow("the machine's .local name") << "http 0 " + QHostInfo::localHostName() + ".LOCAL. /api/" << true;
        QTest::newRow("a configured name") << "https 0 nas.example.org /" << true;
        QTest::newRow("below .local") << "http 0 *.local /api" << true;
        QTest::newRow("below a configured name's domain") << "http 0 *.example.org /" << true;
        QTest::newRow("below another domain") << "http 0 *.photos.test /" << false;
        QTest::newRow("certificate validation on the machine's name")
            << "http 0 " + QHostInfo::localHostName() + " /.well-known/acme-challenge/" << true;
    }
    void reservedForHosts()
    {
        QFETCH(QString, asked);
        QFETCH(bool, reserved);
        QCOMPARE(KMAppliance::reservedSource(KMRule::fromParams(source(asked)).source, {80, 443}, KMNameLookup()), reserved);
    }

    // Names as the hosts file and DNS give them: the machine's qualified
    // name, and a source host whose address is the appliance's, keep every
    // reserved path; a destination named so is this Apache.
    void lookedUpNames_data()
    {
        QTest::addColumn<QString>("asked"); // source, or "dest <host>"
        QTest::addColumn<int>("err");
        const int created = 0;
        const int reserved = ZX2Error::ERR_RESERVED;
        QTest::newRow("qualified name") << "http 0 " + QHostInfo::localHostName() + ".home.arpa /api" << reserved;
        QTest::newRow("hosts file, appliance") << "http 0 vm.example.lan /desktop/" << reserved;
        QTest::newRow("DNS, appliance") << "http 0 nas-lan.test /" << reserved;
        QTest::newRow("DNS, elsewhere") << "http 0 far.test /api" << created;
        QTest::newRow("no such name") << "http 0 nowhere.test /api" << created;
        QTest::newRow("destination, appliance") << "dest nas-lan.test" << int(ZX2Error::ERR_IDENTICAL);
        QTest::newRow("destination, elsewhere") << "dest far.test" << created;
    }
    void lookedUpNames()
    {
        QFETCH(QString, asked);
        QFETCH(int, err);
        QVERIFY2(resolving(), qPrintable(resolver.errorText()));
        const QJsonObject params = asked.startsWith("dest ") ? rule("x", "http", 0, "/x", 80, asked.mid(5)) : source(asked);
        ZX2Journals journals;
        QCOMPARE(manager->create(journals, params) ? 0 : journals.err(), err);
    }

    // At start the stored rules' names are not waited for; looked up after
    // (the socket serves meanwhile), a destination name that now resolves
    // to this Apache leaves its rule out.
    void storedNamesCheckedAfterStart()
    {
        QVERIFY2(resolving(), qPrintable(resolver.errorText()));
        resolver.answer("moved.test", "127.0.0.1", true);
        // Port 3000 is nobody's yet: the name does not decide.
        QVERIFY(create(rule("moved", "http", 0, "/moved", 3000, "moved.test")));
        QVERIFY(create(rule("custom", "http", 3000, "/custom", 4000)));
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
        QVERIFY(resolver.heldQuestions() > 0); // the start did not wait for it
        manager->checkStoredNames();
        resolver.release();
        QTRY_VERIFY_WITH_TIMEOUT(statusOf("disabled").contains("来源和目标不能完全一致"), 60000);
        QVERIFY(statusOf("disabled").contains("\"pxyno\":1"));
    }

    // A name that does not answer in time refuses its rule; names that
    // answer slowly hold up only the request that names them: root's
    // create is answered while a member's import waits on its names.
    void slowNames()
    {
        QVERIFY2(resolving(), qPrintable(resolver.errorText()));
        resolver.answer("late.test", "192.0.2.1", true);
        ZX2Journals late;
        QVERIFY(!manager->create(late, rule("late", "http", 0, "/late", 80, "late.test")));
        QCOMPARE(late.err(), int(ZX2Error::ERR_TIMEOUT));
        QCOMPARE(late.errmsg(), QString("域名解析超时(late.test)"));

        QJsonArray rules;
        for (int i = 0; i < 100; ++i) {
            resolver.answer(QString("slow%1.test").arg(i), "192.0.2.1", true);
            rules << rule(QString("member%1").arg(i), "http", 0, QString("/m%1").arg(i), 80, QString("slow%1.test").arg(i));
        }
        std::atomic_bool imported{false};
        std::thread import([&] {
            ZX2Journals journals;
            imported = manager->importRules(journals, rules, false, false);
        });
        QTRY_VERIFY_WITH_TIMEOUT(resolver.heldQuestions() > 1, 20000);
        QVERIFY(create(rule("root", "http", 0, "/root", 3000)));
        resolver.release();
        import.join();
        QVERIFY(imported);
    }

    // The appliance's site on its web ports (port 0 stands for them): a
    // create there, and a change of rule 1 onto it, is refused.
    void reservedSources_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("reserved");
        for (const char *prefix : {"/product", "/api", "/wmi", "/shares", "/desktop", "/apps", "/download"})
            QTest::newRow(prefix) << "http" << 0 << QString(prefix) + "/auth/x" << true;
        for (const char *index : {"/index.html", "/index.htm", "/index.php", "/index.cgi", "/index.pl", "/index.xhtml"})
            QTest::newRow(index) << "https" << 0 << QString(index) << true;
        QTest::newRow("below an index document") << "http" << 0 << "/index.php/x" << true;
        QTest::newRow("root") << "http" << 0 << "/" << true;
        QTest::newRow("empty path") << "http" << 0 << "" << true;
        QTest::newRow("doubled slash") << "http" << 0 << "//api" << true;
        QTest::newRow("doubled slash, below") << "https" << 0 << "//api/x" << true;
        QTest::newRow("doubled root") << "http" << 0 << "//" << true;
        QTest::newRow("trailing slashes") << "http" << 0 << "/desktop//" << true;
        QTest::newRow("dot segments") << "http" << 0 << "/x/../api/auth" << true;
        QTest::newRow("escaped") << "http" << 0 << "/%61pi/auth" << true;
        QTest::newRow("http web port") << "http" << 80 << "/api/auth" << true;
        QTest::newRow("https web port") << "https" << 443 << "/api/auth" << true;
        QTest::newRow("the other web port") << "http" << 443 << "/apps/x" << true;
        QTest::newRow("longer first segment") << "http" << 0 << "/apix/auth" << false;
        QTest::newRow("letter case counts") << "http" << 0 << "/API/auth" << false;
        QTest::newRow("deeper") << "http" << 0 << "/x/api" << false;
        QTest::newRow("index document below") << "http" << 0 << "/x/index.html" << false;
        QTest::newRow("host rules' private paths") << "http" << 0 << "/.reverseproxy-host/1/" << true;
        QTest::newRow("certificate validation") << "http" << 0 << "/.well-known/acme-challenge/" << true;
        QTest::newRow("certificate validation, below") << "https" << 0 << "/.well-known/acme-challenge/x" << true;
        QTest::newRow("well-known documents") << "http" << 0 << "/.well-known/" << true;
        QTest::newRow("another well-known document") << "http" << 0 << "/.well-known/caldav" << false;
        QTest::newRow("custom port") << "http" << 8081 << "/api/auth" << false;
        QTest::newRow("custom port root") << "https" << 8443 << "/" << false;
    }
    void reservedSources()
    {
        QFETCH(QString, protocol);
        QFETCH(int, port);
        QFETCH(QString, path);
        QFETCH(bool, reserved);
        // On the row's web port, so that the change moves only the path (a
        // move onto a port something listens on is refused before).
        const bool webPort = port == 80 || port == 443;
        QVERIFY(create(rule("base", port == 443 ? "https" : "http", webPort ? port : 0, "/base", 3000)));
        const QJsonObject request = rule("x", protocol, port, path, 3000);
        for (const bool change : {false, true}) {
            ZX2Journals journals;
            const bool stored = change ? manager->change(journals, with(with(request, "name", "base"), "pxyno", 1))
                                       : manager->create(journals, request);
            QCOMPARE(stored, !reserved);
            QCOMPARE(journals.errmsg(), reserved ? QString("源路径已被保留不可用") : QString());
            if (stored && !change)
                QVERIFY(manager->remove(journals, 2));
        }
    }

    // Apache's listeners by the control group that made them: where the
    // service may not read Apache's descriptors (its unit drops the
    // capability), the kernel's socket diagnostics still tell.
    void listenersOfGroup()
    {
        QFile cgroup("/proc/self/cgroup");
        QVERIFY(cgroup.open(QIODevice::ReadOnly));
        QString own;
        for (const QByteArray &line : cgroup.readAll().split('\n')) {
            if (line.startsWith("0::"))
                own = QString::fromUtf8(line.mid(3));
        }
        if (own.isEmpty())
            QSKIP("no cgroup v2 hierarchy");
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::Any));
        QSet<int> ports;
        QVERIFY(KMAppliance::listeningPortsOfGroup(own, ports));
        QVERIFY(ports.contains(listener.serverPort()));
        QVERIFY(!KMAppliance::listeningPortsOfGroup("/no/such/group", ports));
    }

    // A destination that is this Apache (a local address on a web port, on
    // the custom port 8081 of a stored rule, or on the rule's own port, one
    // that is free) is refused for a create and for a change of rule 2 alike.
    static int ownPort()
    {
        static const int port = TestApache::freePort();
        return port;
    }
    void thisApache_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("refused");
        for (const char *host : {"127.0.0.1", "127.1", "2130706433", "0x7f.1", "0177.0.0.1", "127.0.0.2", "0.0.0.0",
                                 "0", "localhost", "LocalHost.", "app.localhost", "ip6-localhost", "", "::1", "[::1]", "::",
                                 "::ffff:127.0.0.1", "[::ffff:7f00:1]", "::ffff:0.0.0.0"})
            QTest::newRow(qPrintable(QString("%1 on the web port").arg(host))) << QString(host) << "http" << 80 << true;
        QTest::newRow("web port of the protocol") << "localhost" << "https" << 0 << true;
        QTest::newRow("the other web port") << "127.0.0.1" << "http" << 443 << true;
        QTest::newRow("custom port of a rule") << "127.0.0.1" << "http" << 8081 << true;
        QTest::newRow("own source port") << "localhost" << "http" << ownPort() << true;
        QTest::newRow("own name") << QHostInfo::localHostName() << "http" << 80 << true;
        QTest::newRow("own .local name") << QHostInfo::localHostName() + ".local" << "https" << 0 << true;
        QTest::newRow("configured name") << "NAS.example.org" << "http" << 80 << true;
        for (const QString &ip : KMAppliance::localIPs())
            QTest::newRow(qPrintable("own address " + ip)) << ip << "http" << 80 << true;
        QTest::newRow("local program") << "127.0.0.1" << "http" << 3000 << false;
        QTest::newRow("local listener, not Apache") << "localhost" << "http" << 8022 << false;
        QTest::newRow("other host on the web port") << "203.0.113.9" << "http" << 80 << false;
        QTest::newRow("name that is not local") << "localhost.example" << "https" << 443 << false;
    }
    void thisApache()
    {
        QFETCH(QString, host);
        QFETCH(QString, protocol);
        QFETCH(int, port);
        QFETCH(bool, refused);
        QVERIFY(create(rule("c", "http", 8081, "/c", 3000)));
        QVERIFY(create(rule("base", "http", 0, "/base", 3000)));
        const QJsonObject request = with(with(rule("x", "http", ownPort(), "/x", port, host), "dest/protocol", protocol),
                                         "dest/path", "/x");
        for (const bool change : {false, true}) {
            ZX2Journals journals;
            const bool stored = change ? manager->change(journals, with(with(request, "name", "base"), "pxyno", 2))
                                       : manager->create(journals, request);
            QCOMPARE(journals.errmsg(), refused ? QString("来源和目标不能完全一致") : QString());
            QCOMPARE(stored, !refused);
            if (stored && !change)
                QVERIFY(manager->remove(journals, 3));
        }
    }

    // Expressions may not test files nor read the service's environment;
    // ordinary values with dashes stay accepted.
    void expressions_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("refused");
        QTest::newRow("file test") << "Header" << "always set X 1 \"expr=-f '/etc/shadow'\"" << true;
        QTest::newRow("file test, no blank") << "Header" << "set X 1 expr=-f'/etc/shadow'" << true;
        QTest::newRow("file test on a variable") << "Header" << "set X 1 \"expr=-F%{REQUEST_URI}\"" << true;
        for (const char *op : {"-d", "-e", "-s", "-L", "-h", "-x", "-U", "-A"})
            QTest::newRow(op) << "Header" << QString("set X 1 \"expr=!%1 '/root/.ssh'\"").arg(op) << true;
        QTest::newRow("in parentheses") << "RequestHeader" << "set X 1 \"expr=(-e '/etc/x')\"" << true;
        QTest::newRow("after an operator") << "Header" << "set X 1 \"expr=true||-e '/etc/x'\"" << true;
        QTest::newRow("Require expr") << "Require" << "expr -s '/etc/shadow'" << true;
        QTest::newRow("Require not expr") << "require" << "not EXPR -x '/bin/sh'" << true;
        QTest::newRow("osenv variable") << "Header" << "set X \"expr=%{osenv:PATH}\"" << true;
        QTest::newRow("osenv variable, spaced") << "Header" << "set X %{ OsEnv : PATH }" << true;
        QTest::newRow("env variable") << "Require" << "expr %{ENV:HOME} == '/root'" << true;
        QTest::newRow("osenv function") << "Header" << "set X 1 \"expr=osenv('PATH') =~ /bin/\"" << true;
        QTest::newRow("env function, spaced") << "Header" << "set X 1 \"expr=Env ( 'HOME' ) == ''\"" << true;
        QTest::newRow("max-age") << "Header" << "always set Strict-Transport-Security \"max-age=31536000\"" << false;
        QTest::newRow("minus one") << "Header" << "set X-Count -1" << false;
        QTest::newRow("no-cache") << "Header" << "set Cache-Control no-cache \"expr=%{REQUEST_URI} =~ m#^/no-f#\"" << false;
        QTest::newRow("dash letter, no expression") << "Header" << "set X-Flag -f" << false;
        QTest::newRow("env word, no expression") << "RequestHeader" << "set X-Env (prod)" << false;
        QTest::newRow("request variable") << "Header" << "set X 1 \"expr=reqenv('A') == '1' && -n %{HTTP_HOST}\"" << false;
        QTest::newRow("string operator") << "Require" << "expr %{REQUEST_URI} -strmatch '/a/*' || -T %{HTTPS}" << false;
    }
    void expressions()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, refused);
        const QJsonObject params = with(rule("web", "http", 0, "/web", 3000), "httpheaders",
                                        QJsonArray{QJsonObject{{"key", key}, {"value", value}}});
        ZX2Journals journals;
        QCOMPARE(manager->create(journals, params), !refused);
        QCOMPARE(journals.errmsg(), refused ? QString("参数内容错误(httpheaders)") : QString());
    }

    // A port is a JSON number or a decimal text; anything else the framework
    // would read as hexadecimal or as 1.
    void portTypes_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("field"); // empty: accepted
        QTest::newRow("word") << "source/port" << QJsonValue("abc") << "source.port";
        QTest::newRow("hexadecimal text") << "source/port" << QJsonValue("0x9597") << "source.port";
        QTest::newRow("true") << "source/port" << QJsonValue(true) << "source.port";
        QTest::newRow("object") << "source/port" << QJsonValue(QJsonObject{{"p", 1}}) << "source.port";
        QTest::newRow("dest word") << "dest/port" << QJsonValue("bb8") << "dest.port";
        QTest::newRow("dest false") << "dest/port" << QJsonValue(false) << "dest.port";
        QTest::newRow("decimal text") << "source/port" << QJsonValue("8080") << "";
        QTest::newRow("dest decimal text") << "dest/port" << QJsonValue("3001") << "";
        QTest::newRow("number") << "source/port" << QJsonValue(8080) << "";
        QTest::newRow("empty text") << "source/port" << QJsonValue("") << "";
        QTest::newRow("null") << "source/port" << QJsonValue() << "";
    }
    void portTypes()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(QString, field);
        ZX2Journals journals;
        QCOMPARE(manager->create(journals, with(rule("web", "http", 0, "/web", 3000), key, value)), field.isEmpty());
        QCOMPARE(journals.errmsg(), field.isEmpty() ? QString() : "参数内容错误(" + field + ")");
    }

    void unsafeContent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("field");
        QTest::newRow("line feed in name") << "name" << QJsonValue("x\nListen 1") << "name";
        QTest::newRow("name ends in backslash") << "name" << QJsonValue("x\\") << "name";
        QTest::newRow("blank in source host") << "source/host" << QJsonValue("a b") << "source.host";
        QTest::newRow("host with a port") << "source/host" << QJsonValue("nas.example:8443") << "source.host";
        QTest::newRow("underscore in host") << "source/host" << QJsonValue("my_nas") << "source.host";
        QTest::newRow("empty label in host") << "source/host" << QJsonValue("a..b") << "source.host";
        QTest::newRow("wildcard inside the host") << "source/host" << QJsonValue("a.*.b") << "source.host";
        QTest::newRow("wildcard alone") << "source/host" << QJsonValue("*") << "source.host";
        QTest::newRow("letters outside ASCII in host") << "source/host" << QJsonValue("例子.test") << "source.host";
        QTest::newRow("host of 254 characters") << "source/host" << QJsonValue(QString(250, 'h') + ".com") << "source.host";
        QTest::newRow("quote in source path") << "source/path" << QJsonValue("/a'>") << "source.path";
        QTest::newRow("double quote in source path") << "source/path" << QJsonValue("/a\"b") << "source.path";
        QTest::newRow("backslash in source path") << "source/path" << QJsonValue("/a\\x{100}") << "source.path";
        QTest::newRow("wildcard in source path") << "source/path" << QJsonValue("/app*") << "source.path";
        QTest::newRow("question mark in source path") << "source/path" << QJsonValue("/a?b") << "source.path";
        QTest::newRow("brackets in source path") << "source/path" << QJsonValue("/a[0-9]") << "source.path";
        QTest::newRow("source port") << "source/port" << QJsonValue(65536) << "source.port";
        QTest::newRow("other source protocol") << "source/protocol" << QJsonValue("ftp") << "source.protocol";
        QTest::newRow("other dest protocol") << "dest/protocol" << QJsonValue("unix") << "dest.protocol";
        QTest::newRow("control in dest host") << "dest/host" << QJsonValue("h\x7f") << "dest.host";
        QTest::newRow("half a bracket") << "dest/host" << QJsonValue("[::1") << "dest.host";
        QTest::newRow("url in dest host") << "dest/host" << QJsonValue("a/b?c") << "dest.host";
        QTest::newRow("line break in dest path") << "dest/path" << QJsonValue("/a\r\nHeader set X 1") << "dest.path";
        QTest::newRow("quote in dest path") << "dest/path" << QJsonValue("/a' x") << "dest.path";
        QTest::newRow("dest port") << "dest/port" << QJsonValue(-1) << "dest.port";
        auto header = [](const QString &key, const QString &value, const QString &description) {
            return QJsonValue(QJsonArray{QJsonObject{{"key", key}, {"value", value}, {"description", description}}});
        };
        QTest::newRow("line feed in header value") << "httpheaders" << header("Header", "set A 1\nListen 2", "") << "httpheaders";
        QTest::newRow("header value ends in backslash") << "httpheaders" << header("Header", "set A \\", "") << "httpheaders";
        QTest::newRow("line feed in description") << "httpheaders" << header("Header", "set A 1", "a\nListen 2") << "httpheaders";
        QTest::newRow("key is not a directive") << "httpheaders" << header("Header set", "A 1", "") << "httpheaders";
        for (const char *key : {"LoadFile", "LoadModule", "Include", "IncludeOptional", "UnDefine", "Define",
                                   "ServerRoot", "SetHandler", "ProxyPass", "Foo"})
            QTest::newRow(qPrintable(QString("directive ") + key)) << "httpheaders" << header(key, "/home/x/evil.so", "") << "httpheaders";
        QTest::newRow("file expression") << "httpheaders" << header("Header", "always set X \"expr=%{file:/etc/passwd}\"", "") << "httpheaders";
        QTest::newRow("filesize function") << "httpheaders" << header("Require", "expr FileSize ('/etc/shadow') > 0", "") << "httpheaders";
        QTest::newRow("definition") << "httpheaders" << header("header", "set X ${APACHE_RUN_USER}", "") << "httpheaders";
        QTest::newRow("long header value") << "httpheaders" << header("Header", "set X " + QString(4096, 'x'), "") << "httpheaders";
        QJsonArray many;
        for (int i = 0; i < 65; ++i)
            many.append(QJsonObject{{"key", "Header"}, {"value", "set X 1"}});
        QTest::newRow("65 headers") << "httpheaders" << QJsonValue(many) << "httpheaders";
        // The line is named: the loop guard's header, and cookies on the whole site.
        const QString hop = "httpheaders: RequestHeader unset X-Reverseproxy-Hop";
        QTest::newRow("loop guard's header") << "httpheaders" << header("RequestHeader", "unset X-Reverseproxy-Hop", "") << hop;
        QTest::newRow("loop guard's header, any case") << "httpheaders" << header("Header", "set x-REVERSEPROXY-hop 1", "")
                                                       << "httpheaders: Header set x-REVERSEPROXY-hop 1";
        const QString planted = "always add Set-Cookie \"APPSESSION=attacker; Path=/\"";
        QTest::newRow("cookie added") << "httpheaders" << header("Header", planted, "") << "httpheaders: Header " + planted;
        QTest::newRow("cookie edited") << "httpheaders" << header("header", "edit* 'set-cookie' /x /", "")
                                       << "httpheaders: header edit* 'set-cookie' /x /";
        QTest::newRow("cookie header with a colon") << "httpheaders" << header("Header", "onsuccess set \"Set-Cookie: \" a=1", "")
                                                    << "httpheaders: Header onsuccess set \"Set-Cookie: \" a=1";
        QTest::newRow("request header echoed as a cookie") << "httpheaders" << header("Header", "echo ^Set-", "")
                                                           << "httpheaders: Header echo ^Set-";
        QTest::newRow("long name") << "name" << QJsonValue(QString(256, 'n')) << "name";
        QTest::newRow("long dest path") << "dest/path" << QJsonValue("/" + QString(2048, 'p')) << "dest.path";
        QTest::newRow("definition in dest path") << "dest/path" << QJsonValue("/${APACHE_LOG_DIR}") << "dest.path";
        QTest::newRow("backslash in dest path") << "dest/path" << QJsonValue("/a\\\\b") << "dest.path";
        QTest::newRow("definition in source path") << "source/path" << QJsonValue("/${APACHE_RUN_USER}") << "source.path";
        QTest::newRow("bracketed ServerName") << "source/host" << QJsonValue("[::1]") << "source.host";
        QTest::newRow("huge unread key") << "junk" << QJsonValue(QString(1 << 20, 'j')) << "params";
    }
    void unsafeContent()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(QString, field);
        const QJsonObject params = with(with(rule("web", "http", 0, "/web", 3000), key, value), "pxyno", 99);
        for (const bool change : {false, true}) { // before every other check, "not found" included
            ZX2Journals journals;
            QVERIFY(change ? !manager->change(journals, params) : !manager->create(journals, params));
            QCOMPARE(journals.errmsg(), "参数内容错误(" + field + ")");
            QCOMPARE(journals.err(), int(ZX2Error::ERR_PARAMS));
        }
        QCOMPARE(ruleCount(), 0);
    }

    void safeContent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("IPv6 destination") << "dest/host" << QJsonValue("fe80::1");
        QTest::newRow("bracketed IPv6") << "dest/host" << QJsonValue("[::1]");
        QTest::newRow("host name") << "source/host" << QJsonValue("Photos-1.NAS.example");
        QTest::newRow("wildcard host") << "source/host" << QJsonValue("*.nas.example");
        QTest::newRow("host of 253 characters") << "source/host" << QJsonValue(QString(249, 'h') + ".com");
        QTest::newRow("literal path") << "source/path" << QJsonValue("/(api)/~user/文件 a+b$%{X}e");
        QTest::newRow("unwritten header") << "httpheaders" << QJsonValue(QJsonArray{QJsonObject{{"key", "x y"}, {"description", "a\nb"}}});
        QTest::newRow("allowed directives, any case") << "httpheaders" << QJsonValue(QJsonArray{
            QJsonObject{{"key", "requestHEADER"}, {"value", "set X-File profile(1)"}},
            QJsonObject{{"key", "ProxyPassReverseCookiePath"}, {"value", "/ /app/"}}});
        QTest::newRow("cookies removed, others echoed") << "httpheaders" << QJsonValue(QJsonArray{
            QJsonObject{{"key", "Header"}, {"value", "always unset Set-Cookie"}},
            QJsonObject{{"key", "Header"}, {"value", "echo ^X-Trace"}}});
        QTest::newRow("timeout-sum-overflow") << "timeouts" << QJsonValue(QJsonObject{
            {"conn", 2147483647}, {"send", 47657}, {"recv", 2147483647}});
    }
    void safeContent()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        const QJsonObject params = with(rule("web", "http", 0, "/web", 3000), key, value);
        QCOMPARE(KMRule::fromParams(params).unsafeField(), QString());
        QVERIFY(create(params));
    }

    // Twenty requests at once that may not all be stored: exactly one wins.
    void simultaneousCreates_data()
    {
        QTest::addColumn<bool>("sameName");
        QTest::addColumn<QString>("message");
        QTest::newRow("one name") << true << "名称已存在";
        QTest::newRow("one source") << false << "来源路径已存在";
    }
    void simultaneousCreates()
    {
        QFETCH(bool, sameName);
        QFETCH(QString, message);
        std::atomic<int> ready{0};
        QStringList messages;
        QMutex lock;
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) {
            threads.emplace_back([&, i] {
                const QJsonObject params = sameName ? rule("web", "http", 0, QString("/p%1").arg(i), 3000)
                                                    : rule(QString("r%1").arg(i), "http", 0, "/same", 3000);
                for (++ready; ready < 20;)
                    std::this_thread::yield();
                ZX2Journals journals;
                const bool stored = manager->create(journals, params);
                QMutexLocker locker(&lock);
                messages << (stored ? "stored" : journals.errmsg());
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(messages.count("stored"), 1);
        QCOMPARE(messages.count(message), 19);
        QCOMPARE(ruleCount(), 1);
    }

    // A restored store may hold a rule of another protocol: the start leaves
    // it out with the reason, and serves the others.
    void storedRuleOfAnotherProtocolLeftOut()
    {
        QVERIFY(create(rule("web", "http", 0, "/web", 3000)));
        QVERIFY(create(rule("files", "http", 0, "/files", 3001)));
        manager.reset();
        {
            ZX2DBSqlite store;
            QVERIFY(store.openOnly(orbaPath(kReverseproxyDatabase)));
            int changes = 0, lastId = 0;
            QVERIFY(store.exec(changes, lastId, "UPDATE t_reverseproxy SET pxy_params = REPLACE(pxy_params, "
                                                "'\"protocol\":\"http\"', '\"protocol\":\"ftp\"') WHERE pxy_no = 2;",
                               {}, {}));
            QCOMPARE(changes, 1);
        }
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
        QJsonObject status;
        QVERIFY(manager->status(journals, status));
        QCOMPARE(status.value("disabled").toArray(),
                 QJsonArray({QJsonObject{{"pxyno", 2}, {"name", "files"}, {"reason", "参数内容错误(source.protocol)"}}}));
        const QByteArray http = readFile(kReverseproxyHttpConf);
        QVERIFY(http.contains("'/web'") && !http.contains("'/files'"));
    }

    // A listing while a replacing import runs sees the table before or after
    // it, never part of it.
    void listingDuringReplacingImport()
    {
        const auto table = [](const QString &prefix, int count) {
            QJsonArray rules;
            for (int i = 0; i < count; ++i)
                rules.append(rule(prefix + QString::number(i), "http", 0, QString("/%1%2").arg(prefix).arg(i), 3000));
            return rules;
        };
        ZX2Journals journals;
        QVERIFY(manager->importRules(journals, table("old", 200), false, false));
        std::atomic<bool> imported{false};
        QList<int> seen;
        std::thread lister([&] {
            while (!imported) {
                ZX2Journals listed;
                QJsonObject rules;
                seen << (manager->alload(listed, rules) ? rules.size() : -1);
            }
        });
        const bool done = manager->importRules(journals, table("new", 1500), true, false);
        imported = true;
        lister.join();
        QVERIFY2(done, qPrintable(journals.errmsg()));
        QVERIFY(!seen.isEmpty());
        for (const int size : qAsConst(seen))
            QVERIFY2(size == 200 || size == 1500, qPrintable(QString::number(size)));
        QCOMPARE(ruleCount(), 1500);
    }

    // Rules may carry credentials: the store and its companions are the
    // owner's and the group's alone, also under a lax umask and for a store
    // an older version left readable.
    void storeModes_data()
    {
        QTest::addColumn<bool>("existing");
        QTest::newRow("new store") << false;
        QTest::newRow("store left readable") << true;
    }
    void storeModes()
    {
        QFETCH(bool, existing);
        QVERIFY(create(rule("web", "http", 0, "/web", 3000)));
        manager.reset();
        const QString store = orbaPath(kReverseproxyDatabase);
        const QStringList files{store, store + "-wal", store + "-shm"};
        if (!existing)
            QVERIFY(QFile::remove(store));
        for (const QString &file : files) {
            if (existing && !QFile::exists(file))
                QVERIFY(writeTestFile(file, QByteArray()));
            QFile::setPermissions(file, QFile::permissions(file) | QFile::ReadOther | QFile::ReadGroup);
        }
        const mode_t umaskBefore = ::umask(022);
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        const bool started = manager->start(journals);
        const bool created = create(rule("app", "http", 0, "/app", 3000));
        ::umask(umaskBefore);
        QVERIFY(started && created);
        const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
        for (const QString &file : files)
            QCOMPARE(QFile::permissions(file), owner | QFile::ReadGroup);
    }

    void definedPort_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("tabs, after another name") << QByteArray("Define ORBA_DESKTOP_HTTPS_PORT 1\n\n\tDefine\tORBA_DESKTOP_HTTP_PORT \t5000") << 5000;
        QTest::newRow("letter case counts") << QByteArray("define ORBA_DESKTOP_HTTP_PORT 5000\n") << 0;
        QTest::newRow("first line decides") << QByteArray("Define ORBA_DESKTOP_HTTP_PORT x\nDefine ORBA_DESKTOP_HTTP_PORT 5000") << 0;
        QTest::newRow("after a zero byte") << QByteArray("# \0\nDefine ORBA_DESKTOP_HTTP_PORT 5000\n", 39) << 0;
    }
    void definedPort()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, port);
        QCOMPARE(KMAppliance::definedPort(text, "ORBA_DESKTOP_HTTP_PORT"), port);
    }

    void listeningPorts()
    {
        const QByteArray output =
            "Active Internet connections (only servers)\n"
            "Proto Recv-Q Send-Q Local Address           Foreign Address         State       PID/Program name\n"
            "tcp        0      0 0.0.0.0:22              0.0.0.0:*               LISTEN      612/sshd\n"
            "tcp        0      0 127.0.0.1:631           0.0.0.0:*               LISTEN      700/cupsd\n"
            "tcp6       0      0 :::22                   :::*                    LISTEN      612/sshd\n"
            "udp        0      0 0.0.0.0:68              0.0.0.0:*                           512/dhclient\n";
        QCOMPARE(KMAppliance::listeningPorts(output), QList<int>({22, 631, 22}));
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxy)
#include "tst_kmreverseproxy.moc"
