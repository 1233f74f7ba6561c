// The systemd unit of the service: sandboxed, yet with what the service needs.
// Checked offline; nothing is installed and no service manager is asked.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestServiceUnit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keeps_data();
    void keeps();
    void exposure();
    void verify();

private:
    // The unit with its binaries in bindir, as reverseproxy.service in the subdirectory dir.
    QString writeUnit(const QString &bindir, const QString &dir);

    QTemporaryDir m_dir;
    QString m_template;
    QString m_analyze;
};

const double kMaxExposure = 3.0; // the sandbox's goal, on systemd-analyze's 0..10 scale

void TestServiceUnit::initTestCase()
{
    QFile file(QStringLiteral(TESTS_SOURCE_DIR "/../packaging/reverseproxy.service.in"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    m_template = QString::fromUtf8(file.readAll());
    QVERIFY(m_dir.isValid());
    m_analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
}

QString TestServiceUnit::writeUnit(const QString &bindir, const QString &dir)
{
    QDir(m_dir.path()).mkpath(dir);
    const QString path = m_dir.path() + QLatin1Char('/') + dir + QStringLiteral("/reverseproxy.service");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QString(m_template).replace(QStringLiteral("@BINDIR@"), bindir).toUtf8());
    return path;
}

// A tighter sandbox would break the service without a word: these must stay.
void TestServiceUnit::keeps_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("present");

    QTest::newRow("rules and generated files") << "ReadWritePaths=/orba/etc/reverseproxy" << true;
    QTest::newRow("socket shared in /tmp") << "ReadWritePaths=/tmp" << true;
    QTest::newRow("socket of new installations") << "RuntimeDirectory=reverseproxy" << true;
    QTest::newRow("no private /tmp") << "PrivateTmp=no" << true;
    QTest::newRow("socket group, port check below 1024")
        << "CapabilityBoundingSet=CAP_CHOWN CAP_NET_BIND_SERVICE" << true;
    QTest::newRow("chown calls") << "SystemCallFilter=@chown" << true;
    QTest::newRow("rpc, systemctl and interfaces")
        << "RestrictAddressFamilies=AF_UNIX AF_NETLINK AF_INET AF_INET6" << true;
    QTest::newRow("netstat reads the host's sockets") << "PrivateNetwork=" << false;
    QTest::newRow("systemctl reaches the manager as root") << "User=" << false;
    QTest::newRow("netstat reads /proc/net") << "ProcSubset=" << false;
    QTest::newRow("destination names looked up in DNS") << "IPAddressDeny=" << false;
}

void TestServiceUnit::keeps()
{
    QFETCH(QString, line);
    QFETCH(bool, present);
    const QStringList lines = m_template.split(QLatin1Char('\n'));
    const bool found = present ? lines.contains(line)
                               : std::any_of(lines.begin(), lines.end(),
                                             [&](const QString &l) { return l.startsWith(line); });
    QCOMPARE(found, present);
}

void TestServiceUnit::exposure()
{
    if (m_analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    QProcess analyze;
    analyze.start(m_analyze, {QStringLiteral("security"), QStringLiteral("--offline=yes"),
                              writeUnit(QStringLiteral("/usr/bin"), QStringLiteral("installed"))});
    QVERIFY(analyze.waitForFinished(60000));
    const QString out = QString::fromUtf8(analyze.readAllStandardOutput());
    const QRegularExpressionMatch level =
        QRegularExpression(QStringLiteral("Overall exposure level for reverseproxy.service: ([0-9.]+)")).match(out);
    QVERIFY2(level.hasMatch(), qPrintable(out + QString::fromUtf8(analyze.readAllStandardError())));
    qInfo("exposure %s", qPrintable(level.captured(1)));
    QVERIFY2(level.captured(1).toDouble() <= kMaxExposure, qPrintable(out));
}

// verify wants ExecStart and the Documentation= page to exist: the unit is
// pointed at the built binary, and man at the page in the sources.
void TestServiceUnit::verify()
{
    if (m_analyze.isEmpty())
        QSKIP("systemd-analyze is not installed");
    const QString man8 = m_dir.path() + QStringLiteral("/man/man8");
    QVERIFY(QDir().mkpath(man8));
    QVERIFY(QFile::copy(QStringLiteral(TESTS_SOURCE_DIR "/../packaging/man/reverseproxy.8"),
                        man8 + QStringLiteral("/reverseproxy.8")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MANPATH"), m_dir.path() + QStringLiteral("/man"));
    QProcess analyze;
    analyze.setProcessEnvironment(env);
    analyze.setProcessChannelMode(QProcess::MergedChannels);
    analyze.start(m_analyze, {QStringLiteral("verify"), writeUnit(QStringLiteral(BIN_DIR), QStringLiteral("built"))});
    QVERIFY(analyze.waitForFinished(60000));
    const QByteArray out = analyze.readAll();
    QVERIFY2(analyze.exitCode() == 0 && out.isEmpty(), out.constData());
}

QTEST_GUILESS_MAIN(TestServiceUnit)
#include "tst_serviceunit.moc"
