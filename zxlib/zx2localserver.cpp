#include "zx2localserver.h"

#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2localsocket.h"
#include "zx2rpcpacket.h"
#include "zx2todorouter.h"
#include "zx2utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSet>

#include <condition_variable>
#include <mutex>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int CONNECT_WAIT_MS = 2000;
constexpr int WRITE_WAIT_MS = 30000;
constexpr int PROBE_WAIT_MS = 500;
// Each connection has a thread of its own; past this many threads a spike of
// clients could exhaust the process's thread allowance.
constexpr int MAX_CONNECTIONS = 1024;

// Where the local-socket layer puts a server name: relative names (with or
// without directories) go below the temporary directory.
QString socketPath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

// How many connections are served at once. Each holds a descriptor, and once
// the process runs out of them the local-socket layer fails to accept and
// closes the listener for good; half of the descriptors stay for everything
// else (database, files, child processes).
int connectionLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return MAX_CONNECTIONS;
    return int(qMin<rlim_t>(limit.rlim_cur / 2, MAX_CONNECTIONS));
}

// Whether a server answers under name, so that its socket file is not stale.
bool isServed(const QString &name)
{
    QLocalSocket probe;
    probe.connectToServer(name);
    return probe.waitForConnected(PROBE_WAIT_MS);
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

    std::mutex connectionsLock;
    std::condition_variable connectionsGone;
    QSet<ZX2LocalSocket *> connections;
};

ZX2LocalServer::ZX2LocalServer(QObject *parent)
    : QLocalServer(parent)
    , d(new ZX2LocalServerPrivate)
{
    setMaxPendingConnections(1024);
    setSocketOptions(QLocalServer::WorldAccessOption);
}

ZX2LocalServer::~ZX2LocalServer()
{
    stop();
    closeConnections();
    delete d;
}

void ZX2LocalServer::closeConnections()
{
    std::unique_lock<std::mutex> locker(d->connectionsLock);
    for (ZX2LocalSocket *connection : qAsConst(d->connections))
        connection->requestStop();
    d->connectionsGone.wait(locker, [this] { return d->connections.isEmpty(); });
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
    // detected first: its name is not ours to take.
    if (isServed(name))
        return false;
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

void ZX2LocalServer::stop()
{
    if (isListening())
        close();
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
    bool full = false;
    {
        std::lock_guard<std::mutex> locker(d->connectionsLock);
        full = d->connections.size() >= connectionLimit();
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
}

void ZX2LocalServer::detach(ZX2LocalSocket *connection)
{
    std::lock_guard<std::mutex> locker(d->connectionsLock);
    d->connections.remove(connection);
    d->connectionsGone.notify_all();
}

bool ZX2LocalServer::localRequest(QString name, QJsonObject request, QJsonObject *answer, int timeout)
{
    const QByteArray datagram = ZX2RpcPacket(request).toDatagram();
    QElapsedTimer timer;
    timer.start();
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(CONNECT_WAIT_MS))
        return false;
    socket.write(datagram);
    socket.flush();
    const bool waiting = answer && timeout > 0;
    const qint64 limit = waiting ? qint64(timeout) * 1000 : timer.elapsed() + WRITE_WAIT_MS;
    if (!drain(socket, timer, limit))
        return false;
    if (!waiting)
        return true;

    QByteArray buffer;
    QJsonObject received;
    for (;;) {
        buffer.append(socket.readAll());
        const int found = takeAnswer(buffer, received);
        if (found != 0) {
            socket.disconnectFromServer();
            if (found > 0)
                *answer = received;
            return found > 0;
        }
        const qint64 remaining = limit - timer.elapsed();
        if (remaining <= 0 || socket.state() != QLocalSocket::ConnectedState)
            break;
        socket.waitForReadyRead(int(remaining));
    }
    socket.disconnectFromServer();
    return false;
}
