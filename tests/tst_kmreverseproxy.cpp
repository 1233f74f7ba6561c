#include "kmapacheconf.h"
#include "kmreverseproxy.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2paths.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

// The rule manager against a private ORBA_ROOT, with stand-ins for
// "systemctl" (logs "<epoch seconds> <arguments>") and "netstat" (prints a
// header and then the test's socket lines) first on PATH.
class TestKMReverseproxy : public QObject
{
    Q_OBJECT
private:
    static const int kHttpPort = 80;
    static const int kHttpsPort = 443;

    QTemporaryDir bin;
    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<KMReverseproxy> manager;

    static QJsonObject rule(const QString &name, const QString &protocol, int port,
                            const QString &path, int destPort, const QString &destHost = QString())
    {
        return {{"name", name},
                {"source", QJsonObject{{"protocol", protocol}, {"port", port}, {"path", path}}},
                {"dest", QJsonObject{{"protocol", "http"}, {"host", destHost}, {"port", destPort}, {"path", "/"}}}};
    }

    static void writeFile(const QString &path, const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    static QString conf(const QString &fixedPath) { return orbaPath(fixedPath); }

    void writeDefines(int httpPort, int httpsPort)
    {
        const QString dir = "/orba/etc/apache2/apps/desktop/conf/";
        writeFile(conf(dir + "orbadesktop-http-port.conf"),
                  QByteArray("Define ORBA_DESKTOP_HTTP_PORT ") + QByteArray::number(httpPort) + "\n");
        writeFile(conf(dir + "orbadesktop-https-port.conf"),
                  QByteArray("Define ORBA_DESKTOP_HTTPS_PORT ") + QByteArray::number(httpsPort) + "\n");
    }

    void setListening(const QByteArray &lines) { writeFile(bin.filePath("netstat.txt"), lines); }

    QStringList reloads() const
    {
        return QString::fromUtf8(readFile(bin.filePath("systemctl.log"))).split('\n', Qt::SkipEmptyParts);
    }

    void writeScript(const QString &name, const QByteArray &body)
    {
        writeFile(bin.filePath(name), "#!/bin/bash\n" + body);
        QFile::setPermissions(bin.filePath(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Stores a rule and checks that it went through.
    void create(const QJsonObject &params)
    {
        ZX2Journals journals;
        QVERIFY2(manager->create(journals, params), qPrintable(journals.errmsg()));
    }

    static void setValue(QJsonObject &object, const QString &path, const QJsonValue &value)
    {
        const QStringList keys = path.split('/');
        if (keys.size() == 1) {
            object.insert(path, value);
            return;
        }
        QJsonObject inner = object.value(keys.at(0)).toObject();
        inner.insert(keys.at(1), value);
        object.insert(keys.at(0), inner);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(bin.isValid());
        writeScript("systemctl", "echo \"$(date +%s.%N) $*\" >> '" + bin.filePath("systemctl.log").toUtf8() + "'\n");
        writeScript("netstat", "echo 'Active Internet connections (only servers)'\n"
                               "echo 'Proto Recv-Q Send-Q Local Address Foreign Address State PID/Program name'\n"
                               "cat '" + bin.filePath("netstat.txt").toUtf8() + "' 2>/dev/null\nexit 0\n");
        qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));
    }

    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        qputenv("ORBA_ROOT", root->path().toUtf8());
        writeDefines(kHttpPort, kHttpsPort);
        setListening(QByteArray());
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
    }

    void cleanup()
    {
        manager.reset();
        qunsetenv("ORBA_ROOT");
    }

    // First, so that no reload of another test is still waiting.
    void reloadsCoalesce()
    {
        ZX2Journals journals;
        QElapsedTimer burst;
        burst.start();
        for (int i = 0; i < 20; ++i)
            QVERIFY(manager->mapTo(journals));
        const qint64 burstMs = burst.elapsed();
        const double lastRegeneration = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        auto lastReload = [this] {
            const QStringList lines = reloads();
            return lines.isEmpty() ? 0.0 : lines.last().section(' ', 0, 0).toDouble();
        };
        QTRY_VERIFY_WITH_TIMEOUT(lastReload() >= lastRegeneration, 60000);
        const QStringList lines = reloads();
        QVERIFY2(lines.size() <= burstMs / 3000 + 1, qPrintable(lines.join('\n')));
        QCOMPARE(lines.last().section(' ', 1), QString("reload apache2"));

        // A regeneration after the reload started gets a reload of its own.
        const double again = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        QVERIFY(manager->mapTo(journals));
        QTRY_VERIFY_WITH_TIMEOUT(lastReload() >= again, 60000);
        QCOMPARE(reloads().size(), lines.size() + 1);
    }

    void startRegeneratesExistingDatabase()
    {
        QVERIFY(!QFile::exists(conf("/orba/etc/reverseproxy/http.conf"))); // a new database writes nothing
        create(rule("web", "http", 0, "/web", 3000));
        QFile::remove(conf("/orba/etc/reverseproxy/http.conf"));
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        QVERIFY(manager->start(journals));
        QVERIFY(readFile(conf("/orba/etc/reverseproxy/http.conf")).contains("<LocationMatch '/web'>"));
    }

    void customPortVirtualHost()
    {
        create(rule("web", "http", 8080, "/app", 3000));
        QCOMPARE(readFile(conf("/orba/etc/reverseproxy/virtualhost/http_8080.conf")),
                 QByteArray("\n"
                            "# http 自定义端口配置\n"
                            "Listen 8080\n"
                            "<VirtualHost *:8080>\n"
                            "    AddDefaultCharset UTF-8\n"
                            "    \n"
                            "    # web\n"
                            "    <LocationMatch '/app'>\n"
                            "        ProxyPass 'http://127.0.0.1:3000/' \n"
                            "        ProxyPassReverse 'http://127.0.0.1:3000/'\n"
                            "        ProxyPassReverse /\n"
                            "    \n"
                            "        ProxyPassReverse On\n"
                            "        ProxyPassInterpolateEnv On\n"
                            "        ProxyErrorOverride On\n"
                            "    \n"
                            "    </LocationMatch>\n"
                            "    \n"
                            "</VirtualHost>\n"));
        QCOMPARE(readFile(conf("/orba/etc/reverseproxy/http.conf")), QByteArray());
        QCOMPARE(readFile(conf("/orba/etc/reverseproxy/https.conf")), QByteArray());
    }

    void applianceHttpsPortWithOptionsAndHeaders()
    {
        QJsonObject params = rule("api", "HTTPS", kHttpsPort, "shop", 9000, "::1");
        params.insert("hsts", true);
        params.insert("timeouts", QJsonObject{{"conn", 5}});
        params.insert("httpversion", " HTTP/1.1 ");
        params.insert("desterrpage", true);
        params.insert("httpheaders", QJsonArray{QJsonObject{{"key", "Header"}, {"value", "set X-A 1"}, {"description", "mark"}},
                                                QJsonObject{{"key", "RequestHeader"}, {"value", ""}},
                                                QJsonObject{{"key", "RequestHeader"}, {"value", "unset X-B"}}});
        create(params);
        QCOMPARE(readFile(conf("/orba/etc/reverseproxy/https.conf")),
                 QByteArray("\n"
                            "# api\n"
                            "<LocationMatch '/shop'>\n"
                            "    ProxyPass 'http://[::1]:9000/' timeout=360 enablereuse=on\n"
                            "    ProxyPassReverse 'http://[::1]:9000/'\n"
                            "    ProxyPassReverse /\n"
                            "\n"
                            "    ProxyPassReverse On\n"
                            "    ProxyPassInterpolateEnv On\n"
                            "    ProxyErrorOverride Off\n"
                            "\n"
                            "    # mark\n"
                            "    Header set X-A 1\n"
                            "\n"
                            "    RequestHeader unset X-B\n"
                            "\n"
                            "</LocationMatch>\n"));
        QVERIFY(QDir(conf("/orba/etc/reverseproxy/virtualhost")).entryList(QDir::Files).isEmpty());
    }

    // Two rules on one custom port: the group takes protocol, host and HSTS
    // from its last rule. (Rules on the appliance https port become a custom
    // group when that port moves.)
    void httpsGroupTakesLastRule_data()
    {
        QTest::addColumn<bool>("firstHsts");
        QTest::addColumn<bool>("lastHsts");
        QTest::newRow("last has it") << false << true;
        QTest::newRow("only the first has it") << true << false;
    }
    void httpsGroupTakesLastRule()
    {
        QFETCH(bool, firstHsts);
        QFETCH(bool, lastHsts);
        QJsonObject first = rule("one", "https", kHttpsPort, "/one", 3001);
        first.insert("hsts", firstHsts);
        setValue(first, "source/host", "first.example");
        QJsonObject last = rule("two", "https", kHttpsPort, "/two", 3002);
        last.insert("hsts", lastHsts);
        setValue(last, "source/host", "nas.example");
        create(first);
        create(last);
        writeDefines(kHttpPort, 5001);
        ZX2Journals journals;
        QVERIFY(manager->mapTo(journals));
        const QByteArray file = readFile(conf("/orba/etc/reverseproxy/virtualhost/https_443.conf"));
        const QByteArray head = "\n# https 自定义端口配置\n<IfModule ssl_module>\n        Listen 443\n</IfModule>\n"
                                "<IfModule mod_gnutls.c>\n        Listen 443\n</IfModule>\n<VirtualHost *:443>\n"
                                "    ServerName nas.example\n    AddDefaultCharset UTF-8\n    SSLEngine on\n"
                                "    SSLCipherSuite ALL:!ADH:!EXPORT56:RC4+RSA:+HIGH:+MEDIUM:+LOW:+SSLv2:+EXP:+eNULL\n"
                                "    Include " + conf("/orba/etc/apache2/snippets/ssl.conf").toUtf8() + "\n";
        const QByteArray hsts = "\n    # 启用 HSTS\n"
                                "    Header always set Strict-Transport-Security \"max-age=31536000; includeSubDomains\"\n";
        QVERIFY2(file.startsWith(head + (lastHsts ? hsts : QByteArray()) + "    \n    # one\n"), file.constData());
        QVERIFY(file.contains("    # two\n"));
        QVERIFY(file.endsWith("    </LocationMatch>\n    \n</VirtualHost>\n"));
    }

    void regenerationReplacesVirtualHosts()
    {
        const QString dir = conf("/orba/etc/reverseproxy/virtualhost/");
        writeFile(dir + "stale.conf", "Listen 1\n");
        writeFile(dir + ".keep", "x");
        create(rule("web", "http", 8080, "/app", 3000));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList({".keep", "http_8080.conf"}));

        ZX2Journals journals;
        QVERIFY(manager->remove(journals, 1));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList({".keep"}));
        QCOMPARE(readFile(conf("/orba/etc/reverseproxy/http.conf")), QByteArray());
        QCOMPARE(readFile(conf("/orba/etc/reverseproxy/https.conf")), QByteArray());
    }

    void saveFailureKeepsDatabaseChange()
    {
        QVERIFY(QDir().mkpath(conf("/orba/etc/reverseproxy/http.conf"))); // a directory cannot be replaced by the file
        ZX2Journals journals;
        QVERIFY(!manager->create(journals, rule("web", "https", 0, "/web", 3000)));
        QCOMPARE(journals.err(), int(ZX2Error::ERR_SAVE));
        QCOMPARE(journals.errmsg(), "http配置文保存失败：" + conf("/orba/etc/reverseproxy/http.conf"));
        QVERIFY(readFile(conf("/orba/etc/reverseproxy/https.conf")).contains("# web"));
        QJsonObject rules;
        QVERIFY(manager->alload(journals, rules));
        QCOMPARE(rules.keys(), QStringList{"web"});
        QVERIFY(QDir(conf("/orba/etc/reverseproxy")).entryList({"*.conf.*", ".*.conf*"}, QDir::Files | QDir::Hidden).isEmpty());
    }

    void listAndFetch()
    {
        QJsonObject params = rule(" Web ", "HTTP", 0, "web", 3000);
        params.insert("extra", "kept");
        create(params);
        ZX2Journals journals;
        QJsonObject rules;
        QVERIFY(manager->alload(journals, rules));
        QJsonObject expected = params;
        expected.insert("pxyno", 1);
        QCOMPARE(rules, QJsonObject({{"Web", expected}}));
        QJsonObject one{{"old", 1}};
        QVERIFY(manager->acquit(journals, one, 1));
        QCOMPARE(one, expected);
        QVERIFY(!manager->acquit(journals, one, 2));
        QCOMPARE(journals.errmsg(), QString("指定序号不存在"));
        QCOMPARE(journals.err(), int(ZX2Error::ERR_NOT_EXISTS));
    }

    // Each row: the rules stored first, then the request that fails.
    void createChecks_data()
    {
        QTest::addColumn<QJsonArray>("stored");
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<int>("err");
        QTest::addColumn<QString>("message");
        QJsonObject loop = rule("loop", "http", 0, "/x", 0, "localhost");
        setValue(loop, "dest/path", "/x");
        QTest::newRow("identical") << QJsonArray() << loop << int(ZX2Error::ERR_IDENTICAL) << "来源和目标不能完全一致";
        QTest::newRow("reserved") << QJsonArray() << rule("r", "https", 0, "/api/", 3000)
                                  << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("reserved on web port") << QJsonArray() << rule("r", "http", kHttpsPort, "/apps", 3000)
                                              << int(ZX2Error::ERR_RESERVED) << "源路径已被保留不可用";
        QTest::newRow("custom port of a rule") << QJsonArray{rule("a", "https", 8443, "/a", 3000)}
                                               << rule("b", "https", 8443, "/b", 3000)
                                               << int(ZX2Error::ERR_USED) << "端口号已被占用";
        QTest::newRow("listening port") << QJsonArray() << rule("b", "http", 8022, "/b", 3000)
                                        << int(ZX2Error::ERR_USED) << "端口号已被占用";
        QTest::newRow("name in capitals") << QJsonArray{rule("web", "http", 0, "/a", 3000)}
                                          << rule("WEB", "http", 0, "/b", 3000)
                                          << int(ZX2Error::ERR_EXISTS) << "名称已存在";
        QTest::newRow("same source") << QJsonArray{rule("a", "http", kHttpPort, "/a/", 3000)}
                                     << rule("b", "HTTP", 0, "a", 3001)
                                     << int(ZX2Error::ERR_CONFLICT) << "来源路径已存在";
        QTest::newRow("same source, stored in capitals") << QJsonArray{rule("a", " HTTPS", 0, " /a", 3000)}
                                                         << rule("b", "https", 0, "/a", 3001)
                                                         << int(ZX2Error::ERR_CONFLICT) << "来源路径已存在";
    }
    void createChecks()
    {
        QFETCH(QJsonArray, stored);
        QFETCH(QJsonObject, request);
        QFETCH(int, err);
        QFETCH(QString, message);
        setListening("tcp6       0      0 :::8022                 :::*                    LISTEN      1/sshd\n");
        for (const QJsonValue &params : stored)
            create(params.toObject());
        ZX2Journals journals;
        QVERIFY(!manager->create(journals, request));
        QCOMPARE(journals.errmsg(), message);
        QCOMPARE(journals.err(), err);
        QJsonObject rules;
        QVERIFY(manager->alload(journals, rules));
        QCOMPARE(rules.size(), stored.size());
    }

    void createAccepts_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::newRow("second rule on the http web port") << rule("b", "http", kHttpPort, "/b", 3000);
        QTest::newRow("reserved path on a custom port") << rule("b", "http", 8081, "/api", 3000);
        QTest::newRow("reserved path in capitals") << rule("b", "http", 0, "/API", 3000);
        QTest::newRow("localhost in capitals") << rule("b", "http", 3000, "/", 3000, "LOCALHOST");
        QTest::newRow("same path, other protocol") << rule("b", "https", 0, "/a", 3000);
    }
    void createAccepts()
    {
        QFETCH(QJsonObject, request);
        create(rule("a", "http", 0, "/a", 3000));
        create(request);
    }

    void changeChecks()
    {
        create(rule("a", "http", 0, "/a", 3000));
        create(rule("b", "http", 8080, "/b", 3000));
        setListening("tcp        0      0 0.0.0.0:80              0.0.0.0:*               LISTEN      1/apache2\n"
                     "tcp        0      0 0.0.0.0:8080            0.0.0.0:*               LISTEN      1/apache2\n"
                     "tcp        0      0 0.0.0.0:9090            0.0.0.0:*               LISTEN      1/other\n");
        ZX2Journals journals;
        auto refused = [&](QJsonObject params, int pxyno, int err, const QString &message) {
            params.insert("pxyno", pxyno);
            return !manager->change(journals, params) && journals.err() == err && journals.errmsg() == message;
        };
        QVERIFY(refused(rule("a", "http", 0, "/a", 3000), 7, ZX2Error::ERR_NOT_EXISTS, "指定序号不存在"));
        QVERIFY(refused(rule("B", "http", 0, "/a", 3000), 1, ZX2Error::ERR_CONFLICT, "名称已存在"));
        QVERIFY(refused(rule("a", "http", 8080, "/a", 3000), 1, ZX2Error::ERR_USED, "端口号已被占用"));
        QVERIFY(refused(rule("a", "http", 9090, "/a", 3000), 1, ZX2Error::ERR_USED, "端口号已被占用"));
        QVERIFY(refused(rule("a", "http", kHttpPort, "/x", 3000), 2, ZX2Error::ERR_USED, "端口号已被占用"));
        QVERIFY(refused(rule("a", "http", 0, "/wmi", 3000), 1, ZX2Error::ERR_RESERVED, "源路径已被保留不可用"));
        QVERIFY(refused(rule("b", "http", 0, "//a", 3000), 2, ZX2Error::ERR_CONFLICT, "源地址已存在"));

        // Only the destination and the name change: no source checks, although
        // port 8080 is listening now.
        QJsonObject moved = rule("b2", "http", 8080, "/b", 4000);
        moved.insert("pxyno", 2);
        QVERIFY2(manager->change(journals, moved), qPrintable(journals.errmsg()));
        QVERIFY(readFile(conf("/orba/etc/reverseproxy/virtualhost/http_8080.conf")).contains(":4000/"));
        QJsonObject record;
        QVERIFY(manager->acquit(journals, record, 2));
        QCOMPARE(record, moved);

        QVERIFY(!manager->remove(journals, 2 + 5));
        QCOMPARE(journals.errmsg(), QString("序号不存在"));
        QCOMPARE(journals.err(), int(ZX2Error::ERR_NOT_EXISTS));
    }

    void unsafeContent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("field");
        QTest::newRow("line feed in name") << "name" << QJsonValue("x\nListen 1") << "name";
        QTest::newRow("name ends in backslash") << "name" << QJsonValue("x\\") << "name";
        QTest::newRow("blank in source host") << "source/host" << QJsonValue("a b") << "source.host";
        QTest::newRow("tab in source host") << "source/host" << QJsonValue("a\tb") << "source.host";
        QTest::newRow("bad ServerName port") << "source/host" << QJsonValue("nas:x") << "source.host";
        QTest::newRow("quote in source path") << "source/path" << QJsonValue("/a'>") << "source.path";
        QTest::newRow("invalid expression") << "source/path" << QJsonValue("/a(") << "source.path";
        QTest::newRow("source path ends in backslash") << "source/path" << QJsonValue("/a\\") << "source.path";
        QTest::newRow("source port too high") << "source/port" << QJsonValue(65536) << "source.port";
        QTest::newRow("negative source port") << "source/port" << QJsonValue(-1) << "source.port";
        QTest::newRow("quote in dest host") << "dest/host" << QJsonValue("h'") << "dest.host";
        QTest::newRow("control in dest host") << "dest/host" << QJsonValue("h\x7f") << "dest.host";
        QTest::newRow("half a bracket") << "dest/host" << QJsonValue("[::1") << "dest.host";
        QTest::newRow("url in dest host") << "dest/host" << QJsonValue("a/b?c") << "dest.host";
        QTest::newRow("line break in dest path") << "dest/path" << QJsonValue("/a\r\nHeader set X 1") << "dest.path";
        QTest::newRow("quote in dest path") << "dest/path" << QJsonValue("/a' x") << "dest.path";
        QTest::newRow("dest port too high") << "dest/port" << QJsonValue(70000) << "dest.port";
        auto header = [](const QString &key, const QString &value, const QString &description) {
            return QJsonValue(QJsonArray{QJsonObject{{"key", key}, {"value", value}, {"description", description}}});
        };
        QTest::newRow("line feed in header value") << "httpheaders" << header("Header", "set A 1\nListen 2", "") << "httpheaders";
        QTest::newRow("header value ends in backslash") << "httpheaders" << header("Header", "set A \\", "") << "httpheaders";
        QTest::newRow("line feed in description") << "httpheaders" << header("Header", "set A 1", "a\nListen 2") << "httpheaders";
        QTest::newRow("key is not a directive") << "httpheaders" << header("Header set", "A 1", "") << "httpheaders";
        QTest::newRow("key starts with a digit") << "httpheaders" << header("1Header", "A 1", "") << "httpheaders";
    }
    void unsafeContent()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(QString, field);
        QJsonObject params = rule("web", "http", 0, "/web", 3000);
        setValue(params, key, value);
        // The content check comes before every other check, also "not found".
        for (const bool change : {false, true}) {
            ZX2Journals journals;
            params.insert("pxyno", 99);
            QVERIFY(change ? !manager->change(journals, params) : !manager->create(journals, params));
            QCOMPARE(journals.errmsg(), "参数内容错误(" + field + ")");
            QCOMPARE(journals.err(), int(ZX2Error::ERR_PARAMS));
        }
        ZX2Journals journals;
        QJsonObject rules;
        QVERIFY(manager->alload(journals, rules));
        QVERIFY(rules.isEmpty());
    }

    void safeContent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("IPv6 destination") << "dest/host" << QJsonValue("fe80::1");
        QTest::newRow("bracketed IPv6 destination") << "dest/host" << QJsonValue("[::1]");
        QTest::newRow("host name") << "dest/host" << QJsonValue("backend-1.example_net");
        QTest::newRow("ServerName with port") << "source/host" << QJsonValue("nas.example:8443");
        QTest::newRow("expression") << "source/path" << QJsonValue("/(app|web)/[0-9]+$");
        QTest::newRow("surrounding blanks") << "name" << QJsonValue("  web \n");
        QTest::newRow("unwritten header") << "httpheaders"
                                          << QJsonValue(QJsonArray{QJsonObject{{"key", "x y"}, {"description", "a\nb"}}});
    }
    void safeContent()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QJsonObject params = rule("web", "http", 0, "/web", 3000);
        setValue(params, key, value);
        QCOMPARE(KMApacheConf::unsafeField(params), QString());
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
        std::atomic<int> succeeded{0};
        QStringList messages;
        QMutex messagesLock;
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) {
            threads.emplace_back([&, i] {
                const QJsonObject params = sameName ? rule("web", "http", 0, QString("/p%1").arg(i), 3000)
                                                    : rule(QString("r%1").arg(i), "http", 0, "/same", 3000);
                ++ready;
                while (ready < 20)
                    std::this_thread::yield();
                ZX2Journals journals;
                if (manager->create(journals, params)) {
                    ++succeeded;
                } else {
                    QMutexLocker locker(&messagesLock);
                    messages << journals.errmsg();
                }
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(succeeded.load(), 1);
        messages.removeDuplicates();
        QCOMPARE(messages, QStringList{message});
        ZX2Journals journals;
        QJsonObject rules;
        QVERIFY(manager->alload(journals, rules));
        QCOMPARE(rules.size(), 1);
    }

    void definedPort_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << QByteArray("Define ORBA_DESKTOP_HTTP_PORT 5000\n") << 5000;
        QTest::newRow("tabs") << QByteArray("\n\tDefine\tORBA_DESKTOP_HTTP_PORT \t 5000") << 5000;
        QTest::newRow("other name first") << QByteArray("Define ORBA_DESKTOP_HTTPS_PORT 5001\nDefine ORBA_DESKTOP_HTTP_PORT 5000\n") << 5000;
        QTest::newRow("letter case counts") << QByteArray("define ORBA_DESKTOP_HTTP_PORT 5000\n") << 0;
        QTest::newRow("first line decides") << QByteArray("Define ORBA_DESKTOP_HTTP_PORT x\nDefine ORBA_DESKTOP_HTTP_PORT 5000\n") << 0;
        QTest::newRow("text after a zero byte") << QByteArray("# \0\nDefine ORBA_DESKTOP_HTTP_PORT 5000\n", 39) << 0;
        QTest::newRow("empty") << QByteArray() << 0;
    }
    void definedPort()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, port);
        QCOMPARE(KMApacheConf::definedPort(text, "ORBA_DESKTOP_HTTP_PORT"), port);
    }

    void listeningPorts()
    {
        const QByteArray output =
            "Active Internet connections (only servers)\n"
            "Proto Recv-Q Send-Q Local Address           Foreign Address         State       PID/Program name\n"
            "tcp        0      0 0.0.0.0:22              0.0.0.0:*               LISTEN      612/sshd\n"
            "tcp        0      0 127.0.0.1:631           0.0.0.0:*               LISTEN      700/cupsd\n"
            "tcp6       0      0 :::22                   :::*                    LISTEN      612/sshd\n"
            "udp        0      0 0.0.0.0:68              0.0.0.0:*                           512/dhclient\n"
            "udp6       0      0 :::546                  :::*                                512/dhclient\n";
        QCOMPARE(KMApacheConf::listeningPorts(output), QList<int>({22, 631, 22}));
        QCOMPARE(KMApacheConf::listeningPorts("tcp 0 0 0.0.0.0:22 0.0.0.0:* LISTEN\n"), QList<int>());
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxy)
#include "tst_kmreverseproxy.moc"
