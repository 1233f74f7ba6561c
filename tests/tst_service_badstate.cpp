// The service binary started on a damaged appliance: a database that is not
// one, a truncated database, a configuration directory it cannot write, a
// socket it cannot take, and Define files full of garbage. It must refuse to
// start with status 255 and one line on standard error naming the cause and
// the path, or run on with port 0, and never crash. Also the socket under
// other local users: a flood from one account, and a socket restricted to one
// group.
#include "otheruser.h"
#include "servicefixture.h"
#include "testfiles.h"
#include "zx2rpcpacket.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char *const kDatabase = "/orba/etc/reverseproxy/reverseproxy.db";
const char *const kConfDir = "/orba/etc/reverseproxy";
const QString kUnopened = QStringLiteral("cannot open or create the rule database");

QJsonObject command(const QString &cmd, const QJsonObject &params = QJsonObject())
{
    return {{QStringLiteral("cmd"), cmd}, {QStringLiteral("params"), params}};
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

// Opens every path component to "other" so that an unprivileged user can
// reach the root and read the configuration.
void openToOthers(const QString &root)
{
    const QFileDevice::Permissions rx = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                        | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                        | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QFile::setPermissions(root, rx);
    QDir dir(root);
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QString path = dir.filePath(entry);
        QFile::setPermissions(path, rx);
        if (QFileInfo(path).isDir())
            openToOthers(path);
    }
}

// Whether the request on fd is answered; false when the service closes the
// connection (or cannot be reached) first.
bool answeredOn(int fd, const QByteArray &request)
{
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
        return false;
    QByteArray buffer;
    ZX2RpcPacket answer;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, int(n));
        if (answer.fromDatagram(buffer) == ZX2RpcPacket::DecodeOk)
            return true;
    }
}

// The client side of the tests under other users, run as this program through
// setpriv: opens up to count connections one after another until one is not
// answered, prints "answered N", and holds them until standard input closes.
int holdConnections(const char *path, int count)
{
    const QByteArray request =
        ZX2RpcPacket(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}}).toDatagram();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path, sizeof address.sun_path);
    std::vector<int> held;
    int answered = 0;
    while (answered < count) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        held.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || !answeredOn(fd, request))
            break;
        ++answered;
    }
    std::printf("answered %d\n", answered);
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    for (int fd : held)
        ::close(fd);
    return 0;
}

} // namespace

class TestServiceBadstate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void refusesDamagedState_data();
    void refusesDamagedState();
    void unwritableConfigurationDirectory();
    void garbageDefineGivesPortZero_data();
    void garbageDefineGivesPortZero();
    void oneUserCannotTakeEverySlot();
    void socketGroup_data();
    void socketGroup();
    void startFailureNamesCause_data();
    void startFailureNamesCause();
    void squattedSocketIsReplaced_data();
    void squattedSocketIsReplaced();
    void secondInstanceChangesNothing();
    void unusableConfiguration_data();
    void unusableConfiguration();

private:
    // Runs holdConnections as uid and gid; answered gets what it reports.
    bool startClient(QProcess &client, int uid, int gid, int count, int *answered);
    // Skips unless the test runs as root with setpriv at hand, then opens the
    // root to other users.
    bool prepareOtherUsers();
    QString configPath() const;
    // A database with two rules, written by the service itself.
    void makeDatabase();
    // The service ends with 255, and one line on standard error names the
    // cause and the path (a fixed /orba path).
    void expectStartFailure(ServiceProcess &service, const QStringList &arguments, const QString &cause,
                            const QString &path);
    void verifyFailureLine(const QString &errors, const QString &cause, const QString &path);

    QScopedPointer<ServiceRoot> m_root;
};

void TestServiceBadstate::init()
{
    m_root.reset(new ServiceRoot);
    QVERIFY(m_root->isValid());
    m_root->writeDefinePorts(18080, 18443);
    m_root->writeDefaultConfig(false);
}

QString TestServiceBadstate::configPath() const
{
    return m_root->path(QStringLiteral("/orba/etc/reverseproxy/config.json"));
}

void TestServiceBadstate::makeDatabase()
{
    ServiceProcess service(*m_root);
    QVERIFY(service.start({QStringLiteral("--cfg"), configPath()}, m_root->lpcid()));
    ServiceConnection connection;
    QVERIFY(connection.open(m_root->lpcid()));
    for (int i = 0; i < 40; ++i) {
        QJsonObject answer;
        QVERIFY(connection.request(command(QStringLiteral("reverseproxy_create"),
                                           simpleRule(QStringLiteral("r%1").arg(i),
                                                      QStringLiteral("/r%1").arg(i), 3000 + i)),
                                   &answer));
        QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), 0);
    }
    service.signal(SIGTERM);
    QVERIFY(service.waitForExit());
}

void TestServiceBadstate::expectStartFailure(ServiceProcess &service, const QStringList &arguments,
                                             const QString &cause, const QString &path)
{
    QVERIFY(service.start(arguments));
    QVERIFY2(service.waitForExit(), "the service started on a damaged state");
    QCOMPARE(service.exitStatus(), QProcess::NormalExit); // no crash
    QCOMPARE(service.exitCode(), 255);
    verifyFailureLine(service.errors(), cause, path);
}

void TestServiceBadstate::verifyFailureLine(const QString &errors, const QString &cause, const QString &path)
{
    const QStringList lines = errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.size() == 1, qPrintable(errors));
    QVERIFY2(lines.first().startsWith(QStringLiteral("reverseproxy: ") + cause), qPrintable(errors));
    QVERIFY2(lines.first().endsWith(QStringLiteral(": ") + m_root->path(path)), qPrintable(errors));
}

void TestServiceBadstate::refusesDamagedState_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("cause");
    const QString damaged = QStringLiteral("damaged rule database (");
    QTest::newRow("text instead of a database") << "text" << damaged;
    QTest::newRow("random bytes instead of a database") << "random" << damaged;
    QTest::newRow("empty file of the database's size") << "zeros" << damaged;
    QTest::newRow("database truncated to half") << "half" << damaged;
    QTest::newRow("database truncated inside its header") << "header" << damaged;
    QTest::newRow("database with its pages overwritten") << "pages" << damaged;
}

void TestServiceBadstate::refusesDamagedState()
{
    QFETCH(QString, damage);
    QFETCH(QString, cause);
    const QString database = m_root->path(QString::fromLatin1(kDatabase));
    if (damage == QLatin1String("text")) {
        QVERIFY(writeTestFile(database, QByteArray("this is not a database\n").repeated(200)));
    } else if (damage == QLatin1String("random")) {
        QVERIFY(writeTestFile(database, randomBytes(16384, 7)));
    } else if (damage == QLatin1String("zeros")) {
        QVERIFY(writeTestFile(database, QByteArray(16384, '\0')));
    } else {
        makeDatabase();
        QFile file(database);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 size = file.size();
        QVERIFY(size > 4096);
        if (damage == QLatin1String("half")) {
            QVERIFY(file.resize(size / 2));
        } else if (damage == QLatin1String("header")) {
            QVERIFY(file.resize(50));
        } else {
            QVERIFY(file.seek(1024)); // keep the 100-byte header, spoil the schema pages
            QVERIFY(file.write(randomBytes(int(size) - 1024, 11)) == size - 1024);
        }
    }
    ServiceProcess service(*m_root);
    expectStartFailure(service, {QStringLiteral("--cfg"), configPath()}, cause, QString::fromLatin1(kDatabase));
}

// The data directory is a file (it cannot even be locked), or the database
// cannot be created in it (for an unprivileged service, a directory without
// write permission).
void TestServiceBadstate::unwritableConfigurationDirectory()
{
    const QString outside = m_root->root() + QStringLiteral("/config.json");
    QVERIFY(QFile::rename(configPath(), outside));
    {
        const QString confDir = m_root->path(QString::fromLatin1(kConfDir));
        QVERIFY(QDir(confDir).removeRecursively());
        QVERIFY(writeTestFile(confDir, "a file where the directory should be\n"));
        ServiceProcess service(*m_root);
        expectStartFailure(service, {QStringLiteral("--cfg"), outside},
                           QStringLiteral("cannot lock the data directory (Not a directory)"),
                           QString::fromLatin1(kConfDir));
        QVERIFY(QFile::remove(confDir));
    }
    const QString confDir = m_root->path(QString::fromLatin1(kConfDir));
    QVERIFY(QDir().mkpath(confDir));
    openToOthers(m_root->root());
    QVERIFY(QFile::setPermissions(confDir, QFileDevice::ReadOwner | QFileDevice::ExeOwner
                                               | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                               | QFileDevice::ReadOther | QFileDevice::ExeOther));
    if (::geteuid() != 0) {
        ServiceProcess service(*m_root);
        expectStartFailure(service, {QStringLiteral("--cfg"), outside}, kUnopened, QString::fromLatin1(kDatabase));
    } else {
        // Root writes anywhere: run the service as nobody, as the appliance
        // would run an unprivileged service.
        const QString binary = QStringLiteral(BIN_DIR "/reverseproxy");
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("setpriv is needed to drop root for the read-only case");
        QProcess service;
        service.setProcessEnvironment(m_root->environment());
        service.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                       QStringLiteral("--clear-groups"), binary, QStringLiteral("--cfg"), outside});
        QVERIFY(service.waitForFinished(30000));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 255);
        verifyFailureLine(QString::fromLocal8Bit(service.readAllStandardError()), kUnopened,
                          QString::fromLatin1(kDatabase));
    }
    QVERIFY(!QFile::exists(m_root->path(QString::fromLatin1(kDatabase))));
}

void TestServiceBadstate::garbageDefineGivesPortZero_data()
{
    QTest::addColumn<QByteArray>("define");
    QTest::newRow("random bytes") << randomBytes(8192, 3);
    QTest::newRow("random bytes around a Define") << randomBytes(300, 4) + "\nDefine ORBA_DESKTOP_HTTP_PORT x18080\n"
                                                         + randomBytes(300, 5);
    QTest::newRow("port beyond every integer") << QByteArray("Define ORBA_DESKTOP_HTTP_PORT 99999999999999999999999\n");
    QTest::newRow("Define after a zero byte") << QByteArray("\0\nDefine ORBA_DESKTOP_HTTP_PORT 18080\n", 38);
    QTest::newRow("Define without a port") << QByteArray("Define\tORBA_DESKTOP_HTTP_PORT\n\n\n");
    QTest::newRow("one endless line") << QByteArray(1 << 20, 'D');
    QTest::newRow("hex port") << QByteArray("Define ORBA_DESKTOP_HTTP_PORT 0x46a0\n");
}

// Rule on port 18080: with a valid Define it would go into http.conf; with
// port 0 it is a custom port with a virtual host of its own.
void TestServiceBadstate::garbageDefineGivesPortZero()
{
    QFETCH(QByteArray, define);
    const QString conf = m_root->path(QStringLiteral("/orba/etc/apache2/apps/desktop/conf/"));
    QVERIFY(writeTestFile(conf + QStringLiteral("orbadesktop-http-port.conf"), define));
    QVERIFY(writeTestFile(conf + QStringLiteral("orbadesktop-https-port.conf"), define));

    ServiceProcess service(*m_root);
    QVERIFY(service.start({QStringLiteral("--cfg"), configPath()}, m_root->lpcid()));
    ServiceConnection connection;
    QVERIFY(connection.open(m_root->lpcid()));
    QJsonObject rule = simpleRule(QStringLiteral("web"), QStringLiteral("/web"), 3000);
    QJsonObject source = rule.value(QStringLiteral("source")).toObject();
    source.insert(QStringLiteral("port"), 18080);
    rule.insert(QStringLiteral("source"), source);
    QJsonObject answer;
    QVERIFY(connection.request(command(QStringLiteral("reverseproxy_create"), rule), &answer));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), 0);
    QVERIFY(QFile::exists(m_root->path(QStringLiteral("/orba/etc/reverseproxy/virtualhost/http_18080.conf"))));
    QFile http(m_root->path(QStringLiteral("/orba/etc/reverseproxy/http.conf")));
    QVERIFY(http.open(QIODevice::ReadOnly));
    QVERIFY(!http.readAll().contains("ProxyPass")); // the site-wide loop guard only
    QVERIFY(service.isRunning());
}

bool TestServiceBadstate::prepareOtherUsers()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        return false;
    openToOthers(m_root->root());
    return true;
}

bool TestServiceBadstate::startClient(QProcess &client, int uid, int gid, int count, int *answered)
{
    client.start(QStringLiteral("setpriv"),
                 {QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(gid),
                  QStringLiteral("--clear-groups"), QCoreApplication::applicationFilePath(),
                  QStringLiteral("--hold-connections"), m_root->lpcid(), QString::number(count)});
    if (!client.waitForStarted(10000))
        return false;
    while (!client.canReadLine()) {
        if (!client.waitForReadyRead(60000))
            return false;
    }
    const QByteArray line = client.readLine().trimmed();
    *answered = line.startsWith("answered ") ? line.mid(9).toInt() : -1;
    return true;
}

// An unprivileged user opens connections until refused; another user and
// root are still answered meanwhile.
void TestServiceBadstate::oneUserCannotTakeEverySlot()
{
    if (!prepareOtherUsers())
        QSKIP("needs root and setpriv to act as other users");
    ServiceProcess service(*m_root);
    QVERIFY(service.start({QStringLiteral("--cfg"), configPath()}, m_root->lpcid()));
    QProcess flood, other;
    int answered = 0;
    QVERIFY(startClient(flood, 65534, 65534, 200, &answered));
    QCOMPARE(answered, 64);
    QVERIFY(startClient(other, 1, 1, 1, &answered));
    QCOMPARE(answered, 1);
    ServiceConnection root;
    QVERIFY(root.open(m_root->lpcid()));
    QJsonObject answer;
    QVERIFY(root.request(command(QStringLiteral("reverseproxy_alload")), &answer));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), 0);
    flood.closeWriteChannel();
    other.closeWriteChannel();
    QVERIFY(flood.waitForFinished(30000) && other.waitForFinished(30000));
    QVERIFY(service.isRunning());
}

void TestServiceBadstate::socketGroup_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<int>("clientGid");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("answered");
    QTest::newRow("no group: open to every user") << QString() << 1 << 0777 << 1;
    QTest::newRow("member of the group") << "nogroup" << 65534 << 0660 << 1;
    QTest::newRow("user outside the group") << "nogroup" << 1 << 0660 << 0;
}

void TestServiceBadstate::socketGroup()
{
    QFETCH(QString, group);
    QFETCH(int, clientGid);
    QFETCH(int, mode);
    QFETCH(int, answered);
    const ::group *entry = group.isEmpty() ? nullptr : ::getgrnam(group.toLocal8Bit().constData());
    if (!group.isEmpty() && !entry)
        QSKIP("the group does not exist here");
    const gid_t gid = entry ? entry->gr_gid : 0;
    QJsonObject config{{QStringLiteral("lpcid"), m_root->lpcid()}};
    if (!group.isEmpty())
        config.insert(QStringLiteral("lpcgroup"), group);
    m_root->writeConfig(config);
    if (!prepareOtherUsers())
        QSKIP("needs root and setpriv to act as other users");
    ServiceProcess service(*m_root);
    QVERIFY(service.start({QStringLiteral("--cfg"), configPath()}, m_root->lpcid()));
    struct stat info{};
    QCOMPARE(::stat(QFile::encodeName(m_root->lpcid()).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), mode);
    if (entry)
        QCOMPARE(info.st_gid, gid);
    QProcess client;
    int got = -1;
    QVERIFY(startClient(client, 65534, clientGid, 1, &got));
    QCOMPARE(got, answered);
    client.closeWriteChannel();
    QVERIFY(client.waitForFinished(30000));
    ServiceConnection owner;
    QVERIFY(owner.open(m_root->lpcid()));
    QJsonObject answer;
    QVERIFY(owner.request(command(QStringLiteral("reverseproxy_alload")), &answer));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), 0);
}

void TestServiceBadstate::startFailureNamesCause_data()
{
    QTest::addColumn<QJsonObject>("config"); // "lpcid" is the test's socket unless given
    QTest::addColumn<bool>("liveServer");      // a server of the service's own user holds the socket
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("path");
    const QString socket = QStringLiteral("/orba/run/reverseproxy.sock");
    const passwd *own = ::getpwuid(::geteuid());
    QTest::newRow("socket held by a server of the same user")
        << QJsonObject() << true
        << QStringLiteral("socket in use by another server (socket of user %1)").arg(QString::fromLocal8Bit(own->pw_name))
        << socket;
    QTest::newRow("unknown socket group")
        << QJsonObject{{QStringLiteral("lpcgroup"), QStringLiteral("no-such-group-here")}} << false
        << "unknown socket group \"no-such-group-here\" (\"lpcgroup\")" << socket;
    QTest::newRow("no socket named") << QJsonObject{{QStringLiteral("lpcid"), QString()}} << false
                                     << "no socket named (\"lpcid\" missing)"
                                     << "/orba/etc/reverseproxy/config.json";
}

void TestServiceBadstate::startFailureNamesCause()
{
    QFETCH(QJsonObject, config);
    QFETCH(bool, liveServer);
    QFETCH(QString, cause);
    QFETCH(QString, path);
    QCOMPARE(m_root->path(QStringLiteral("/orba/run/reverseproxy.sock")), m_root->lpcid());
    if (!config.contains(QStringLiteral("lpcid")))
        config.insert(QStringLiteral("lpcid"), m_root->lpcid());
    m_root->writeConfig(config);
    QProcess server;
    if (liveServer) {
        QVERIFY(QDir().mkpath(QFileInfo(m_root->lpcid()).absolutePath()));
        QVERIFY(startSocketServer(server, m_root->lpcid(), 0666, false));
    }
    ServiceProcess service(*m_root);
    expectStartFailure(service, {QStringLiteral("--cfg"), configPath()}, cause, path);
    // The other server keeps its socket; the service leaves none behind.
    QCOMPARE(QFile::exists(m_root->lpcid()), liveServer);
    server.closeWriteChannel();
    QVERIFY(!liveServer || server.waitForFinished(30000));
}

// A socket file of another user cannot be the service's (its clients refuse
// to talk to it): a squatter's live server there, under a bare name in the
// temporary directory or a path, is replaced.
void TestServiceBadstate::squattedSocketIsReplaced_data()
{
    QTest::addColumn<bool>("bareName");
    QTest::newRow("bare name in the temporary directory") << true;
    QTest::newRow("a path") << false;
}

void TestServiceBadstate::squattedSocketIsReplaced()
{
    QFETCH(bool, bareName);
    if (!canActAsNobody())
        QSKIP("needs root, setpriv and python3 to act as another user");
    openToOthers(m_root->root());
    const QString shared = m_root->path(bareName ? QStringLiteral("/tmp") : QStringLiteral("/orba/run"));
    QVERIFY(QDir().mkpath(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    const QString socket = shared + QStringLiteral("/reverseproxy.sock");
    QProcess squatter;
    QVERIFY(startSocketServer(squatter, socket, 0666, true));
    m_root->writeConfig({{QStringLiteral("lpcid"), bareName ? QStringLiteral("reverseproxy.sock") : socket}});
    ServiceProcess service(*m_root);
    service.setEnvironmentVariable(QStringLiteral("TMPDIR"), shared);
    QVERIFY(service.start({QStringLiteral("--cfg"), configPath()}));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(socket).ownerId() == ::geteuid() || !service.isRunning(), 30000);
    QVERIFY2(service.isRunning(), qPrintable(service.errors()));
    ServiceConnection client;
    QVERIFY(client.open(socket));
    QJsonObject answer;
    QVERIFY(client.request(command(QStringLiteral("reverseproxy_alload")), &answer));
    QCOMPARE(answer.value(QStringLiteral("err")).toInt(-1), 0);
    squatter.closeWriteChannel();
    QVERIFY(squatter.waitForFinished(30000));
}

// A second service started by hand on the same data directory refuses to
// start before it touches anything: the running one's files, staged and
// backup files and database stay as they were, and it goes on serving.
void TestServiceBadstate::secondInstanceChangesNothing()
{
    makeDatabase();
    ServiceProcess running(*m_root);
    QVERIFY(running.start({QStringLiteral("--cfg"), configPath()}, m_root->lpcid()));
    ServiceConnection client;
    QVERIFY(client.open(m_root->lpcid()));
    QJsonObject answer;
    QTRY_VERIFY_WITH_TIMEOUT(client.request(command(QStringLiteral("reverseproxy_status")), &answer)
                                 && answer.value(QStringLiteral("results")).toObject().value(QStringLiteral("reload"))
                                            .toObject().value(QStringLiteral("state")).toString() == QLatin1String("ok"),
                             60000);
    // A staged file and a backup as a change under way leaves them.
    const QString http = m_root->path(QStringLiteral("/orba/etc/reverseproxy/http.conf"));
    QVERIFY(writeTestFile(http + QStringLiteral(".a1b2c3"), "staged\n"));
    QVERIFY(writeTestFile(http + QStringLiteral(".old0"), "backup\n"));
    const QString data = m_root->path(QLatin1String(kConfDir));
    const auto snapshot = [&data] {
        QStringList files;
        QDirIterator it(data, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            files << info.filePath() + QLatin1Char(' ') + info.lastModified().toString(Qt::ISODateWithMs);
        }
        files.sort();
        return files;
    };
    const QStringList before = snapshot();
    ServiceProcess second(*m_root);
    expectStartFailure(second, {QStringLiteral("--cfg"), configPath()},
                       QStringLiteral("another instance runs on the data directory"), QLatin1String(kConfDir));
    QCOMPARE(snapshot(), before);
    QVERIFY(client.request(command(QStringLiteral("reverseproxy_alload")), &answer));
    QCOMPARE(answer.value(QStringLiteral("results")).toObject().size(), 40);
    running.signal(SIGTERM);
    QVERIFY(running.waitForExit());
}

void TestServiceBadstate::unusableConfiguration_data()
{
    QTest::addColumn<QByteArray>("content");   // null: a directory in its place
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("cause");
    QTest::newRow("not JSON") << QByteArray("{\"lpcid\": ") << 0640 << "the configuration is not JSON (";
    QTest::newRow("empty") << QByteArray("") << 0640 << "the configuration is not JSON (";
    QTest::newRow("a JSON array") << QByteArray("[\"lpcid\"]") << 0640 << "the configuration is not a JSON object";
    QTest::newRow("a directory") << QByteArray() << 0750 << "cannot read the configuration (";
    // Root under the unit has no capability to read past a file's mode.
    QTest::newRow("unreadable") << QByteArray("{\"lpcid\": \"x\"}") << 0 << "cannot read the configuration (";
}

// A configuration the service cannot use is named as such, not as one
// without a socket.
void TestServiceBadstate::unusableConfiguration()
{
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, cause);
    QVERIFY(QFile::remove(configPath()));
    if (content.isNull())
        QVERIFY(QDir().mkpath(configPath()));
    else
        QVERIFY(writeTestFile(configPath(), content));
    QCOMPARE(::chmod(QFile::encodeName(configPath()).constData(), mode_t(mode)), 0);
    ServiceProcess service(*m_root);
    if (mode == 0 && ::geteuid() == 0) {
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs setpriv to drop root's capabilities");
        service.setLauncher({QStringLiteral("setpriv"), QStringLiteral("--inh-caps=-all"),
                             QStringLiteral("--bounding-set=-all"), QStringLiteral("--")});
    }
    expectStartFailure(service, {QStringLiteral("--cfg"), configPath()}, cause,
                       QStringLiteral("/orba/etc/reverseproxy/config.json"));
}

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--hold-connections") == 0)
        return holdConnections(argv[2], std::atoi(argv[3]));
    QCoreApplication app(argc, argv);
    TestServiceBadstate test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_service_badstate.moc"
