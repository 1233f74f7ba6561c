#include "proxyfixture.h"
#include "rawbackend.h"

#include <QtTest>

// A request slower than Apache's own 30 s time-out through two rules to one
// destination, of which only the second asks for the long proxy time-out:
// every rule to a destination carries the options of all rules to it.
class TestKMReverseproxySlow : public QObject
{
    Q_OBJECT
private:
    ProxyFixture fixture;
    RawBackend backend{"A"};

    QJsonObject rule(const QString &name, const QString &path) const
    {
        return {{"name", name},
                {"source", QJsonObject{{"protocol", "http"}, {"port", 0}, {"path", path}}},
                {"dest", QJsonObject{{"protocol", "http"}, {"host", "127.0.0.1"}, {"port", backend.port()}, {"path", "/"}}}};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(backend.start());
        QVERIFY2(fixture.start(), qPrintable(fixture.errorText()));
    }

    void slowAnswerThroughTheRuleWithTimeouts()
    {
        QJsonObject patient = rule("patient", "/two");
        patient.insert("timeouts", QJsonObject{{"recv", 90}});
        QVERIFY2(fixture.create(rule("plain", "/one")) && fixture.create(patient), qPrintable(fixture.errorText()));
        QVERIFY2(fixture.apply(), qPrintable(fixture.errorText()));
        const RawReply reply = rawRequest(fixture.httpPort(), false, "/two/x?sleep=70");
        QCOMPARE(reply.status, 200);
        QVERIFY2(reply.body.startsWith("A GET /x?sleep=70 HTTP/1.1\r\n"), reply.body.constData());
    }
};

QTEST_GUILESS_MAIN(TestKMReverseproxySlow)
#include "tst_kmreverseproxy_slow.moc"
