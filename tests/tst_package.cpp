// The Debian package as scripts/package builds it: control fields, files, the
// unit and the tmpfiles.d entry inside, the maintainer scripts, lintian. The
// package is only built and read, never installed: its maintainer scripts run
// against a temporary root (ORBA_ROOT) with stand-ins first on PATH for every
// program that would change the system.

#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void control_data();
    void control();
    void files();
    void unit();
    void tmpfiles();
    void postinst_data();
    void postinst();
    void postrm_data();
    void postrm();
    void lintian();

private:
    // Runs a program to its end; true when it succeeded, with its standard output in out.
    bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr, int msecs = 60000);
    // Runs the package's maintainer script with args, with ORBA_ROOT set to
    // root; the stand-ins log their calls into calls. getent finds the group
    // when groupExists; "systemctl is-active" succeeds when apacheActive.
    bool runScript(const QString &root, const QString &script, const QStringList &args, bool groupExists,
                   bool apacheActive, QStringList *calls);

    QTemporaryDir m_out;
    QString m_deb;
    QString m_files;     // the package's files, unpacked
    QString m_control;   // its control files
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
    m_files = m_out.path() + QStringLiteral("/root");
    m_control = m_out.path() + QStringLiteral("/control");
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_files}));
    QVERIFY(run(QStringLiteral("dpkg-deb"), {QStringLiteral("-e"), m_deb, m_control}));
}

void TestPackage::control_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("pattern");

    QTest::newRow("name") << "Package" << "^reverseproxy$";
    QTest::newRow("version from the project") << "Version" << "^" PROJECT_VERSION "$";
    QTest::newRow("apache") << "Depends" << "(^|, )apache2 \\(>= 2\\.4\\.47\\)(,|$)";
    QTest::newRow("netstat") << "Depends" << "(^|, )net-tools(,|$)";
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

// Exactly the service, the client, the unit, the tmpfiles.d entry and the
// documentation Debian asks for; nothing under /orba, which belongs to the
// appliance.
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
                                 QStringLiteral("./usr/lib/tmpfiles.d/reverseproxy.conf"),
                                 QStringLiteral("./usr/share/doc/reverseproxy/changelog.gz"),
                                 QStringLiteral("./usr/share/doc/reverseproxy/copyright"),
                                 QStringLiteral("./usr/share/man/man1/reverseproxyctl.1.gz"),
                                 QStringLiteral("./usr/share/man/man8/reverseproxy.8.gz")}));
    for (const char *script : {"postinst", "prerm", "postrm"})
        QVERIFY2(QFileInfo(m_control + QLatin1Char('/') + QLatin1String(script)).isExecutable(), script);
}

// The unit inside is the sandboxed one of the sources, for the installed binary.
void TestPackage::unit()
{
    QFile packaged(m_files + QStringLiteral("/lib/systemd/system/reverseproxy.service"));
    QFile source(QStringLiteral(TESTS_SOURCE_DIR "/../packaging/reverseproxy.service.in"));
    QVERIFY(packaged.open(QIODevice::ReadOnly) && source.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(packaged.readAll()),
             QString::fromUtf8(source.readAll()).replace(QStringLiteral("@BINDIR@"), QStringLiteral("/usr/bin")));
}

// Apache's run and lock directories as apache2ctl makes them, so that
// "apache2ctl -t" in the service's read-only view of / finds them.
void TestPackage::tmpfiles()
{
    const QString tmpfiles = QStandardPaths::findExecutable(QStringLiteral("systemd-tmpfiles"));
    if (tmpfiles.isEmpty())
        QSKIP("systemd-tmpfiles is not installed");
    if (::geteuid() != 0)
        QSKIP("needs root to give the directories their owners");
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(writeTestFile(root.filePath(QStringLiteral("etc/passwd")),
                          "root:x:0:0::/root:/bin/sh\nwww-data:x:33:33::/var/www:/usr/sbin/nologin\n"));
    QVERIFY(writeTestFile(root.filePath(QStringLiteral("etc/group")), "root:x:0:\nwww-data:x:33:\n"));
    QVERIFY(run(tmpfiles, {QStringLiteral("--root=") + root.path(), QStringLiteral("--create"),
                           m_files + QStringLiteral("/usr/lib/tmpfiles.d/reverseproxy.conf")}));
    const QList<QPair<QString, uint>> directories{{QStringLiteral("run/apache2"), 0},
                                                  {QStringLiteral("run/apache2/socks"), 33},
                                                  {QStringLiteral("run/lock/apache2"), 33}};
    for (const auto &directory : directories) {
        struct stat info{};
        QCOMPARE(::stat(QFile::encodeName(root.filePath(directory.first)).constData(), &info), 0);
        QVERIFY2(S_ISDIR(info.st_mode), qPrintable(directory.first));
        QCOMPARE(uint(info.st_uid), directory.second);
        QCOMPARE(int(info.st_mode & 07777), 0755);
    }
}

bool TestPackage::runScript(const QString &root, const QString &script, const QStringList &args, bool groupExists,
                            bool apacheActive, QStringList *calls)
{
    const QString bin = root + QStringLiteral("/bin");
    const QString log = QStringLiteral("echo \"$(basename \"$0\") $*\" >> '%1/calls.log'\n").arg(root);
    bool written = writeScript(bin, QStringLiteral("getent"), log + (groupExists ? "exit 0\n" : "exit 2\n"))
        && writeScript(bin, QStringLiteral("systemctl"),
                       log + QStringLiteral("[ \"$1\" != is-active ] || exit %1\n").arg(apacheActive ? 0 : 3));
    for (const char *program : {"addgroup", "groupadd", "systemd-tmpfiles", "deb-systemd-helper", "deb-systemd-invoke"})
        written = written && writeScript(bin, QLatin1String(program), log);
    if (!written)
        return false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORBA_ROOT"), root + QStringLiteral("/orba"));
    environment.insert(QStringLiteral("PATH"), bin + QLatin1Char(':') + environment.value(QStringLiteral("PATH")));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("sh"), QStringList{m_control + QLatin1Char('/') + script} + args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(script), process.readAllStandardError().constData());
        return false;
    }
    QFile file(root + QStringLiteral("/calls.log"));
    *calls = file.open(QIODevice::ReadOnly)
        ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
        : QStringList();
    return true;
}

void TestPackage::postinst_data()
{
    QTest::addColumn<QByteArray>("existing");   // config.json before; empty: none
    QTest::addColumn<bool>("groupExists");
    QTest::addColumn<QByteArray>("config");     // config.json after, as JSON
    QTest::addColumn<bool>("addsGroup");

    QTest::newRow("new installation")
        << QByteArray() << false
        << QByteArray("{\"debugging\":false,\"appname\":\"reverseproxy\","
                      "\"lpcid\":\"/run/reverseproxy/reverseproxy.sock\",\"lpcgroup\":\"reverseproxy\"}")
        << true;
    QTest::newRow("existing configuration and group")
        << QByteArray("{\"lpcid\": \"reverseproxy\"}\n") << true << QByteArray("{\"lpcid\":\"reverseproxy\"}")
        << false;
}

void TestPackage::postinst()
{
    QFETCH(QByteArray, existing);
    QFETCH(bool, groupExists);
    QFETCH(QByteArray, config);
    QFETCH(bool, addsGroup);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString configFile = root.filePath(QStringLiteral("orba/etc/reverseproxy/config.json"));
    if (!existing.isEmpty())
        QVERIFY(writeTestFile(configFile, existing));
    QStringList calls;
    QVERIFY(runScript(root.path(), QStringLiteral("postinst"), {QStringLiteral("configure")}, groupExists, true, &calls));
    QFile file(configFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    if (!existing.isEmpty())
        QCOMPARE(written, existing);
    QCOMPARE(QJsonDocument::fromJson(written).object(), QJsonDocument::fromJson(config).object());
    QCOMPARE(calls.contains(QStringLiteral("addgroup --system --quiet reverseproxy")), addsGroup);
    QVERIFY2(calls.contains(QStringLiteral("systemd-tmpfiles --create reverseproxy.conf")), qPrintable(calls.join(QLatin1Char('\n'))));
}

void TestPackage::postrm_data()
{
    QTest::addColumn<bool>("apacheActive");
    QTest::newRow("Apache running: reloaded") << true;
    QTest::newRow("Apache stopped: left alone") << false;
}

// Removal takes the rules out of Apache and keeps what belongs to the
// appliance: the site's included files (empty), the database, the
// configuration and any virtual host not written by the service.
void TestPackage::postrm()
{
    QFETCH(bool, apacheActive);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString etc = root.filePath(QStringLiteral("orba/etc/reverseproxy/"));
    const QStringList kept{QStringLiteral("config.json"), QStringLiteral("reverseproxy.db"),
                           QStringLiteral("virtualhost/appliance.conf"), QStringLiteral("virtualhost/http_x.conf"),
                           QStringLiteral("virtualhost/http_80.conf.orig")};
    const QStringList removed{QStringLiteral("virtualhost/http_8080.conf"), QStringLiteral("virtualhost/https_8443.conf")};
    for (const QString &file : kept + removed)
        QVERIFY(writeTestFile(etc + file, "content\n"));
    for (const char *file : {"http.conf", "https.conf"})
        QVERIFY(writeTestFile(etc + QLatin1String(file), "ProxyPass /app http://127.0.0.1:3000/\n"));
    QStringList calls;
    QVERIFY(runScript(root.path(), QStringLiteral("postrm"), {QStringLiteral("remove")}, true, apacheActive, &calls));
    for (const QString &file : kept)
        QVERIFY2(QFileInfo(etc + file).size() == 8, qPrintable(file));
    for (const QString &file : removed)
        QVERIFY2(!QFileInfo::exists(etc + file), qPrintable(file));
    for (const char *file : {"http.conf", "https.conf"}) {
        const QFileInfo info(etc + QLatin1String(file));
        QVERIFY2(info.exists() && info.size() == 0, file);
    }
    QCOMPARE(calls.contains(QStringLiteral("deb-systemd-invoke reload apache2.service")), apacheActive);
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
