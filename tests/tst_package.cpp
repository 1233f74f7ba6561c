// The Debian package as scripts/package builds it: control fields, files, the
// unit and the tmpfiles.d entry inside, the maintainer scripts, lintian. The
// package is only built and read, never installed: its maintainer scripts run
// against a temporary root (ORBA_ROOT) with stand-ins first on PATH for every
// program that would change the system.

#include "kmversion.h"
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

#include <algorithm>

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
    void version();
    void unit();
    void tmpfiles();
    void postinst_data();
    void postinst();
    void postinstIncludedFiles();
    void postinstModules_data();
    void postinstModules();
    void postrm_data();
    void postrm();
    void postrmModules_data();
    void postrmModules();
    void lintian();

private:
    // Runs a program to its end; true when it succeeded, with its standard output in out.
    bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr, int msecs = 60000);
    // Runs the package's maintainer script with args, with ORBA_ROOT set to
    // root/orba and DPKG_ROOT to root; the stand-ins log their calls into
    // calls. getent finds the group when groupExists; "systemctl is-active"
    // succeeds when apacheActive. a2query, a2enmod and a2dismod keep
    // Apache's modules in root/apache (see setModules).
    bool runScript(const QString &root, const QString &script, const QStringList &args, bool groupExists,
                   bool apacheActive, QStringList *calls);
    // Apache's module state for the stand-ins: enabled ones, and those the
    // administrator disabled (a2query answers 32). helper: none, or a
    // stand-in of apache2's maintainer script helper, "configured" or
    // "deferred" (apache2 not configured yet: apache2_invoke only notes).
    static bool setModules(const QString &root, const QStringList &enabled, const QStringList &adminDisabled,
                           const QString &helper = QString());
    static QStringList enabledModules(const QString &root);

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
             QStringLiteral("reverseproxy_%1_%2.deb")
                 .arg(QString::fromLatin1(kReverseproxyVersion), QString::fromUtf8(arch).trimmed()));
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
    QTest::newRow("version of the release")
        << "Version" << QLatin1Char('^') + QRegularExpression::escape(QString::fromLatin1(kReverseproxyVersion)) + QLatin1Char('$');
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

// The release's version, in the changelog and from the client inside.
void TestPackage::version()
{
    QByteArray changelog;
    QVERIFY(run(QStringLiteral("gzip"), {QStringLiteral("-dc"), m_files + QStringLiteral("/usr/share/doc/reverseproxy/changelog.gz")},
                &changelog));
    QVERIFY2(changelog.startsWith("reverseproxy (" + QByteArray(kReverseproxyVersion) + ") "), changelog.constData());
    QByteArray out;
    QVERIFY(run(m_files + QStringLiteral("/usr/bin/reverseproxyctl"), {QStringLiteral("--version")}, &out));
    QCOMPARE(out, "reverseproxyctl " + QByteArray(kReverseproxyVersion) + '\n');
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
    const QString modules = QStringLiteral("modules='%1/apache'\n").arg(root);
    written = written
        && writeScript(bin, QStringLiteral("a2query"),
                       modules + QStringLiteral("[ -e \"$modules/enabled/$2\" ] && exit 0\n"
                                                "[ -e \"$modules/disabled-by-admin/$2\" ] && exit 32\n"
                                                "echo \"No module matches $2\"; exit 1\n"))
        && writeScript(bin, QStringLiteral("a2enmod"),
                       log + modules + QStringLiteral("for m; do case $m in -*) ;; *) : > \"$modules/enabled/$m\" ;; esac; done\n"))
        // Never while a module that depends on it is enabled, as mod_ssl on socache_shmcb.
        && writeScript(bin, QStringLiteral("a2dismod"),
                       log + modules + QStringLiteral("for m; do case $m in -*) ;; *)\n"
                                                      "  [ $m != socache_shmcb ] || [ ! -e \"$modules/enabled/ssl\" ] || exit 1\n"
                                                      "  rm -f \"$modules/enabled/$m\" ;; esac; done\n"))
        // Apache fails to read its files while a module the site needs
        // ("needed") is off. -S lists the virtual hosts of "sites" ("MODULE
        // HOST": the module it is inside <IfModule> of, "-" for none), then a
        // mutex per module; DUMP_INCLUDES the files of "includes".
        && writeScript(bin, QStringLiteral("apache2ctl"),
                       log + modules + QStringLiteral(
                           "for m in $(cat \"$modules/needed\" 2>/dev/null); do\n"
                           "  [ -e \"$modules/enabled/$m\" ] || exit 1\ndone\n"
                           "case \"$*\" in\n"
                           "-S) echo 'VirtualHost configuration:'\n"
                           "    cat \"$modules/sites\" 2>/dev/null | while read -r m site; do\n"
                           "      [ \"$m\" = - ] || [ -e \"$modules/enabled/$m\" ] && echo \"$site\"\n"
                           "    done\n"
                           "    echo 'ServerRoot: \"/etc/apache2\"'\n"
                           "    for m in $(ls \"$modules/enabled\"); do echo \"Mutex $m: using_defaults\"; done ;;\n"
                           "*DUMP_INCLUDES*) echo 'Included configuration files:'\n"
                           "    sed 's/^/  (*) /' \"$modules/includes\" 2>/dev/null ;;\n"
                           "esac\n"));
    if (!written)
        return false;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Every system path of the scripts but /orba's is below DPKG_ROOT.
    environment.insert(QStringLiteral("DPKG_ROOT"), root);
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

bool TestPackage::setModules(const QString &root, const QStringList &enabled, const QStringList &adminDisabled,
                             const QString &helper)
{
    bool written = QDir().mkpath(root + QStringLiteral("/apache/enabled"))
        && QDir().mkpath(root + QStringLiteral("/apache/disabled-by-admin"));
    for (const QString &module : enabled)
        written = written && writeTestFile(root + QStringLiteral("/apache/enabled/") + module, QByteArray());
    for (const QString &module : adminDisabled)
        written = written && writeTestFile(root + QStringLiteral("/apache/disabled-by-admin/") + module, QByteArray());
    if (!helper.isEmpty())
        written = written
            && writeTestFile(root + QStringLiteral("/usr/share/apache2/apache2-maintscript-helper"),
                             QStringLiteral("APACHE2_MAINTSCRIPT_DEFER=%2\n"
                                            "apache2_invoke() {\n"
                                            "    echo \"apache2_invoke $*\" >> '%1/calls.log'\n"
                                            "}\n")
                                 .arg(root, helper == QLatin1String("deferred") ? QStringLiteral("/deferred") : QString())
                                 .toUtf8());
    return written;
}

QStringList TestPackage::enabledModules(const QString &root)
{
    QStringList modules = QDir(root + QStringLiteral("/apache/enabled")).entryList(QDir::Files);
    modules.sort();
    return modules;
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

// The files the appliance's site includes exist from the installation on,
// with the modes the service gives them; existing ones are kept.
void TestPackage::postinstIncludedFiles()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString etc = root.filePath(QStringLiteral("orba/etc/reverseproxy/"));
    QVERIFY(writeTestFile(etc + QStringLiteral("https.conf"), "ProxyPass /app http://127.0.0.1:3000/\n"));
    QVERIFY(setModules(root.path(), {}, {}));
    QStringList calls;
    QVERIFY(runScript(root.path(), QStringLiteral("postinst"), {QStringLiteral("configure")}, true, false, &calls));
    const auto mode = [&](const QString &name, mode_t type) {
        struct stat info{};
        const QByteArray path = QFile::encodeName(etc + name);
        return ::stat(path.constData(), &info) == 0 && (info.st_mode & S_IFMT) == type ? int(info.st_mode & 07777) : -1;
    };
    QCOMPARE(mode(QStringLiteral("http.conf"), S_IFREG), 0640);
    QCOMPARE(QFileInfo(etc + QStringLiteral("http.conf")).size(), 0);
    QFile https(etc + QStringLiteral("https.conf"));
    QVERIFY(https.open(QIODevice::ReadOnly));
    QCOMPARE(https.readAll(), QByteArray("ProxyPass /app http://127.0.0.1:3000/\n"));
    QCOMPARE(mode(QStringLiteral("virtualhost"), S_IFDIR), 0750);
}

void TestPackage::postinstModules_data()
{
    QTest::addColumn<QStringList>("enabled");         // before
    QTest::addColumn<QStringList>("adminDisabled");
    QTest::addColumn<QString>("helper");              // see setModules
    QTest::addColumn<bool>("apacheActive");
    QTest::addColumn<int>("runs");                    // configure, then upgrades
    QTest::addColumn<QStringList>("recorded");        // the list of the package's modules
    QTest::addColumn<QStringList>("enabledAfter");

    const QStringList debian{QStringLiteral("alias"), QStringLiteral("auth_basic"), QStringLiteral("authn_core"),
                             QStringLiteral("authn_file"), QStringLiteral("authz_core"), QStringLiteral("authz_host"),
                             QStringLiteral("authz_user"), QStringLiteral("env"), QStringLiteral("setenvif")};
    const QStringList needed{QStringLiteral("socache_shmcb"), QStringLiteral("ssl"), QStringLiteral("proxy"),
                             QStringLiteral("proxy_http"), QStringLiteral("headers"), QStringLiteral("rewrite"),
                             QStringLiteral("md")};
    QStringList all = debian + needed;
    all.sort();
    QTest::newRow("Debian's defaults, Apache running") << debian << QStringList() << "configured" << true << 1 << needed << all;
    QTest::newRow("Debian's defaults, Apache stopped") << debian << QStringList() << QString() << false << 1 << needed << all;
    QTest::newRow("apache2 not configured yet: deferred") << debian << QStringList() << "deferred" << true << 1 << needed
                                                         << debian;
    QTest::newRow("upgrades keep the list") << debian << QStringList() << QString() << true << 3 << needed << all;
    QTest::newRow("ssl there, rewrite disabled by the administrator")
        << debian + QStringList{QStringLiteral("socache_shmcb"), QStringLiteral("ssl")}
        << QStringList{QStringLiteral("rewrite")} << "configured" << true << 1
        << QStringList{QStringLiteral("proxy"), QStringLiteral("proxy_http"), QStringLiteral("headers"), QStringLiteral("md")}
        << QStringList{QStringLiteral("alias"), QStringLiteral("auth_basic"), QStringLiteral("authn_core"),
                       QStringLiteral("authn_file"), QStringLiteral("authz_core"), QStringLiteral("authz_host"),
                       QStringLiteral("authz_user"), QStringLiteral("env"), QStringLiteral("headers"), QStringLiteral("md"),
                       QStringLiteral("proxy"), QStringLiteral("proxy_http"), QStringLiteral("setenvif"), QStringLiteral("socache_shmcb"),
                       QStringLiteral("ssl")};
}

// The modules the generated files need are enabled together, and a running
// Apache reloads once for all of them, gracefully; those the package enabled
// itself are listed for its removal. Until apache2 is configured, Debian's
// helper defers them.
void TestPackage::postinstModules()
{
    QFETCH(QStringList, enabled);
    QFETCH(QStringList, adminDisabled);
    QFETCH(QString, helper);
    QFETCH(bool, apacheActive);
    QFETCH(int, runs);
    QFETCH(QStringList, recorded);
    QFETCH(QStringList, enabledAfter);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(setModules(root.path(), enabled, adminDisabled, helper));
    QStringList calls;
    for (int run = 0; run < runs; ++run) {
        const QStringList args = run == 0 ? QStringList{QStringLiteral("configure")}
                                          : QStringList{QStringLiteral("configure"), QStringLiteral("0.9")};
        QVERIFY(runScript(root.path(), QStringLiteral("postinst"), args, true, apacheActive, &calls));
    }
    QCOMPARE(enabledModules(root.path()), enabledAfter);
    QFile list(root.filePath(QStringLiteral("var/lib/reverseproxy/apache-modules")));
    QVERIFY(list.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts), recorded);
    const bool deferred = helper == QLatin1String("deferred");
    const QStringList enablings = calls.filter(QRegularExpression(QStringLiteral("^(a2enmod|apache2_invoke) ")));
    QStringList expected(QStringLiteral("a2enmod -m -q ") + recorded.join(QLatin1Char(' ')));
    if (deferred) {
        expected.clear();
        for (const QString &module : recorded)
            expected << QStringLiteral("apache2_invoke enmod ") + module;
    }
    QCOMPARE(enablings, expected);
    const QStringList restarts = calls.filter(QRegularExpression(QStringLiteral("^deb-systemd-invoke .* apache2")));
    QCOMPARE(restarts, apacheActive && !deferred ? QStringList(QStringLiteral("deb-systemd-invoke reload apache2.service"))
                                                 : QStringList());
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
    const QStringList removed{QStringLiteral("virtualhost/http_8080.conf"), QStringLiteral("virtualhost/https_8443.conf"),
                              QStringLiteral("users/0123456789abcdef0123456789abcdef.users")};
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

void TestPackage::postrmModules_data()
{
    QTest::addColumn<QStringList>("recorded"); // the list postinst left; empty: none
    QTest::addColumn<QStringList>("enabled");  // before
    QTest::addColumn<QString>("needed");       // by the rest of Apache's configuration
    QTest::addColumn<QString>("sites");        // the virtual hosts, see runScript
    QTest::addColumn<QString>("site");         // an included site's text
    QTest::addColumn<QStringList>("disabled"); // in the end

    const QStringList own{QStringLiteral("socache_shmcb"), QStringLiteral("ssl"), QStringLiteral("proxy"),
                          QStringLiteral("proxy_http"), QStringLiteral("headers")};
    const QStringList enabled = own + QStringList{QStringLiteral("alias"), QStringLiteral("env")};
    const QStringList proxies{QStringLiteral("proxy"), QStringLiteral("proxy_http"), QStringLiteral("headers")};
    const QString plain = QStringLiteral("- *:80 nas.example (/etc/apache2/sites-enabled/site.conf:1)\n");
    const QString http = QStringLiteral("<VirtualHost *:80>\n</VirtualHost>\n");
    QTest::newRow("its own") << own << enabled << QString() << plain << http << own;
    QTest::newRow("one its site needs stays") << own << enabled << QStringLiteral("ssl") << plain << http << proxies;
    QTest::newRow("a site inside <IfModule ssl_module> stays with ssl")
        << own << enabled << QString()
        << plain + QStringLiteral("ssl *:443 nas.example (/orba/etc/apache2/apps/desktop/conf/ssl.conf:2)\n") << http
        << proxies;
    QTest::newRow("a site turns TLS on: ssl and its cache stay")
        << own << enabled << QString() << plain
        << QStringLiteral("<VirtualHost *:80>\n  <IfModule ssl_module>\n    SSLEngine on\n  </IfModule>\n</VirtualHost>\n")
        << proxies;
    QTest::newRow("Apache cannot read its files: all stay") << own << enabled << QStringLiteral("mpm_event") << plain
                                                            << http << QStringList();
    QTest::newRow("one disabled since")
        << own << QStringList{QStringLiteral("alias"), QStringLiteral("env"), QStringLiteral("proxy"), QStringLiteral("proxy_http")}
        << QString() << plain << http << QStringList{QStringLiteral("proxy_http"), QStringLiteral("proxy")};
    QTest::newRow("none of its own") << QStringList() << enabled << QString() << plain << http << QStringList();
}

// Removal disables the modules the package enabled, dependent ones first
// (never forced), and no other; one the rest of Apache uses stays: Apache
// must still read its files and serve the same virtual hosts without it, and
// mod_ssl stays while a site turns TLS on. The list goes with them.
void TestPackage::postrmModules()
{
    QFETCH(QStringList, recorded);
    QFETCH(QStringList, enabled);
    QFETCH(QString, needed);
    QFETCH(QString, sites);
    QFETCH(QString, site);
    QFETCH(QStringList, disabled);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(setModules(root.path(), enabled, {}));
    QVERIFY(writeTestFile(root.filePath(QStringLiteral("apache/needed")), needed.toUtf8()));
    QVERIFY(writeTestFile(root.filePath(QStringLiteral("apache/sites")), sites.toUtf8()));
    QVERIFY(writeTestFile(root.filePath(QStringLiteral("apache/site.conf")), site.toUtf8()));
    QVERIFY(writeTestFile(root.filePath(QStringLiteral("apache/includes")),
                          root.filePath(QStringLiteral("apache/site.conf")).toUtf8() + '\n'));
    const QString list = root.filePath(QStringLiteral("var/lib/reverseproxy/apache-modules"));
    if (!recorded.isEmpty())
        QVERIFY(writeTestFile(list, recorded.join(QLatin1Char('\n')).toUtf8() + '\n'));
    QStringList calls;
    QVERIFY(runScript(root.path(), QStringLiteral("postrm"), {QStringLiteral("remove")}, true, true, &calls));
    QStringList remaining = enabled;
    for (const QString &module : disabled)
        remaining.removeAll(module);
    QStringList now = enabledModules(root.path());
    std::sort(now.begin(), now.end());
    std::sort(remaining.begin(), remaining.end());
    QCOMPARE(now, remaining);
    // As a maintainer script, never forced: a reinstallation enables them again.
    for (const QString &call : calls)
        QVERIFY2(!call.startsWith(QStringLiteral("a2dismod")) || (call.contains(QStringLiteral(" -m")) && !call.contains(QStringLiteral(" -f"))),
                 qPrintable(call));
    QVERIFY(!QFileInfo::exists(list));
    QVERIFY(runScript(root.path(), QStringLiteral("postrm"), {QStringLiteral("purge")}, true, true, &calls));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("var/lib/reverseproxy"))));
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
