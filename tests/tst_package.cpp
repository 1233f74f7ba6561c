// The Debian package as scripts/package builds it: control fields, files, the
// unit inside, lintian. The package is only built and read, never installed.

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void control_data();
    void control();
    void files();
    void unit();
    void lintian();

private:
    // Runs a program to its end; true when it succeeded, with its standard output in out.
    bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr, int msecs = 60000);

    QTemporaryDir m_out;
    QString m_deb;
};

const int kBuildTimeout = 1500000; // ms; a release build from scratch on a shared machine

bool TestPackage::run(const QString &program, const QStringList &args, QByteArray *out, int msecs)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(msecs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().right(4000).constData());
        return false;
    }
    if (out)
        *out = process.readAllStandardOutput();
    return true;
}

void TestPackage::initTestCase()
{
    QVERIFY(m_out.isValid());
    // A build directory of its own beside the test build, kept for the next run.
    qputenv("BUILD_DIR", QByteArrayLiteral(BIN_DIR "/../package-build"));
    QByteArray out;
    QVERIFY(run(QStringLiteral("bash"), {QStringLiteral(TESTS_SOURCE_DIR "/../scripts/package"), m_out.path()}, &out,
                kBuildTimeout));
    m_deb = QString::fromUtf8(out).trimmed().section(QLatin1Char('\n'), -1);
    QVERIFY2(QFileInfo::exists(m_deb), qPrintable(m_deb));
    QByteArray arch;
    QVERIFY(run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")}, &arch));
    QCOMPARE(QFileInfo(m_deb).fileName(),
             QStringLiteral("reverseproxy_" PROJECT_VERSION "_%1.deb").arg(QString::fromUtf8(arch).trimmed()));
}

void TestPackage::control_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("pattern");

    QTest::newRow("name") << "Package" << "^reverseproxy$";
    QTest::newRow("version from the project") << "Version" << "^" PROJECT_VERSION "$";
    QTest::newRow("apache") << "Depends" << "(^|, )apache2 \\(>= 2\\.4\\.47\\)(,|$)";
    QTest::newRow("qt from the binaries") << "Depends" << "(^|, )libqt5core5a \\(>= [^)]+\\)";
    QTest::newRow("sqlite from the binaries") << "Depends" << "(^|, )libsqlite3-0 \\(>= [^)]+\\)";
    QTest::newRow("libc from the binaries") << "Depends" << "(^|, )libc6 \\(>= [^)]+\\)";
    QTest::newRow("maintainer") << "Maintainer" << "^.+ <.+@.+>$";
}

void TestPackage::control()
{
    QFETCH(QString, field);
    QFETCH(QString, pattern);
    QByteArray out;
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_deb, field}, &out));
    const QString value = QString::fromUtf8(out).trimmed();
    QVERIFY2(QRegularExpression(pattern).match(value).hasMatch(), qPrintable(field + QStringLiteral(": ") + value));
}

// Exactly the service, the client, the unit and the documentation Debian asks
// for; nothing under /orba, which belongs to the appliance.
void TestPackage::files()
{
    QByteArray listing;
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-c"), m_deb}, &listing));
    QStringList files;
    for (const QString &line : QString::fromUtf8(listing).split(QLatin1Char('\n')))
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('d')))
            files << line.section(QLatin1Char(' '), -1);
    files.sort();
    QCOMPARE(files, QStringList({QStringLiteral("./lib/systemd/system/reverseproxy.service"),
                                 QStringLiteral("./usr/bin/reverseproxy"), QStringLiteral("./usr/bin/reverseproxyctl"),
                                 QStringLiteral("./usr/share/doc/reverseproxy/changelog.gz"),
                                 QStringLiteral("./usr/share/doc/reverseproxy/copyright"),
                                 QStringLiteral("./usr/share/man/man1/reverseproxyctl.1.gz"),
                                 QStringLiteral("./usr/share/man/man8/reverseproxy.8.gz")}));
    const QString control = m_out.path() + QStringLiteral("/control");
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), m_deb, control}));
    for (const char *script : {"postinst", "prerm", "postrm"})
        QVERIFY2(QFileInfo(control + QLatin1Char('/') + QLatin1String(script)).isExecutable(), script);
}

// The unit inside is the sandboxed one of the sources, for the installed binary.
void TestPackage::unit()
{
    const QString root = m_out.path() + QStringLiteral("/root");
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, root}));
    QFile packaged(root + QStringLiteral("/lib/systemd/system/reverseproxy.service"));
    QFile source(QStringLiteral(TESTS_SOURCE_DIR "/../packaging/reverseproxy.service.in"));
    QVERIFY(packaged.open(QIODevice::ReadOnly) && source.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(packaged.readAll()),
             QString::fromUtf8(source.readAll()).replace(QStringLiteral("@BINDIR@"), QStringLiteral("/usr/bin")));
}

void TestPackage::lintian()
{
    const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
    if (lintian.isEmpty())
        QSKIP("lintian is not installed");
    QProcess process;
    process.start(lintian, {QStringLiteral("--no-tag-display-limit"), m_deb});
    QVERIFY(process.waitForFinished(600000));
    const QString report = QString::fromUtf8(process.readAllStandardOutput());
    qInfo("%s", qPrintable(report));
    QVERIFY2(!QRegularExpression(QStringLiteral("^E: "), QRegularExpression::MultilineOption).match(report).hasMatch(),
             qPrintable(report));
}

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
