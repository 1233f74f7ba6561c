#include "kmapacheconf.h"
#include "kmcertificate.h"
#include "testcertificates.h"
#include "zx2journals.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

// A rule's "certificate": which ones may be stored, and what a caller other
// than root sees of a brought one.
class tst_KMCertificate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void keyHiddenFromOthers();
    void webPortsMappedForTheCa();
    void customPortNamesGetTheirCertificates();

private:
    QTemporaryDir m_root;
};

namespace {

const KMAppliancePorts kPorts{8080, 8443};

QJsonObject ruleParams(const QString &protocol, const QString &host, const QJsonValue &certificate)
{
    QJsonObject params{{QStringLiteral("name"), QStringLiteral("app")},
                       {QStringLiteral("source"), QJsonObject{{QStringLiteral("protocol"), protocol},
                                                              {QStringLiteral("host"), host},
                                                              {QStringLiteral("path"), QStringLiteral("/")}}},
                       {QStringLiteral("dest"), QJsonObject{{QStringLiteral("protocol"), QStringLiteral("http")},
                                                            {QStringLiteral("port"), 3000}}}};
    if (!certificate.isUndefined())
        params.insert(QStringLiteral("certificate"), certificate);
    return params;
}

QJsonObject brought(const TestCertificate &certificate)
{
    return {{QStringLiteral("pem"), QString::fromLatin1(certificate.pem)},
            {QStringLiteral("key"), QString::fromLatin1(certificate.key)}};
}

} // namespace

void tst_KMCertificate::initTestCase()
{
    QVERIFY(m_root.isValid());
    qputenv("ORBA_ROOT", m_root.path().toLocal8Bit());
}

void tst_KMCertificate::check_data()
{
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<bool>("acceptTerms");
    QTest::addColumn<bool>("accepted");

    const QString https = QStringLiteral("https");
    const QString host = QStringLiteral("photos.nas.test");
    const TestCertificate good = makeTestCertificate({host});
    const TestCertificate other = makeTestCertificate({host});
    const TestCertificate wildcard = makeTestCertificate({QStringLiteral("*.nas.test")});
    TestCertificate mismatched = good;
    mismatched.key = other.key;

    QTest::newRow("absent") << ruleParams(https, host, QJsonValue::Undefined) << false << true;
    QTest::newRow("appliance") << ruleParams(QStringLiteral("http"), QString(), QStringLiteral("appliance")) << false
                               << true;
    QTest::newRow("acme") << ruleParams(https, host, QStringLiteral("acme")) << true << true;
    QTest::newRow("acme, terms not accepted") << ruleParams(https, host, QStringLiteral("acme")) << false << false;
    QTest::newRow("acme on http") << ruleParams(QStringLiteral("http"), host, QStringLiteral("acme")) << true << false;
    QTest::newRow("acme without host") << ruleParams(https, QString(), QStringLiteral("acme")) << true << false;
    QTest::newRow("acme for a wildcard") << ruleParams(https, QStringLiteral("*.nas.test"), QStringLiteral("acme"))
                                         << true << false;
    QTest::newRow("acme for an address") << ruleParams(https, QStringLiteral("192.0.2.7"), QStringLiteral("acme"))
                                         << true << false;
    QTest::newRow("acme for the appliance's own name")
        << ruleParams(https, QStringLiteral("localhost"), QStringLiteral("acme")) << true << false;
    QTest::newRow("unknown kind") << ruleParams(https, host, QStringLiteral("letsencrypt")) << true << false;
    QTest::newRow("brought") << ruleParams(https, host, brought(good)) << false << true;
    QTest::newRow("brought wildcard") << ruleParams(https, host, brought(wildcard)) << false << true;
    QTest::newRow("brought wildcard for a wildcard host")
        << ruleParams(https, QStringLiteral("*.nas.test"), brought(wildcard)) << false << true;
    QTest::newRow("mismatched key") << ruleParams(https, host, brought(mismatched)) << false << false;
    QTest::newRow("expired") << ruleParams(https, host, brought(makeTestCertificate({host}, -30, -1))) << false
                             << false;
    QTest::newRow("another name")
        << ruleParams(https, host, brought(makeTestCertificate({QStringLiteral("other.nas.test")}))) << false << false;
    QTest::newRow("not a certificate")
        << ruleParams(https, host, QJsonObject{{QStringLiteral("pem"), QStringLiteral("x")},
                                               {QStringLiteral("key"), QString::fromLatin1(good.key)}})
        << false << false;
    QTest::newRow("brought on http") << ruleParams(QStringLiteral("http"), host, brought(good)) << false << false;
}

void tst_KMCertificate::check()
{
    QFETCH(QJsonObject, params);
    QFETCH(bool, acceptTerms);
    QFETCH(bool, accepted);
    KMAcmeSettings acme = KMAcmeSettings::fromConfig({});
    acme.acceptTerms = acceptTerms;
    ZX2Journals journals;
    QCOMPARE(KMCertificate::check(journals, KMRule::fromParams(params), acme, kPorts), accepted);
    if (!accepted)
        QCOMPARE(journals.errmsg(), QStringLiteral("参数内容错误(certificate)"));
}

void tst_KMCertificate::keyHiddenFromOthers()
{
    const TestCertificate own = makeTestCertificate({QStringLiteral("photos.nas.test")});
    const QJsonObject hidden = KMCertificate::withoutKey(
        ruleParams(QStringLiteral("https"), QStringLiteral("photos.nas.test"), brought(own)));
    const QJsonObject certificate = hidden.value(QStringLiteral("certificate")).toObject();
    QCOMPARE(certificate.value(QStringLiteral("key")).toString(), QString());
    QCOMPARE(certificate.value(QStringLiteral("pem")).toString(), QString::fromLatin1(own.pem));
    const QJsonObject acme = ruleParams(QStringLiteral("https"), QStringLiteral("a.nas.test"), QStringLiteral("acme"));
    QCOMPARE(KMCertificate::withoutKey(acme), acme);
}

void tst_KMCertificate::webPortsMappedForTheCa()
{
    const KMAcmeSettings acme = KMAcmeSettings::fromConfig({{QStringLiteral("accept-terms"), true}});
    QCOMPARE(acme.directory, QStringLiteral("https://acme-v02.api.letsencrypt.org/directory"));
    const QStringList names{QStringLiteral("a.nas.test")};
    QVERIFY(KMCertificate::managedDomainLines(names, acme, kPorts)
                .contains(QStringLiteral("    MDPortMap http:8080 https:8443")));
    const QStringList standard = KMCertificate::managedDomainLines(names, acme, {80, 443});
    QVERIFY(standard.filter(QStringLiteral("MDPortMap")).isEmpty());
    QVERIFY(standard.contains(QStringLiteral("    MDomain a.nas.test")));
    QVERIFY(KMCertificate::managedDomainLines({}, acme, kPorts).isEmpty());
    // A value that would end its quotes is left out.
    KMAcmeSettings quoted = acme;
    quoted.email = QStringLiteral("a'\nInclude /etc/shadow");
    const QStringList lines = KMCertificate::managedDomainLines(names, quoted, kPorts);
    QVERIFY(lines.filter(QStringLiteral("MDContactEmail")).isEmpty());
}

// On a custom https port each name with a certificate of its own has it in
// its virtual host; the others include the appliance's snippet.
void tst_KMCertificate::customPortNamesGetTheirCertificates()
{
    const TestCertificate own = makeTestCertificate({QStringLiteral("own.nas.test")});
    QList<KMRule> rules;
    int pxyno = 0;
    for (const QJsonValue &certificate : {QJsonValue(QStringLiteral("acme")), QJsonValue(brought(own)), QJsonValue()}) {
        QJsonObject params = ruleParams(QStringLiteral("https"), QString(), certificate);
        QJsonObject source = params.value(QStringLiteral("source")).toObject();
        const QStringList hosts{QStringLiteral("acme.nas.test"), QStringLiteral("own.nas.test"),
                                QStringLiteral("plain.nas.test")};
        source.insert(QStringLiteral("host"), hosts.at(pxyno));
        source.insert(QStringLiteral("port"), 9443);
        params.insert(QStringLiteral("source"), source);
        params.insert(QStringLiteral("name"), hosts.at(pxyno));
        rules << KMRule::fromParams(params);
        rules.last().pxyno = ++pxyno;
    }
    const KMApacheFiles files = KMApacheConf::generate(rules, kPorts);
    QCOMPARE(files.virtualHosts.size(), 1);
    const QString text = files.virtualHosts.first().lines.join(QLatin1Char('\n'));
    QCOMPARE(files.virtualHosts.first().lines.size(), files.virtualHosts.first().owners.size());
    QVERIFY(text.contains(QStringLiteral("    MDomain acme.nas.test\n")));
    QVERIFY(text.contains(QStringLiteral("SSLCertificateKeyFile '") + KMCertificate::keyFile(rules.at(1))));
    // The port's first virtual host (every other name) and plain.nas.test's.
    QCOMPARE(text.count(QStringLiteral("Include ")), 2);
    QVERIFY(!text.contains(QStringLiteral("BEGIN")));
}

QTEST_GUILESS_MAIN(tst_KMCertificate)
#include "tst_kmcertificate.moc"
