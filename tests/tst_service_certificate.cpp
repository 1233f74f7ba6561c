#include "appliancefixture.h"
#include "otheruser.h"
#include "servicefixture.h"
#include "testcertificates.h"
#include "testfiles.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

Q_DECLARE_METATYPE(TestCertificate)

// Names served with a certificate of their own by the real service in front
// of a real Apache with mod_md, against a test ACME server (pebble): each
// name gets its certificate by SNI, every other name keeps the appliance's,
// and the site stays up whatever the ACME server does.
class tst_ServiceCertificate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void broughtCertificate_data();
    void broughtCertificate();
    void keyShownToRootOnly();
    void acmeCertificateObtained();
    void acmeServerDownLeavesSiteUp();

private:
    QJsonObject ask(const QString &cmd, const QJsonObject &params = QJsonObject());
    QJsonObject httpsRule(const QString &host, const QJsonValue &certificate, int port = 0);
    QJsonObject certificateStatus(const QString &host);
    QSslCertificate served(const QString &name, quint16 port = 0);
    QByteArray fetch(const QString &name);
    bool startPebble();
    void requireAcme();

    ServiceRoot m_root;
    TestApache m_apache;
    quint16 m_httpPort = 0;
    quint16 m_httpsPort = 0;
    QTemporaryDir m_pebbleDir;
    QProcess m_pebble;
    QScopedPointer<ServiceProcess> m_service;
    ServiceConnection m_connection;
    bool m_md = false;
};

namespace {

const QString kModules = QStringLiteral("/usr/lib/apache2/modules");

// Waits long on a shared machine: these are outcomes, not timings. (A
// failing QTRY waits three times as long, within the function's limit.)
const int kLongWait = 90000;

} // namespace

void tst_ServiceCertificate::initTestCase()
{
    QVERIFY(m_root.isValid());
    // Apache's children write mod_md's store below the root.
    QVERIFY(QFile::setPermissions(m_root.root(),
                                  QFile::permissions(m_root.root()) | QFile::ExeOther | QFile::ReadOther));
    QVERIFY(prepareApplianceSite(m_root.root(), m_apache, &m_httpPort, &m_httpsPort));
    m_md = QFile::exists(kModules + QStringLiteral("/mod_md.so"));
    const QString md =
        m_md ? QStringLiteral("<IfModule !md_module>\n    LoadModule md_module %1/mod_md.so\n</IfModule>\n").arg(kModules)
             : QString();
    m_apache.setExtraConfig(md + applianceSiteConfig(m_root.root()));
    QVERIFY2(m_apache.start(), qPrintable(m_apache.errorText()));
    QVERIFY(writeStandins(m_root.root() + QStringLiteral("/bin"), m_root.root(), &m_apache));
    m_root.writeScript(QStringLiteral("netstat"),
                       QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin exec netstat \"$@\"\n"));
    QVERIFY(m_apache.writeDocument(QStringLiteral("index.html"), "backend\n"));
    const bool pebble = startPebble();
    QJsonObject config{{QStringLiteral("debugging"), false},
                       {QStringLiteral("appname"), QStringLiteral("reverseproxy")},
                       {QStringLiteral("lpcid"), m_root.lpcid()}};
    if (pebble)
        config.insert(QStringLiteral("acme"),
                      QJsonObject{{QStringLiteral("directory"), m_pebble.property("directory").toString()},
                                  {QStringLiteral("email"), QStringLiteral("admin@nas.test")},
                                  {QStringLiteral("accept-terms"), true},
                                  {QStringLiteral("cacert"), m_pebbleDir.filePath(QStringLiteral("server.crt"))}});
    m_service.reset(new ServiceProcess(m_root));
    QVERIFY(m_service->start({QStringLiteral("--cfg"), m_root.writeConfig(config)}, m_root.lpcid()));
    QVERIFY(m_connection.open(m_root.lpcid()));
}

void tst_ServiceCertificate::cleanupTestCase()
{
    m_connection.close();
    m_service.reset();
    m_pebble.kill();
    m_pebble.waitForFinished();
}

// Pebble with a throw-away TLS certificate (for localhost, which Apache's
// children read) on free ports; every challenge passes, no nonce is refused.
bool tst_ServiceCertificate::startPebble()
{
    const TestCertificate tls = makeTestCertificate({QStringLiteral("localhost")});
    const QString certificate = m_pebbleDir.filePath(QStringLiteral("server.crt"));
    if (QStandardPaths::findExecutable(QStringLiteral("pebble")).isEmpty() || !m_pebbleDir.isValid()
        || !QFile::setPermissions(m_pebbleDir.path(), QFile::permissions(m_pebbleDir.path()) | QFile::ExeOther)
        || !writeTestFile(certificate, tls.pem)
        || !writeTestFile(m_pebbleDir.filePath(QStringLiteral("server.key")), tls.key)
        || !QFile::setPermissions(certificate, QFile::permissions(certificate) | QFile::ReadOther))
        return false;
    const quint16 port = TestApache::freePort();
    const auto address = [](quint16 at) { return QStringLiteral("127.0.0.1:%1").arg(at); };
    const QJsonObject config{
        {QStringLiteral("pebble"),
         QJsonObject{{QStringLiteral("listenAddress"), address(port)},
                     {QStringLiteral("managementListenAddress"), address(TestApache::freePort())},
                     {QStringLiteral("certificate"), m_pebbleDir.filePath(QStringLiteral("server.crt"))},
                     {QStringLiteral("privateKey"), m_pebbleDir.filePath(QStringLiteral("server.key"))},
                     {QStringLiteral("httpPort"), m_httpPort},
                     {QStringLiteral("tlsPort"), m_httpsPort}}}};
    const QString file = m_pebbleDir.filePath(QStringLiteral("pebble.json"));
    if (!writeTestFile(file, QJsonDocument(config).toJson()))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PEBBLE_VA_ALWAYS_VALID"), QStringLiteral("1"));
    env.insert(QStringLiteral("PEBBLE_VA_NOSLEEP"), QStringLiteral("1"));
    env.insert(QStringLiteral("PEBBLE_WFE_NONCEREJECT"), QStringLiteral("0"));
    m_pebble.setProcessEnvironment(env);
    m_pebble.setProcessChannelMode(QProcess::MergedChannels);
    m_pebble.start(QStringLiteral("pebble"), {QStringLiteral("-config"), file});
    m_pebble.setProperty("directory", QStringLiteral("https://localhost:%1/dir").arg(port));
    QTcpSocket probe;
    return m_pebble.waitForStarted() && QTest::qWaitFor([&] {
               probe.abort();
               probe.connectToHost(QHostAddress::LocalHost, port);
               return probe.waitForConnected(1000);
           }, 30000);
}

void tst_ServiceCertificate::requireAcme()
{
    if (!m_md)
        QSKIP("Apache's mod_md is not installed");
    if (m_pebble.state() != QProcess::Running)
        QSKIP("pebble is not installed");
}

QJsonObject tst_ServiceCertificate::ask(const QString &cmd, const QJsonObject &params)
{
    QJsonObject answer;
    m_connection.request({{QStringLiteral("cmd"), cmd}, {QStringLiteral("params"), params}}, &answer);
    return answer;
}

// A rule serving the whole of host on the appliance's https port (or on
// port) from the test Apache's own documents.
QJsonObject tst_ServiceCertificate::httpsRule(const QString &host, const QJsonValue &certificate, int port)
{
    return {{QStringLiteral("name"), host},
            {QStringLiteral("certificate"), certificate},
            {QStringLiteral("source"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("https")},
                                                   {QStringLiteral("host"), host},
                                                   {QStringLiteral("port"), port},
                                                   {QStringLiteral("path"), QStringLiteral("/")}}},
            {QStringLiteral("dest"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                 {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                                 {QStringLiteral("port"), m_apache.httpPort()},
                                                 {QStringLiteral("path"), QStringLiteral("/")}}}};
}

QJsonObject tst_ServiceCertificate::certificateStatus(const QString &host)
{
    const QJsonObject status = ask(QStringLiteral("reverseproxy_status")).value(QStringLiteral("results")).toObject();
    for (const QJsonValue &entry : status.value(QStringLiteral("certificates")).toArray()) {
        if (entry.toObject().value(QStringLiteral("host")).toString() == host)
            return entry.toObject();
    }
    return QJsonObject();
}

// The certificate the appliance's https port (or port) presents for the
// name (SNI).
QSslCertificate tst_ServiceCertificate::served(const QString &name, quint16 port)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port ? port : m_httpsPort, name);
    return socket.waitForEncrypted(10000) ? socket.peerCertificate() : QSslCertificate();
}

// The answer of the appliance's https port to "GET /" for the name.
QByteArray tst_ServiceCertificate::fetch(const QString &name)
{
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_httpsPort, name);
    if (!socket.waitForEncrypted(10000))
        return "no connection";
    socket.write("GET / HTTP/1.0\r\nHost: " + name.toUtf8() + "\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000)) {
    }
    return socket.readAll();
}

void tst_ServiceCertificate::broughtCertificate_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<TestCertificate>("certificate");
    QTest::addColumn<bool>("accepted");

    const QString host = QStringLiteral("photos.nas.test");
    TestCertificate mismatched = makeTestCertificate({QStringLiteral("wrong.nas.test")});
    mismatched.key = makeTestCertificate({QStringLiteral("wrong.nas.test")}).key;
    QTest::newRow("mismatched key") << QStringLiteral("wrong.nas.test") << mismatched << false;
    QTest::newRow("expired") << QStringLiteral("old.nas.test")
                             << makeTestCertificate({QStringLiteral("old.nas.test")}, -30, -1) << false;
    QTest::newRow("another name") << QStringLiteral("else.nas.test") << makeTestCertificate({host}) << false;
    QTest::newRow("matching") << host << makeTestCertificate({host}) << true;
}

void tst_ServiceCertificate::broughtCertificate()
{
    QFETCH(QString, host);
    QFETCH(TestCertificate, certificate);
    QFETCH(bool, accepted);
    const QJsonObject own{{QStringLiteral("pem"), QString::fromLatin1(certificate.pem)},
                          {QStringLiteral("key"), QString::fromLatin1(certificate.key)}};
    const QJsonObject answer = ask(QStringLiteral("reverseproxy_create"), httpsRule(host, own));
    if (!accepted) {
        QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 9995);
        QCOMPARE(answer.value(QStringLiteral("errmsg")).toString(), QStringLiteral("参数内容错误(certificate)"));
        return;
    }
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(), 0);
    const QSslCertificate expected(certificate.pem, QSsl::Pem);
    QTRY_COMPARE_WITH_TIMEOUT(served(host), expected, kLongWait);
    QVERIFY(fetch(host).contains("backend"));
    // The appliance's own names keep the appliance's certificate.
    QCOMPARE(served(QStringLiteral("localhost")).subjectInfo(QSslCertificate::CommonName),
             QStringList{QStringLiteral("127.0.0.1")});
    const QJsonObject status = certificateStatus(host);
    QCOMPARE(status.value(QStringLiteral("kind")).toString(), QStringLiteral("own"));
    QCOMPARE(status.value(QStringLiteral("state")).toString(), QStringLiteral("valid"));
    QCOMPARE(QDateTime::fromString(status.value(QStringLiteral("notAfter")).toString(), Qt::ISODate),
             expected.expiryDate());
}

// An export by another user carries the brought certificate without its key.
void tst_ServiceCertificate::keyShownToRootOnly()
{
    if (!canActAsNobody())
        QSKIP("needs root and setpriv to act as another user");
    const auto exported = [this](bool nobody) {
        const QStringList client{QStringLiteral(BIN_DIR "/reverseproxyctl"), QStringLiteral("--lpcid"),
                                 m_root.lpcid(), QStringLiteral("export")};
        QProcess process;
        if (nobody)
            process.start(QStringLiteral("setpriv"), asNobody() + client);
        else
            process.start(client.first(), client.mid(1));
        return process.waitForFinished(60000) ? process.readAllStandardOutput() : QByteArray();
    };
    const QByteArray root = exported(false);
    QVERIFY2(root.contains("BEGIN CERTIFICATE") && root.contains("PRIVATE KEY"), root.constData());
    const QByteArray others = exported(true);
    QVERIFY2(others.contains("BEGIN CERTIFICATE") && !others.contains("PRIVATE KEY"), others.constData());
}

void tst_ServiceCertificate::acmeCertificateObtained()
{
    requireAcme();
    const QString host = QStringLiteral("acme.nas.test");
    const QString custom = QStringLiteral("custom.nas.test");
    const quint16 port = TestApache::freePort();
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), httpsRule(host, QStringLiteral("acme")))
                 .value(QStringLiteral("err")).toInt(), 0);
    QCOMPARE(ask(QStringLiteral("reverseproxy_create"), httpsRule(custom, QStringLiteral("acme"), port))
                 .value(QStringLiteral("err")).toInt(), 0);
    const auto fromPebble = [this](const QString &name, quint16 at) {
        const QStringList issuer = served(name, at).issuerInfo(QSslCertificate::CommonName);
        return issuer.join(QString()).startsWith(QLatin1String("Pebble"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(fromPebble(host, 0) && fromPebble(custom, port), kLongWait);
    QVERIFY(fetch(host).contains("backend"));
    QTRY_COMPARE_WITH_TIMEOUT(certificateStatus(host).value(QStringLiteral("state")).toString(),
                              QStringLiteral("valid"), kLongWait);
    const QJsonObject status = certificateStatus(host);
    QCOMPARE(status.value(QStringLiteral("kind")).toString(), QStringLiteral("acme"));
    QCOMPARE(QDateTime::fromString(status.value(QStringLiteral("notAfter")).toString(), Qt::ISODate),
             served(host).expiryDate());
    QVERIFY(status.value(QStringLiteral("issuer")).toString().contains(QLatin1String("Pebble")));

    // Removing the rule drops the managed domain.
    const QJsonObject rules = ask(QStringLiteral("reverseproxy_alload")).value(QStringLiteral("results")).toObject();
    const int pxyno = rules.value(host).toObject().value(QStringLiteral("pxyno")).toInt();
    QCOMPARE(ask(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), pxyno}})
                 .value(QStringLiteral("err")).toInt(), 0);
    QVERIFY(certificateStatus(host).isEmpty());
    QDirIterator files(m_root.path(QStringLiteral("/orba/etc/reverseproxy")), {QStringLiteral("*.conf")}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains("MDomain " + host.toUtf8()), qPrintable(file.fileName()));
    }
}

void tst_ServiceCertificate::acmeServerDownLeavesSiteUp()
{
    requireAcme();
    m_pebble.kill();
    m_pebble.waitForFinished();
    // An imported rule asks for its certificate as a created one does.
    const QString host = QStringLiteral("down.nas.test");
    QCOMPARE(ask(QStringLiteral("reverseproxy_import"),
                 {{QStringLiteral("rules"), QJsonArray{httpsRule(host, QStringLiteral("acme"))}}})
                 .value(QStringLiteral("err")).toInt(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(certificateStatus(host).value(QStringLiteral("state")).toString(),
                              QStringLiteral("failed"), kLongWait);
    QVERIFY(!certificateStatus(host).value(QStringLiteral("reason")).toString().isEmpty());
    // Until a certificate exists the name is served with mod_md's fallback,
    // and the appliance's own site stays as it was.
    QVERIFY(fetch(host).contains("HTTP/1.1"));
    QCOMPARE(served(QStringLiteral("localhost")).subjectInfo(QSslCertificate::CommonName),
             QStringList{QStringLiteral("127.0.0.1")});
}

QTEST_GUILESS_MAIN(tst_ServiceCertificate)
#include "tst_service_certificate.moc"
