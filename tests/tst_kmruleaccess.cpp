#include "kmpaths.h"
#include "proxyfixture.h"
#include "rawbackend.h"
#include "zx2error.h"
#include "zx2journals.h"

#include <QDirIterator>
#include <QHostAddress>
#include <QJsonArray>
#include <QTcpSocket>
#include <QtTest>

// Access lists through a real Apache, reloaded by the service as on the
// appliance: rules on a custom port (which Apache serves on IPv4 and IPv6)
// to a back end that names itself, asked from 127.0.0.1 and ::1, without
// and with credentials.
class TestKMRuleAccess : public QObject
{
    Q_OBJECT
private:
    ProxyFixture fixture{true};
    RawBackend backend{"A"};
    quint16 port = 0;
    const QString password = QStringLiteral("Geheim-密码-7");

    QJsonObject rule(const QString &path, const QJsonObject &access) const
    {
        QJsonObject params{{"name", path.mid(1) + " rule"},
                           {"source", QJsonObject{{"protocol", "http"}, {"port", port}, {"path", path}}},
                           {"dest", QJsonObject{{"protocol", "http"}, {"host", "127.0.0.1"}, {"port", backend.port()}}}};
        if (!access.isEmpty())
            params.insert("access", access);
        return params;
    }

    QJsonArray alice() const
    {
        return {QJsonObject{{"name", "alice"}, {"password", password}}};
    }

    static QByteArray credentials(const QString &user, const QString &secret)
    {
        return "Authorization: Basic " + (user + ':' + secret).toUtf8().toBase64() + "\r\n";
    }

    // The answer to a GET from the given loopback address, to the custom
    // port unless another is given.
    QByteArray get(const QHostAddress &from, const QByteArray &target, const QByteArray &extra, quint16 to = 0) const
    {
        QTcpSocket socket;
        socket.connectToHost(from, to ? to : port);
        if (!socket.waitForConnected(30000))
            return "no connection";
        socket.write("GET " + target + " HTTP/1.1\r\nHost: nas.test\r\nConnection: close\r\n" + extra + "\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(30000))
            answer += socket.readAll();
        return answer;
    }

    QJsonObject stored(const QString &name)
    {
        ZX2Journals journals;
        QJsonObject rules;
        fixture.manager().alload(journals, rules);
        return rules.value(name).toObject();
    }

    QString reloadState()
    {
        ZX2Journals journals;
        QJsonObject status;
        fixture.manager().status(journals, status);
        return status.value("reload").toObject().value("state").toString();
    }

    // ERR_SUCCEED, or the refusal's code and message.
    int create(const QJsonObject &params, QString *message = nullptr)
    {
        ZX2Journals journals;
        if (fixture.manager().create(journals, params))
            return ZX2Error::ERR_SUCCEED;
        if (message)
            *message = journals.errmsg();
        return journals.err();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(backend.start());
        QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
        // Apache's workers reach the user files below the temporary root.
        QVERIFY(QFile::setPermissions(qEnvironmentVariable("ORBA_ROOT"),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ExeGroup | QFileDevice::ExeOther));
        port = TestApache::freePort();
        const QJsonArray lan{"127.0.0.0/8"};
        const QJsonObject rules[] = {
            rule("/open", {}),
            rule("/lan", {{"allow", lan}}),
            rule("/v6", {{"allow", QJsonArray{"::1"}}}),
            rule("/far", {{"allow", QJsonArray{"192.168.0.0/16", "fd00::/8", "10.1.2.3"}}}),
            rule("/pw", {{"users", alice()}}),
            rule("/any", {{"allow", lan}, {"users", alice()}}),
            rule("/all", {{"allow", lan}, {"users", alice()}, {"satisfy", "all"}}),
            rule("/pw/open", {}),
            rule("/pw/v6", {{"allow", QJsonArray{"::1"}}}),
            rule("/webpw", {{"users", alice()}}),
            rule("/named", {{"users", alice()}}),
        };
        for (const QJsonObject &params : rules)
            QCOMPARE(create(params), int(ZX2Error::ERR_SUCCEED));
        // On the appliance's web port: a rule of its own site, and a name's rule.
        for (const QString name : {"webpw rule", "named rule"}) {
            QJsonObject params = stored(name);
            QJsonObject source = params.value("source").toObject();
            source.insert("port", 0);
            if (name == "named rule")
                source.insert("host", "nas.test");
            params.insert("source", source);
            ZX2Journals journals;
            QVERIFY2(fixture.manager().change(journals, params), qPrintable(journals.errmsg()));
        }
        // The listing, sent back by an import, keeps the password.
        QJsonObject carried = stored("pw rule");
        carried.remove("pxyno");
        carried.insert("name", "carried");
        carried.insert("source", QJsonObject{{"protocol", "http"}, {"port", port}, {"path", "/carried"}});
        ZX2Journals journals;
        QVERIFY2(fixture.manager().importRules(journals, QJsonArray{carried}, false, false),
                 qPrintable(journals.errmsg()));
        QTRY_COMPARE_WITH_TIMEOUT(reloadState(), QString("ok"), 60000);
    }

    void access_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QString>("user"); // "user:password", empty for none
        QTest::addColumn<int>("status");
        const QString right = "alice:" + password;
        QTest::newRow("no list") << "127.0.0.1" << QByteArray("/open/x") << QString() << 200;
        QTest::newRow("allowed range") << "127.0.0.1" << QByteArray("/lan/x") << QString() << 200;
        QTest::newRow("outside the range, IPv6") << "::1" << QByteArray("/lan/x") << QString() << 403;
        QTest::newRow("IPv6 allowed") << "::1" << QByteArray("/v6/x") << QString() << 200;
        QTest::newRow("IPv6 only: IPv4 refused") << "127.0.0.1" << QByteArray("/v6/x") << QString() << 403;
        QTest::newRow("no range matches") << "127.0.0.1" << QByteArray("/far/x") << QString() << 403;
        QTest::newRow("user: without") << "127.0.0.1" << QByteArray("/pw/x") << QString() << 401;
        QTest::newRow("user: right password") << "127.0.0.1" << QByteArray("/pw/x") << right << 200;
        QTest::newRow("user: wrong password") << "127.0.0.1" << QByteArray("/pw/x") << "alice:geheim" << 401;
        QTest::newRow("user: unknown name") << "127.0.0.1" << QByteArray("/pw/x") << "bob:" + password << 401;
        QTest::newRow("user: the bare prefix") << "127.0.0.1" << QByteArray("/pw") << QString() << 401;
        QTest::newRow("user: merged slashes") << "127.0.0.1" << QByteArray("//pw//x") << QString() << 401;
        QTest::newRow("hash carried by an import") << "127.0.0.1" << QByteArray("/carried/x") << right << 200;
        QTest::newRow("any: allowed address") << "127.0.0.1" << QByteArray("/any/x") << QString() << 200;
        QTest::newRow("any: other address asks") << "::1" << QByteArray("/any/x") << QString() << 401;
        QTest::newRow("any: other address, user") << "::1" << QByteArray("/any/x") << right << 200;
        QTest::newRow("all: address alone") << "127.0.0.1" << QByteArray("/all/x") << QString() << 401;
        QTest::newRow("all: both") << "127.0.0.1" << QByteArray("/all/x") << right << 200;
        QTest::newRow("all: user from outside") << "::1" << QByteArray("/all/x") << right << 403;
        QTest::newRow("nested without a list") << "127.0.0.1" << QByteArray("/pw/open/x") << QString() << 200;
        QTest::newRow("nested keeps its own") << "127.0.0.1" << QByteArray("/pw/v6/x") << right << 403;
        QTest::newRow("nested's own allows") << "::1" << QByteArray("/pw/v6/x") << QString() << 200;
    }
    void access()
    {
        QFETCH(QString, from);
        QFETCH(QByteArray, target);
        QFETCH(QString, user);
        QFETCH(int, status);
        const QByteArray extra = user.isEmpty() ? QByteArray() : credentials(user.section(':', 0, 0), user.section(':', 1));
        const QByteArray answer = get(QHostAddress(from), target, extra);
        QCOMPARE(answer.left(12), "HTTP/1.1 " + QByteArray::number(status));
        // The back end answers with the request it saw: never the appliance's credentials.
        const QByteArray seen = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        if (status == 200)
            QVERIFY2(seen.startsWith("A GET") && !seen.contains("Authorization"), answer.constData());
    }

    // A name's rule on the web port sits under a private path, which stays
    // closed to requests that name it directly.
    void webPortSites()
    {
        const QByteArray right = credentials("alice", password);
        const quint16 web = fixture.httpPort();
        QVERIFY(get(QHostAddress::LocalHost, "/webpw/x", {}, web).startsWith("HTTP/1.1 401"));
        QVERIFY(get(QHostAddress::LocalHost, "/webpw/x", right, web).startsWith("HTTP/1.1 200"));
        QVERIFY(get(QHostAddress::LocalHost, "/named/x", {}, web).startsWith("HTTP/1.1 401"));
        QVERIFY(get(QHostAddress::LocalHost, "/named/x", right, web).startsWith("HTTP/1.1 200"));
        QVERIFY(get(QHostAddress::LocalHost, "/.reverseproxy-host/1/named/x", right, web).startsWith("HTTP/1.1 403"));
    }

    // Quotes, backslashes and expressions of a name stay out of the realm;
    // Apache's test passed the rule before it was answered.
    void realmNamesTheRule()
    {
        QVERIFY(get(QHostAddress::LocalHost, "/pw/x", {}).contains("WWW-Authenticate: Basic realm=\"pw rule\""));
        QJsonObject params = rule("/realm", {{"users", alice()}});
        params.insert("name", "私有 \"q\\\" %{HTTP_HOST} ${HOME} $1");
        QCOMPARE(create(params), int(ZX2Error::ERR_SUCCEED));
        QTRY_COMPARE_WITH_TIMEOUT(reloadState(), QString("ok"), 60000);
        QVERIFY(get(QHostAddress::LocalHost, "/realm/x", {}).contains(
            QString("WWW-Authenticate: Basic realm=\"私有 q {HTTP_HOST} {HOME} 1\"").toUtf8()));
    }

    void webSocketUnderAPassword()
    {
        QCOMPARE(webSocketEcho(port, false, "/pw/chat", "hello"), QByteArray("HTTP/1.1 401 Unauthorized"));
        QCOMPARE(webSocketEcho(port, false, "/pw/chat", "hello", credentials("alice", password)), QByteArray("hello"));
    }

    // Listings carry names and hashes; no file of the service holds the password.
    void passwordNeverKept()
    {
        const QJsonArray users = stored("pw rule").value("access").toObject().value("users").toArray();
        QCOMPARE(users.size(), 1);
        QCOMPARE(users.at(0).toObject().keys(), (QStringList{"hash", "name"}));
        QVERIFY(users.at(0).toObject().value("hash").toString().startsWith("$2y$10$"));
        QDirIterator files(orbaPath(QLatin1String(kReverseproxyDir)), QDir::Files | QDir::Hidden,
                           QDirIterator::Subdirectories);
        int searched = 0;
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(!file.readAll().contains(password.toUtf8()), qPrintable(file.fileName()));
            searched += file.fileName().contains("reverseproxy.db") ? 1 : 0;
        }
        QVERIFY(searched >= 1);
        const QFileInfo userFile(orbaPath(QLatin1String(kReverseproxyDir)) + "/users");
        QCOMPARE(userFile.permissions() & (QFileDevice::ReadOther | QFileDevice::ExeOther), QFileDevice::Permissions());
    }

    void refused_data()
    {
        QTest::addColumn<QJsonValue>("access");
        QTest::addColumn<QString>("field");
        QJsonArray many;
        for (int i = 0; i < 257; ++i)
            many.append(QString("10.0.%1.%2").arg(i / 256).arg(i % 256));
        const auto user = [](const QString &name, const QString &key, const QString &value) {
            return QJsonValue(QJsonObject{{"users", QJsonArray{QJsonObject{{"name", name}, {key, value}}}}});
        };
        const auto allow = [](const QJsonArray &list) { return QJsonValue(QJsonObject{{"allow", list}}); };
        QTest::newRow("not an object") << QJsonValue("all") << "access";
        QTest::newRow("malformed range") << allow({"10.0.0.0/33"}) << "access.allow";
        QTest::newRow("partial address") << allow({"10.1"}) << "access.allow";
        QTest::newRow("host name") << allow({"nas.example"}) << "access.allow";
        QTest::newRow("IPv6 prefix too long") << allow({"fd00::/129"}) << "access.allow";
        QTest::newRow("too many addresses") << allow(many) << "access.allow";
        QTest::newRow("name with a colon") << user("a:b", "password", "x") << "access.users";
        QTest::newRow("name with a control character") << user("a\tb", "password", "x") << "access.users";
        QTest::newRow("empty name") << user("", "password", "x") << "access.users";
        QTest::newRow("name of 65 characters") << user(QString(65, 'n'), "password", "x") << "access.users";
        QTest::newRow("password of 73 bytes") << user("a", "password", QString(73, 'p')) << "access.users";
        QTest::newRow("not a bcrypt hash") << user("a", "hash", "$1$abc$0123456789012345678901") << "access.users";
        QTest::newRow("neither password nor hash") << user("a", "note", "x") << "access.users";
        QTest::newRow("satisfy") << QJsonValue(QJsonObject{{"satisfy", "some"}}) << "access.satisfy";
    }
    void refused()
    {
        QFETCH(QJsonValue, access);
        QFETCH(QString, field);
        QJsonObject params = rule("/refused", {});
        params.insert("access", access);
        QString message;
        QCOMPARE(create(params, &message), int(ZX2Error::ERR_PARAMS));
        QCOMPARE(message, "参数内容错误(" + field + ")");
    }

    void bounds()
    {
        QJsonArray users;
        for (int i = 0; i < 256; ++i)
            users.append(QJsonObject{{"name", QString("u%1").arg(i)}, {"hash", stored("pw rule").value("access")
                                         .toObject().value("users").toArray().at(0).toObject().value("hash")}});
        QCOMPARE(create(rule("/many", {{"users", users}})), int(ZX2Error::ERR_SUCCEED));
        users.append(QJsonObject{{"name", "one more"}, {"password", "x"}});
        QCOMPARE(create(rule("/more", {{"users", users}})), int(ZX2Error::ERR_PARAMS));
        QCOMPARE(create(rule("/twice", {{"users", QJsonArray{users.at(0), users.at(0)}}})), int(ZX2Error::ERR_PARAMS));
    }
};

QTEST_GUILESS_MAIN(TestKMRuleAccess)
#include "tst_kmruleaccess.moc"
