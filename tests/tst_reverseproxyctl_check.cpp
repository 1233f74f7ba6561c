// The back-end check of "reverseproxyctl list --check": a table far larger
// than the descriptors the calling user may open is checked rule by rule, and
// every back end is reported as it is.

#include "rawbackend.h"
#include "../tools/backendcheck.h"

#include <QTcpServer>
#include <QtTest>

#include <cstdio>

#include <sys/resource.h>

namespace {

// Serves a RawBackend until standard input closes, having printed its port:
// the back end's descriptors must not count against the checking process.
int serveBackend()
{
    RawBackend backend(QStringLiteral("up"));
    if (!backend.start())
        return 1;
    std::printf("%d\n", backend.port());
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

} // namespace

class TestReverseproxyctlCheck : public QObject
{
    Q_OBJECT

private slots:
    void manyRulesFewDescriptors();
};

void TestReverseproxyctlCheck::manyRulesFewDescriptors()
{
    QProcess up;
    up.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--backend")});
    QVERIFY(up.waitForReadyRead(30000));
    const int upPort = up.readLine().trimmed().toInt();
    QVERIFY(upPort > 0);
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 closedPort = closed.serverPort();
    closed.close();
    // Every other rule's back end is up, the rest refuse the connection.
    QList<QJsonObject> rules;
    for (int pxyno = 1; pxyno <= 600; ++pxyno) {
        const QJsonObject dest{{QStringLiteral("protocol"), QStringLiteral("http")},
                               {QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                               {QStringLiteral("port"), pxyno % 2 ? upPort : closedPort},
                               {QStringLiteral("path"), QStringLiteral("/")}};
        rules.append({{QStringLiteral("pxyno"), pxyno}, {QStringLiteral("dest"), dest}});
    }
    rlimit saved{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = qMin<rlim_t>(256, saved.rlim_max);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
    // Generous limits: a slow machine must not turn a live back end into a timeout.
    const QMap<int, BackendCheck::Outcome> outcomes = BackendCheck::checkAll(rules, 30000);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    up.closeWriteChannel();
    QVERIFY(up.waitForFinished(30000));
    QCOMPARE(outcomes.size(), rules.size());
    for (auto outcome = outcomes.cbegin(); outcome != outcomes.cend(); ++outcome) {
        const QString expected = outcome.key() % 2 ? QStringLiteral("up") : QStringLiteral("down: connection refused");
        QVERIFY2(outcome.value().text().startsWith(expected),
                 qPrintable(QStringLiteral("%1: %2").arg(outcome.key()).arg(outcome.value().text())));
    }
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--backend") == 0)
        return serveBackend();
    TestReverseproxyctlCheck test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_reverseproxyctl_check.moc"
