#include "zx2localserver.h"

#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2localsocket.h"
#include "zx2rpcpacket.h"
#include "zx2todorouter.h"
#include "zx2utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocalSocket>
#include <QSet>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A client that cannot reach the server in this long finds no server there.
constexpr int kConnectWaitMs = 2000;
// A live server answers a probe at once; a stale socket file refuses it.
constexpr int kProbeWaitMs = 500;
// Clients waiting to be accepted while the main thread is busy.
constexpr int kMaxPendingConnections = 1024;
// Each connection has a thread of its own; past this many threads a spike of
// clients could exhaust the process's thread allowance.
constexpr int kMaxConnections = 1024;
// Slots one local user (other than root) may hold, so that a flood from one
// account leaves room for the others and for the appliance's own back end.
constexpr int kMaxConnectionsPerUser = 64;
// One in this many slots is root's alone: however many users flood the
// server, the appliance's own requests still get a connection.
constexpr int kRootReserveShare = 8;
// Requests of one user other than root served at once. An answer is built
// before its size is known, so its memory can only be bounded by how many
// are built together: a listing of a large table takes several times its
// size while it is built.
constexpr int kRequestsPerUser = 1;
// Requests of users other than root served at once, all users together: each
// user's own turn alone would let every user build a large listing at the
// same time, each taking several times its size. Once built, an answer is
// charged to its user's budget like a datagram.
constexpr int kRequestsOfUsers = 1;
// Bytes held for unfinished datagrams of all connections together: many
// clients sending large datagrams must not drive the service out of memory.
constexpr qint64 kDatagramBudget = 256 * 1024 * 1024;
// What one local user other than root may hold (one datagram of the
// protocol's largest size), and what all of them together may: the rest is
// root's, so that the appliance's own requests never wait for other users.
constexpr qint64 kDatagramUserShare = kDatagramBudget / 4;
constexpr qint64 kDatagramUsersBudget = kDatagramBudget - kDatagramUserShare;
// On shutdown, the running requests finish within the 10 s an init system
// grants before it kills the service.
constexpr std::chrono::milliseconds kStopWait{8000};
// Mode of a socket restricted to its owner and group.
constexpr mode_t kGroupSocketMode = 0660;


// How many connections are served at once. Each holds a descriptor, and once
// the process runs out of them the local-socket layer fails to accept and
// closes the listener for good; half of the descriptors stay for everything
// else (database, files, child processes).
int connectionLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxConnections;
    return int(qMin<rlim_t>(limit.rlim_cur / 2, kMaxConnections));
}

// Whether a server answers under name, so that its socket file is not stale.
bool isServed(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(kProbeWaitMs);
}

// Whether the socket file at path belongs to a user other than root and this
// process's: no server of this program made it (clients refuse to talk to
// it), so a squatter's live socket does not keep the name.
bool foreignSocket(const QString &path)
{
    struct stat info{};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid != 0
        && info.st_uid != ::geteuid();
}

// The id of the group named name; false when there is none.
bool groupId(const QString &name, gid_t &gid)
{
    group entry{};
    group *found = nullptr;
    QByteArray scratch(16 * 1024, Qt::Uninitialized);
    if (::getgrnam_r(name.toLocal8Bit().constData(), &entry, scratch.data(), size_t(scratch.size()), &found) != 0
        || !found)
        return false;
    gid = found->gr_gid;
    return true;
}

// False when path is too long for a socket address.
bool toAddress(const QByteArray &path, sockaddr_un &address)
{
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    return true;
}

// Waits until every written byte has left; false when that does not happen in time.
bool drain(QLocalSocket &socket, const QElapsedTimer &timer, qint64 limitMs)
{
    while (socket.bytesToWrite() > 0) {
        const qint64 remaining = limitMs - timer.elapsed();
        if (remaining <= 0 || !socket.waitForBytesWritten(int(remaining)))
            return false;
    }
    return true;
}

// Decodes the first non-empty packet of buffer: 1 found, 0 need more, -1 malformed.
int takeAnswer(QByteArray &buffer, QJsonObject &answer)
{
    ZX2RpcPacket packet;
    for (;;) {
        switch (packet.fromDatagram(buffer)) {
        case ZX2RpcPacket::DecodeOk:
            if (!packet.isEmpty()) {
                answer = packet;
                return 1;
            }
            break;
        case ZX2RpcPacket::DecodeKeepAlive:
            break;
        case ZX2RpcPacket::DecodeIncomplete:
            return 0;
        default:
            return -1;
        }
    }
}

} // namespace

class ZX2LocalServerPrivate
{
public:
    bool debugging = false;
    QString name;
    ZX2TodoRouter root{nullptr};

    // Ends the open connections and waits for their threads, at most limit.
    bool endConnections(std::chrono::milliseconds limit);

    QString group;
    // The socket file start() put in place itself, removed again by stop().
    QString socketFile;
    // Bytes of unfinished datagrams held: in all, by users other than root,
    // and by each such user.
    std::mutex budgetLock;
    qint64 datagramBytes = 0;
    qint64 userBytes = 0;
    QHash<uint, qint64> bytesOf;

    // Requests in service of each user other than root, and of all of them.
    std::mutex turnLock;
    std::condition_variable turnFree;
    QHash<uint, int> requestsOf;
    int userRequests = 0;

    std::mutex connectionsLock;
    std::condition_variable connectionsGone;
    QSet<ZX2LocalSocket *> connections;
    QHash<uint, int> perUser; // open connections of each peer uid
};

bool ZX2LocalServerPrivate::endConnections(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> locker(connectionsLock);
    for (ZX2LocalSocket *connection : qAsConst(connections))
        connection->requestStop();
    {
        // Taken so that no connection misses the wake-up between its check and its wait.
        std::lock_guard<std::mutex> turns(turnLock);
    }
    turnFree.notify_all();
    return connectionsGone.wait_for(locker, limit, [this] { return connections.isEmpty(); });
}

ZX2LocalServer::ZX2LocalServer(QObject *parent)
    : QLocalServer(parent)
    , d(new ZX2LocalServerPrivate)
{
    setMaxPendingConnections(kMaxPendingConnections);
    setSocketOptions(QLocalServer::WorldAccessOption);
}

ZX2LocalServer::~ZX2LocalServer()
{
    stop();
    // The connection threads use this object: wait for them, however long.
    while (!d->endConnections(kStopWait)) {
    }
    delete d;
}

bool ZX2LocalServer::closeConnections()
{
    return d->endConnections(kStopWait);
}

bool ZX2LocalServer::debugging() const
{
    return d->debugging;
}

void ZX2LocalServer::setDebugging(bool debugging)
{
    d->debugging = debugging;
}

QString ZX2LocalServer::name() const
{
    return d->name;
}

QString ZX2LocalServer::socketGroup() const
{
    return d->group;
}

void ZX2LocalServer::setSocketGroup(const QString &group)
{
    d->group = group;
}

bool ZX2LocalServer::isRunning() const
{
    return isListening();
}

bool ZX2LocalServer::start(QString name)
{
    if (isListening())
        return true;
    if (name.contains(QLatin1Char('/')))
        QDir().mkpath(QFileInfo(socketPath(name)).absolutePath());
    // Listening replaces an existing socket file, so a live server must be
    // detected first: its name is not ours to take, unless another user
    // squats it.
    if (isServed(name) && !foreignSocket(socketPath(name)))
        return false;
    if (!d->group.isEmpty()) {
        if (!listenRestricted(socketPath(name)))
            return false;
        d->name = name;
        return true;
    }
    bool listening = listen(name);
    if (!listening && serverError() == QAbstractSocket::AddressInUseError) {
        QLocalServer::removeServer(name);
        listening = listen(name);
    }
    if (!listening)
        return false;
    d->name = name;
    return true;
}

// Binds in a directory only the owner can enter, gives the socket its mode
// and group there, and renames it into place: nobody outside the group can
// connect at any moment, and a stale socket file is replaced in one step.
bool ZX2LocalServer::listenRestricted(const QString &path)
{
    gid_t gid = 0;
    if (!groupId(d->group, gid))
        return false;
    const QByteArray target = QFile::encodeName(path);
    QByteArray staging = QFile::encodeName(QFileInfo(path).absolutePath()) + "/.socket-XXXXXX";
    if (!::mkdtemp(staging.data()))
        return false;
    const QByteArray directory = staging;
    staging += "/s";
    sockaddr_un address{};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool placed = fd >= 0 && toAddress(staging, address)
        && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::listen(fd, kMaxPendingConnections) == 0 && ::chmod(staging.constData(), kGroupSocketMode) == 0
        && ::chown(staging.constData(), uid_t(-1), gid) == 0 && ::rename(staging.constData(), target.constData()) == 0;
    ::unlink(staging.constData());
    ::rmdir(directory.constData());
    if (placed && listen(qintptr(fd))) {
        d->socketFile = path;
        return true;
    }
    if (placed)
        ::unlink(target.constData());
    if (fd >= 0)
        ::close(fd);
    return false;
}

void ZX2LocalServer::stop()
{
    if (isListening())
        close();
    if (!d->socketFile.isEmpty()) {
        QFile::remove(d->socketFile);
        d->socketFile.clear();
    }
}

void ZX2LocalServer::add(ZX2TodoRouter *router)
{
    d->root.add(router);
}

bool ZX2LocalServer::doCall(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet)
{
    if (d->root.doCall(answer, request, cabinet))
        return true;
    if (d->root.doSlot(answer, request, cabinet))
        return true;
    if (cabinet) {
        cabinet->setErr(ZX2Error::ERR_MISSING, QStringLiteral(u"被调用的方法不存在: ")
                                                   + toString(request.value(QLatin1String("cmd"))));
    }
    return false;
}

void ZX2LocalServer::incomingConnection(quintptr socketDescriptor)
{
    const uint uid = ZX2LocalSocket::uidOf(socketDescriptor);
    const int limit = connectionLimit();
    bool full = false;
    {
        std::lock_guard<std::mutex> locker(d->connectionsLock);
        const int users = d->connections.size() - d->perUser.value(0);
        full = d->connections.size() >= limit
            || (uid != 0
                && (d->perUser.value(uid) >= kMaxConnectionsPerUser
                    || users >= limit - qMax(1, limit / kRootReserveShare)));
    }
    if (full) {
        ::close(int(socketDescriptor)); // the peer sees the connection closed
        return;
    }
    new ZX2LocalSocket(this, socketDescriptor, &d->debugging);
}

void ZX2LocalServer::attach(ZX2LocalSocket *connection)
{
    std::lock_guard<std::mutex> locker(d->connectionsLock);
    d->connections.insert(connection);
    ++d->perUser[connection->peerUid()];
}

void ZX2LocalServer::detach(ZX2LocalSocket *connection)
{
    std::lock_guard<std::mutex> locker(d->connectionsLock);
    d->connections.remove(connection);
    const uint uid = connection->peerUid();
    if (--d->perUser[uid] <= 0)
        d->perUser.remove(uid);
    d->connectionsGone.notify_all();
}

bool ZX2LocalServer::reserveDatagram(uint uid, qint64 bytes)
{
    std::lock_guard<std::mutex> locker(d->budgetLock);
    if (d->datagramBytes + bytes > kDatagramBudget)
        return false;
    if (uid != 0) {
        const qint64 own = d->bytesOf.value(uid);
        if (own + bytes > kDatagramUserShare || d->userBytes + bytes > kDatagramUsersBudget)
            return false;
        d->bytesOf.insert(uid, own + bytes);
        d->userBytes += bytes;
    }
    d->datagramBytes += bytes;
    return true;
}

void ZX2LocalServer::releaseDatagram(uint uid, qint64 bytes)
{
    std::lock_guard<std::mutex> locker(d->budgetLock);
    d->datagramBytes -= bytes;
    if (uid == 0)
        return;
    d->userBytes -= bytes;
    qint64 &own = d->bytesOf[uid];
    own -= bytes;
    if (own <= 0)
        d->bytesOf.remove(uid);
}

bool ZX2LocalServer::beginRequest(uint uid, const std::atomic<bool> &stop)
{
    if (uid == 0)
        return true;
    std::unique_lock<std::mutex> locker(d->turnLock);
    d->turnFree.wait(locker, [&] {
        return stop || (d->requestsOf.value(uid) < kRequestsPerUser && d->userRequests < kRequestsOfUsers);
    });
    if (stop)
        return false;
    ++d->requestsOf[uid];
    ++d->userRequests;
    return true;
}

void ZX2LocalServer::endRequest(uint uid)
{
    if (uid == 0)
        return;
    {
        std::lock_guard<std::mutex> locker(d->turnLock);
        if (--d->requestsOf[uid] <= 0)
            d->requestsOf.remove(uid);
        --d->userRequests;
    }
    d->turnFree.notify_all();
}

qint64 ZX2LocalServer::datagramShare(uint uid)
{
    return uid == 0 ? kDatagramBudget : kDatagramUserShare;
}

ZX2LocalServer::Outcome ZX2LocalServer::localRequest(const QString &name, const QJsonObject &request,
                                                     QJsonObject *answer, int timeout, const QList<uint> &trusted,
                                                     uint *peerUid)
{
    QElapsedTimer timer;
    timer.start();
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kConnectWaitMs))
        return socket.error() == QLocalSocket::SocketAccessError ? Denied : NotRunning;
    // On this very connection: a second one could reach another server.
    const uint uid = ZX2LocalSocket::uidOf(quintptr(socket.socketDescriptor()));
    if (peerUid)
        *peerUid = uid;
    if (!trusted.isEmpty() && !trusted.contains(uid))
        return Foreign;
    socket.write(ZX2RpcPacket(request).toDatagram());
    socket.flush();
    const bool waiting = answer && timeout > 0;
    const qint64 limit = waiting ? qint64(timeout) * 1000 : timer.elapsed() + kWriteWaitMs;
    if (!drain(socket, timer, limit))
        return socket.state() == QLocalSocket::ConnectedState ? TimedOut : Dropped;
    if (!waiting)
        return Answered;

    QByteArray buffer;
    QJsonObject received;
    for (;;) {
        buffer.append(socket.readAll());
        const int found = takeAnswer(buffer, received);
        if (found > 0) {
            socket.disconnectFromServer();
            *answer = received;
            return Answered;
        }
        if (found < 0 || socket.state() != QLocalSocket::ConnectedState)
            return Dropped;
        const qint64 remaining = limit - timer.elapsed();
        if (remaining <= 0)
            return TimedOut;
        socket.waitForReadyRead(int(remaining));
    }
}

QString ZX2LocalServer::socketPath(const QString &name)
{
    // Where the local-socket layer puts a name.
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}
