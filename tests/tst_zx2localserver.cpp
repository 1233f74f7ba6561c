#include "zx2cabinet.h"
#include "zx2localserver.h"
#include "zx2rpcpacket.h"
#include "zx2todorouter.h"

#include <QLocalSocket>
#include <QMutex>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <future>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using Datagrams = QList<QByteArray>;
using Answers = QList<QJsonObject>;
Q_DECLARE_METATYPE(Datagrams)
Q_DECLARE_METATYPE(Answers)

namespace {

constexpr int WAIT_MS = 10000; // generous bound for a failing run, never a timing check

QByteArray datagram(const QJsonObject &object)
{
    return ZX2RpcPacket(object).toDatagram();
}

QJsonObject echo(int a)
{
    return {{"cmd", "echo"}, {"params", QJsonObject{{"a", a}}}};
}

// Runs a blocking client off the main thread while the main thread serves events.
template <typename F>
auto offMain(F function) -> decltype(function())
{
    auto future = std::async(std::launch::async, function);
    while (future.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        QCoreApplication::processEvents();
    return future.get();
}

// Writes the pieces one after another and reads count answers.
Answers exchange(QLocalSocket &socket, const Datagrams &pieces, int count)
{
    for (const QByteArray &piece : pieces) {
        socket.write(piece);
        socket.waitForBytesWritten(WAIT_MS);
        QThread::msleep(1); // lets the pieces arrive separately
    }
    Answers answers;
    QByteArray buffer;
    ZX2RpcPacket packet;
    while (answers.size() < count) {
        int result = packet.fromDatagram(buffer);
        if (result == 0)
            answers << packet;
        else if (result != 1 && !socket.waitForReadyRead(WAIT_MS))
            break;
        buffer.append(socket.readAll());
    }
    return answers;
}

Answers exchange(const QString &name, const Datagrams &pieces, int count)
{
    return offMain([&] {
        QLocalSocket socket;
        socket.connectToServer(name);
        if (!socket.waitForConnected(WAIT_MS))
            return Answers();
        return exchange(socket, pieces, count);
    });
}

bool isHelp(const QJsonObject &cmdObject)
{
    return cmdObject.contains("help");
}

sockaddr_un addressOf(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
    return address;
}

// A socket file at path; listening (and never accepting) when listening is
// set, else stale. Returns its descriptor.
int rawSocketFile(const QString &path, bool listening)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(path);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || !listening) {
        ::close(fd);
        return -1;
    }
    ::listen(fd, 16);
    return fd;
}

// A child process that became the user nobody, runs a body that reports one
// byte, and keeps its connections until it is let go. The body makes system
// calls only: the child is forked from a threaded process.
class NobodyChild
{
public:
    template <typename Body>
    bool start(Body body)
    {
        if (::pipe(m_report) != 0 || ::pipe(m_hold) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_report[0]);
            ::close(m_hold[1]);
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(1);
            char result = body();
            ssize_t n = ::write(m_report[1], &result, 1);
            n = ::read(m_hold[0], &result, 1); // until the parent closes its end
            ::_exit(int(n));
        }
        ::close(m_report[1]);
        ::close(m_hold[0]);
        return m_pid > 0;
    }
    // Serves this process's events until the child reports.
    bool wait(char *result)
    {
        pollfd reported{m_report[0], POLLIN, 0};
        QElapsedTimer bound;
        bound.start();
        while (::poll(&reported, 1, 0) == 0 && bound.elapsed() < 4 * WAIT_MS)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return (reported.revents & POLLIN) && ::read(m_report[0], result, 1) == 1;
    }
    ~NobodyChild()
    {
        if (m_pid <= 0)
            return;
        ::close(m_report[0]);
        ::close(m_hold[1]);
        ::waitpid(m_pid, nullptr, 0);
    }

private:
    pid_t m_pid = -1;
    int m_report[2] = {-1, -1};
    int m_hold[2] = {-1, -1};
};

} // namespace

class ChildRouter : public ZX2TodoRouter
{
    Q_OBJECT
private slots:
    void childcmd(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        if (isHelp(cmdObject))
            return;
        retObject->insert("ran", "childcmd");
        envObject->setErr(0);
    }
};

class TestRouter : public ZX2TodoRouter
{
    Q_OBJECT
public:
    int recordedValue()
    {
        QMutexLocker locker(&lock);
        return recorded.value("r").toInt();
    }

private:
    QMutex lock;
    QJsonObject recorded;

private slots:
    void echo(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        if (isHelp(cmdObject)) {
            retObject->insert("comment", "echo");
            return;
        }
        retObject->insert("results", cmdObject.value("params"));
        envObject->setErr(0);
    }
    // An answer of "mib" MiB.
    void bulk(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        if (isHelp(cmdObject))
            return;
        const int mib = cmdObject.value("params").toObject().value("mib").toInt();
        retObject->insert("results", QString(mib * 1024 * 1024, 'b'));
        envObject->setErr(0);
    }
    void fail(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(retObject)
        if (isHelp(cmdObject))
            return;
        envObject->add("fail", "failing", false, "why");
        envObject->setErr(9995, "bad");
    }
    void which(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(cmdObject)
        retObject->insert("via", "plain");
        envObject->setErr(0);
    }
    void __LS__which(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(cmdObject)
        retObject->insert("via", "local");
        envObject->setErr(0);
    }
    void _hidden(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(cmdObject)
        retObject->insert("ran", "_hidden");
        envObject->setErr(0);
    }
    void unlisted(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(envObject)
        if (isHelp(cmdObject))
            retObject->insert("unpublished", true);
    }
    void record(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(retObject)
        if (isHelp(cmdObject))
            return;
        QMutexLocker locker(&lock);
        recorded = cmdObject.value("params").toObject();
        envObject->setErr(0);
    }
};

class TestZX2LocalServer : public QObject
{
    Q_OBJECT
    TestRouter router;
    ChildRouter child;
    QTemporaryDir dir;
    ZX2LocalServer *server = nullptr;
    QString name;

    // Starts server at path in publicDir, which other users may enter.
    bool startPublic(ZX2LocalServer &shared, const QTemporaryDir &publicDir, const QString &path)
    {
        shared.add(&router);
        return QFile::setPermissions(publicDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                           | QFile::ExeGroup | QFile::ExeOther)
            && shared.start(path);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        router.add(&child);
    }

    void init()
    {
        static int count = 0;
        name = dir.filePath(QString("rpc%1.sock").arg(++count));
        server = new ZX2LocalServer;
        server->add(&router);
        QVERIFY(server->start(name));
        QCOMPARE(server->name(), name);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void answers_data()
    {
        QTest::addColumn<Datagrams>("writes");
        QTest::addColumn<Answers>("expected");
        const QString missing = QString::fromUtf8(u8"被调用的方法不存在: ");
        QTest::newRow("unknown command")
            << Datagrams{datagram({{"cmd", "nothing"}})}
            << Answers{{{"err", 9885}, {"errmsg", missing + "nothing"}}};
        QTest::newRow("no command")
            << Datagrams{datagram({{"params", QJsonObject()}})}
            << Answers{{{"err", 9885}, {"errmsg", missing}}};
        QTest::newRow("blanks around command")
            << Datagrams{datagram({{"cmd", " echo\t"}, {"params", QJsonObject{{"a", 1}}}})}
            << Answers{{{"err", 0}, {"results", QJsonObject{{"a", 1}}}}};
        QTest::newRow("two requests in one write")
            << Datagrams{datagram(echo(1)) + datagram(echo(2))}
            << Answers{{{"results", QJsonObject{{"a", 1}}}}, {{"results", QJsonObject{{"a", 2}}}}};
        QTest::newRow("keep-alive and empty object unanswered")
            << Datagrams{ZX2RpcPacket::keepAlive(), datagram({}) + ZX2RpcPacket::keepAlive() + datagram(echo(3))}
            << Answers{{{"results", QJsonObject{{"a", 3}}}}};
        QTest::newRow("local variant first")
            << Datagrams{datagram({{"cmd", "which"}})} << Answers{{{"via", "local"}}};
        QTest::newRow("underscore slot")
            << Datagrams{datagram({{"cmd", "_hidden"}})} << Answers{{{"ran", "_hidden"}, {"err", 0}}};
        QTest::newRow("child router")
            << Datagrams{datagram({{"cmd", "childcmd"}})} << Answers{{{"ran", "childcmd"}}};
        QTest::newRow("failure without details")
            << Datagrams{datagram({{"cmd", "fail"}})}
            << Answers{{{"err", 9995}, {"errmsg", "bad"}, {"elapsed", QJsonValue()}, {"journals", QJsonValue()}}};
        QTest::newRow("success drops message")
            << Datagrams{datagram({{"cmd", "fail"}}) + datagram(echo(4))}
            << Answers{{{"err", 9995}}, {{"err", 0}, {"errmsg", QJsonValue()}}};
    }
    void answers()
    {
        QFETCH(Datagrams, writes);
        QFETCH(Answers, expected);
        const Answers got = exchange(name, writes, expected.size());
        QCOMPARE(got.size(), expected.size());
        for (int i = 0; i < got.size(); ++i) {
            // A null expectation means the key must be absent.
            for (auto it = expected[i].constBegin(); it != expected[i].constEnd(); ++it) {
                if (it.value().isNull())
                    QVERIFY2(!got[i].contains(it.key()), qPrintable(it.key()));
                else
                    QCOMPARE(got[i].value(it.key()), it.value());
            }
        }
    }

    void requestInManyPieces()
    {
        const QByteArray whole = datagram(echo(5));
        Datagrams pieces;
        for (int i = 0; i < whole.size(); i += 7)
            pieces << whole.mid(i, 7);
        const Answers got = exchange(name, pieces, 1);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].value("results").toObject().value("a").toInt(), 5);
    }

    void debuggingDetails()
    {
        server->setDebugging(true);
        const Answers got = exchange(name, {datagram({{"cmd", "fail"}})}, 1);
        QCOMPARE(got.size(), 1);
        QVERIFY(got[0].value("elapsed").isDouble());
        QCOMPARE(got[0].value("journals").toArray().size(), 1);
        QCOMPARE(got[0].value("errmsg").toString(), QString("bad"));
    }

    void helpInterfaces()
    {
        const Answers got = exchange(name, {datagram({{"cmd", "help_interfaces"}})}, 1);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].value("err").toInt(), 0);
        QVERIFY(!got[0].contains("errmsg"));
        const QJsonObject results = got[0].value("results").toObject();
        QCOMPARE(results.keys(), QStringList({"bulk", "childcmd", "echo", "fail", "help_interfaces", "record", "which"}));
        QCOMPARE(results.value("fail").toObject().value("comment").toString(),
                 QString::fromUtf8(u8"<<此接口没有提供使用说明>>"));
    }

    void badStreamClosesConnection_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("garbage") << QByteArray("GARBAGE, NOT A DATAGRAM");
        QByteArray header("\x00zx\x01\x01\x05\x00\x00\x00\x00\x00\x00\x00\xFF\xFF\xFF", 16);
        QTest::newRow("bad json") << header + QByteArray("{nope");
        QByteArray huge = header;
        huge[8] = char(0x7F); // declares about 2 GB of text
        QTest::newRow("over the size limit") << huge;
    }
    void badStreamClosesConnection()
    {
        QFETCH(QByteArray, bytes);
        const bool closed = offMain([&] {
            QLocalSocket good, bad;
            good.connectToServer(name);
            bad.connectToServer(name);
            if (!good.waitForConnected(WAIT_MS) || !bad.waitForConnected(WAIT_MS))
                return false;
            bad.write(bytes + datagram(echo(6)));
            bad.waitForBytesWritten(WAIT_MS);
            const bool disconnected = bad.state() == QLocalSocket::UnconnectedState
                || bad.waitForDisconnected(WAIT_MS);
            const bool nothingAnswered = bad.readAll().isEmpty();
            const Answers answers = exchange(good, {datagram(echo(7))}, 1);
            return disconnected && nothingAnswered && answers.size() == 1
                && answers[0].value("results").toObject().value("a").toInt() == 7;
        });
        QVERIFY(closed);
    }

    void staleSocketFile()
    {
        const QString path = dir.filePath("stale.sock");
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        QVERIFY(QFileInfo::exists(path));

        ZX2LocalServer stale;
        QVERIFY(stale.start(path));
        QVERIFY(stale.isRunning());
        ZX2LocalServer second; // the name is now served: it must not be taken over
        QVERIFY(!second.start(path));
        QVERIFY(stale.isRunning());
    }

    // With a group the socket is owner- and group-only from the moment it
    // appears; it replaces a stale file and goes away with the server.
    void groupSocket()
    {
        const QString path = dir.filePath("group.sock");
        QFile stale(path);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        const group *own = ::getgrgid(::getegid());
        QVERIFY(own);
        ZX2LocalServer restricted;
        restricted.add(&router);
        restricted.setSocketGroup(QString::fromLocal8Bit(own->gr_name));
        QVERIFY(restricted.start(path));
        struct stat info{};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        QCOMPARE(info.st_mode & 07777, mode_t(0660));
        QCOMPARE(info.st_gid, ::getegid());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot)
                     .filter(".socket-").size(), 0);
        const Answers got = exchange(path, {datagram(echo(3))}, 1);
        QCOMPARE(got.size(), 1);
        restricted.stop();
        QVERIFY(!QFileInfo::exists(path));
        ZX2LocalServer unknown;
        unknown.setSocketGroup("no-such-group-here");
        QVERIFY(!unknown.start(path));
    }

    void missingDirectory()
    {
        const QString path = dir.filePath("a/b/c/rpc.sock");
        ZX2LocalServer nested;
        QVERIFY(nested.start(path));
        QVERIFY(QFileInfo::exists(path));
        nested.stop();
        QVERIFY(!nested.isRunning());
    }

    void localRequest_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("trusted"); // whether this user is among the trusted ones
        QTest::addColumn<bool>("waits");
        QTest::addColumn<int>("outcome");
        QTest::newRow("answered") << "server" << true << true << int(ZX2LocalServer::Answered);
        QTest::newRow("sent without waiting") << "server" << true << false << int(ZX2LocalServer::Answered);
        QTest::newRow("untrusted server") << "server" << false << true << int(ZX2LocalServer::Foreign);
        QTest::newRow("no socket") << "none" << true << true << int(ZX2LocalServer::NotRunning);
        QTest::newRow("stale socket file") << "stale" << true << true << int(ZX2LocalServer::NotRunning);
        QTest::newRow("never answers") << "silent" << true << true << int(ZX2LocalServer::TimedOut);
        QTest::newRow("closes at once") << "closing" << true << true << int(ZX2LocalServer::Dropped);
    }
    void localRequest()
    {
        QFETCH(QString, peer);
        QFETCH(bool, trusted);
        QFETCH(bool, waits);
        QFETCH(int, outcome);
        const QString path = peer == "server" ? name : dir.filePath(peer + ".sock");
        QLocalServer closing;
        QObject::connect(&closing, &QLocalServer::newConnection, [&] {
            while (QLocalSocket *connection = closing.nextPendingConnection())
                connection->abort();
        });
        QVERIFY(peer != "closing" || closing.listen(path));
        const int fd = peer == "silent" || peer == "stale" ? rawSocketFile(path, peer == "silent") : -1;
        static int serial = 0;
        const QJsonObject record{{"cmd", "record"}, {"params", QJsonObject{{"r", ++serial}}}};
        const QList<uint> trust{trusted ? uint(::geteuid()) : uint(::geteuid()) + 1};
        QJsonObject answer{{"untouched", true}};
        uint peerUid = 0;
        const int got = offMain([&] {
            return int(ZX2LocalServer::localRequest(path, record, waits ? &answer : nullptr, 1, trust, &peerUid));
        });
        if (fd >= 0)
            ::close(fd);
        QCOMPARE(got, outcome);
        QCOMPARE(answer.contains("untouched"), !waits || outcome != ZX2LocalServer::Answered);
        if (outcome == ZX2LocalServer::Answered)
            QTRY_COMPARE(router.recordedValue(), serial);
        else
            QVERIFY(router.recordedValue() != serial);
        if (outcome == ZX2LocalServer::Foreign)
            QCOMPARE(peerUid, uint(::geteuid()));
    }

    // More clients than the process has descriptors for must not leave the
    // listener dead once they are gone. The clients live in a child process
    // so that only the server's descriptors count against this one's limit.
    void descriptorFloodLeavesServerServing()
    {
#ifdef __SANITIZE_THREAD__
        QSKIP("a child forked from a threaded process may hang inside ThreadSanitizer's runtime");
#endif
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = qMin<rlim_t>(128, saved.rlim_max);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof address.sun_path);
        int ready[2];
        int hold[2];
        QCOMPARE(::pipe(ready), 0);
        QCOMPARE(::pipe(hold), 0);
        const pid_t clients = ::fork();
        if (clients == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            ::setrlimit(RLIMIT_NOFILE, &saved);
            // A listener that no longer accepts must not block the child for good.
            const timeval connectBound{0, 200 * 1000};
            const time_t giveUp = ::time(nullptr) + 5;
            for (int i = 0; i < 300 && ::time(nullptr) < giveUp; ++i) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &connectBound, sizeof connectBound);
                ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
            }
            char byte = 1;
            ssize_t n = ::write(ready[1], &byte, 1);
            n = ::read(hold[0], &byte, 1); // until the parent closes its end
            ::_exit(int(n));
        }
        ::close(ready[1]);
        ::close(hold[0]);
        pollfd connected{ready[0], POLLIN, 0};
        QElapsedTimer bound;
        bound.start();
        while (::poll(&connected, 1, 0) == 0 && bound.elapsed() < 4 * WAIT_MS)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ::close(ready[0]);
        ::close(hold[1]);
        ::waitpid(clients, nullptr, 0);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(connected.revents & POLLIN);
        const Answers answers = exchange(name, {datagram(echo(5))}, 1);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0].value("results").toObject().value("a").toInt(), 5);
    }

    // The datagram budget is charged for bytes received, per user: another
    // user's connections declaring the largest datagrams and sending little
    // hold nothing, one user cannot hold more than a quarter of the budget,
    // and root's request is answered meanwhile. The other user is a child
    // process that became nobody; it reports whether its first large
    // datagram was kept open and its second (past the share) closed.
    void datagramBudgetPerUser()
    {
#ifdef __SANITIZE_THREAD__
        QSKIP("a child forked from a threaded process may hang inside ThreadSanitizer's runtime");
#endif
        if (::geteuid() != 0)
            QSKIP("needs root to connect as another user");
        QTemporaryDir publicDir;
        const QString path = publicDir.filePath("shared.sock");
        ZX2LocalServer shared;
        QVERIFY(startPublic(shared, publicDir, path));
        const sockaddr_un address = addressOf(path);
        auto header = [](quint32 total) {
            QByteArray bytes("\x00zx\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff", 16);
            qToLittleEndian<quint32>(total - 16, bytes.data() + 5);
            return bytes;
        };
        const QByteArray declaredOnly = header(quint32(ZX2RpcPacket::maximumLength())) + ' ';
        const QByteArray large = header(60 * 1024 * 1024) + QByteArray(40 * 1024 * 1024, ' ');
        NobodyChild other;
        QVERIFY(other.start([&] {
            auto connected = [&] {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                return ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? fd : -1;
            };
            auto sent = [](int fd, const QByteArray &bytes) {
                for (qint64 done = 0; done < bytes.size();) {
                    const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
                    if (n <= 0)
                        return false;
                    done += n;
                }
                return true;
            };
            for (int i = 0; i < 4; ++i)
                sent(connected(), declaredOnly);
            const int first = connected();
            const bool firstSent = sent(first, large);
            const int second = connected();
            const bool secondSent = sent(second, large);
            pollfd closed{first, POLLIN, 0};
            const bool firstOpen = firstSent && ::poll(&closed, 1, 0) == 0;
            return char((firstOpen ? 1 : 0) | (secondSent ? 0 : 2));
        }));
        char result = 0;
        const bool got = other.wait(&result);
        QJsonObject params;
        params.insert("text", QString(90 * 1024, 'r'));
        const Answers answers = exchange(path, {datagram({{"cmd", "echo"}, {"params", params}})}, 1);
        QVERIFY(got);
        QCOMPARE(int(result), 3);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0].value("results").toObject(), params);
    }

    // Answers another user does not read count against that user's share of
    // the budget: of eight unread 20 MiB answers some fit, the others close
    // their connections, and root is answered meanwhile. The other user is a
    // child process that became nobody; it reports how many of its
    // connections were closed once each has an answer or was closed.
    void unreadAnswersCountAgainstBudget()
    {
#ifdef __SANITIZE_THREAD__
        QSKIP("a child forked from a threaded process may hang inside ThreadSanitizer's runtime");
#endif
        if (::geteuid() != 0)
            QSKIP("needs root to connect as another user");
        QTemporaryDir publicDir;
        const QString path = publicDir.filePath("shared.sock");
        ZX2LocalServer shared;
        QVERIFY(startPublic(shared, publicDir, path));
        const sockaddr_un address = addressOf(path);
        const QByteArray request = datagram({{"cmd", "bulk"}, {"params", QJsonObject{{"mib", 20}}}});
        std::vector<pollfd> connections(8);
        NobodyChild other;
        QVERIFY(other.start([&] {
            for (pollfd &connection : connections) {
                connection = {::socket(AF_UNIX, SOCK_STREAM, 0), POLLIN | POLLRDHUP, 0};
                if (::connect(connection.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
                    || ::send(connection.fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
                    return char(-1);
            }
            // Bytes to read or the end: every request was served or refused.
            const time_t giveUp = ::time(nullptr) + 30;
            auto pending = [&] {
                ::poll(connections.data(), connections.size(), 1000);
                return std::any_of(connections.begin(), connections.end(),
                                   [](const pollfd &connection) { return connection.revents == 0; });
            };
            while (pending() && ::time(nullptr) < giveUp) {
            }
            return char(std::count_if(connections.begin(), connections.end(), [](const pollfd &connection) {
                return (connection.revents & (POLLHUP | POLLRDHUP)) != 0;
            }));
        }));
        char closed = 0;
        QVERIFY(other.wait(&closed));
        const Answers answers = exchange(path, {datagram(echo(3))}, 1);
        QVERIFY2(closed > 0 && closed < 8, qPrintable(QString::number(closed)));
        QCOMPARE(answers.size(), 1);
    }

    // However many connections users other than root hold, root still gets
    // one: with 64 connections at most (half the descriptor limit), another
    // user's 64 must leave room. That user is a child process that became
    // nobody and reports how many of its connections were answered.
    void rootKeepsAConnection()
    {
#ifdef __SANITIZE_THREAD__
        QSKIP("a child forked from a threaded process may hang inside ThreadSanitizer's runtime");
#endif
        if (::geteuid() != 0)
            QSKIP("needs root to connect as another user");
        QTemporaryDir publicDir;
        const QString path = publicDir.filePath("shared.sock");
        ZX2LocalServer shared;
        QVERIFY(startPublic(shared, publicDir, path));
        const sockaddr_un address = addressOf(path);
        const QByteArray request = datagram(echo(1));
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = qMin<rlim_t>(128, saved.rlim_max);
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &low), 0);
        NobodyChild other;
        const bool started = other.start([&] {
            int answered = 0;
            char reply[256];
            for (int i = 0; i < 64; ++i) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                // A closed connection reads as its end, or as reset when it had unread bytes.
                if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
                    && ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()
                    && ::recv(fd, reply, sizeof reply, 0) > 0)
                    ++answered;
            }
            return char(answered);
        });
        char answered = 0;
        const bool got = started && other.wait(&answered);
        const Answers answers = exchange(path, {datagram(echo(2))}, 1);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        QVERIFY(got);
        QVERIFY(answered > 0);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(answers[0].value("results").toObject().value("a").toInt(), 2);
    }

    void destructionEndsOpenConnections()
    {
        std::atomic<bool> answered{false};
        auto client = std::async(std::launch::async, [&] {
            QLocalSocket socket;
            socket.connectToServer(name);
            if (!socket.waitForConnected(WAIT_MS) || exchange(socket, {datagram(echo(1))}, 1).size() != 1)
                return false;
            answered = true;
            return socket.state() == QLocalSocket::UnconnectedState || socket.waitForDisconnected(WAIT_MS);
        });
        while (!answered && client.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
            QCoreApplication::processEvents();
        QVERIFY(answered);
        delete server; // must not hang on the idle connection, and must close it
        server = nullptr;
        QVERIFY(offMain([&] { return client.get(); }));
    }
};

QTEST_GUILESS_MAIN(TestZX2LocalServer)
#include "tst_zx2localserver.moc"
