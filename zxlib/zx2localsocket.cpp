#include "zx2localsocket.h"

#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2localserver.h"
#include "zx2rpcpacket.h"

#include <QElapsedTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int WRITE_WAIT_MS = 30000;
constexpr int READ_CHUNK = 64 * 1024;

} // namespace

// The connection thread works on the descriptor directly: it sleeps in a
// blocking read while idle and needs one read and one write per request,
// where a socket class adds several system calls per round trip. stop()
// wakes the read by shutting the socket down.
class ZX2LocalSocketPrivate
{
public:
    ZX2LocalSocketPrivate(ZX2LocalServer *server, quintptr descriptor, bool *debugging);

    // Waits until the connection has one of the poll events (timeout -1: no
    // limit); returns them, 0 on time-out or signal.
    short wait(short events, int timeout);
    // Reads what has arrived into the buffer, blocking until something does;
    // false when the peer is gone or the socket was shut down.
    bool receive();
    // Answers every complete request in the buffer; false when the stream
    // holds something that is not a datagram.
    bool serveBuffer();
    void answer(const QJsonObject &request);
    // Writes what the socket takes now; false when the peer is gone.
    bool flush();
    void send(const QByteArray &datagram);

    ZX2LocalServer *const server;
    const int fd;
    bool *const debugging;
    QByteArray buffer;
    QByteArray outgoing;
    ZX2Cabinet cabinet;
    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    // The descriptor is shut down by stop() on another thread; it must never
    // touch a number that was closed and perhaps reused.
    std::mutex descriptorLock;
    bool closed = false;
};

ZX2LocalSocketPrivate::ZX2LocalSocketPrivate(ZX2LocalServer *server, quintptr descriptor, bool *debugging)
    : server(server)
    , fd(int(descriptor))
    , debugging(debugging)
{
}

short ZX2LocalSocketPrivate::wait(short events, int timeout)
{
    pollfd connection{fd, events, 0};
    if (::poll(&connection, 1, timeout) <= 0)
        return 0;
    return connection.revents;
}

bool ZX2LocalSocketPrivate::receive()
{
    char chunk[READ_CHUNK];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0)
        buffer.append(chunk, int(n));
    return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
}

bool ZX2LocalSocketPrivate::serveBuffer()
{
    ZX2RpcPacket packet;
    while (!stopRequested) {
        switch (packet.fromDatagram(buffer)) {
        case ZX2RpcPacket::DecodeOk:
            if (!packet.isEmpty())
                answer(packet);
            break;
        case ZX2RpcPacket::DecodeKeepAlive:
            break;
        case ZX2RpcPacket::DecodeIncomplete:
            return true;
        default:
            return false;
        }
    }
    return true;
}

void ZX2LocalSocketPrivate::answer(const QJsonObject &request)
{
    QJsonObject reply{{QStringLiteral("err"), int(ZX2Error::ERR_FAILED)}};
    if (server)
        server->doCall(reply, request, &cabinet);
    const bool details = debugging ? *debugging : false;
    cabinet.toRetObject(reply, details);
    send(ZX2RpcPacket(reply).toDatagram());
}

bool ZX2LocalSocketPrivate::flush()
{
    while (!outgoing.isEmpty()) {
        const ssize_t n = ::send(fd, outgoing.constData(), size_t(outgoing.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            outgoing.remove(0, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && errno == EAGAIN;
    }
    return true;
}

void ZX2LocalSocketPrivate::send(const QByteArray &datagram)
{
    // Earlier answers the peer has not taken yet get up to 30 s to leave.
    QElapsedTimer timer;
    timer.start();
    while (!outgoing.isEmpty() && !stopRequested && timer.elapsed() < WRITE_WAIT_MS) {
        if (wait(POLLOUT, int(WRITE_WAIT_MS - timer.elapsed())) && !flush())
            stopRequested = true;
    }
    outgoing.append(datagram);
    if (!flush())
        stopRequested = true;
}

ZX2LocalSocket::ZX2LocalSocket(ZX2LocalServer *server, quintptr socketDescriptor, bool *debugging)
    : QObject(nullptr)
    , d(new ZX2LocalSocketPrivate(server, socketDescriptor, debugging))
{
    d->cabinet.insert(QStringLiteral("protocol"), 128);
    if (server)
        server->attach(this);
    std::thread([this] { run(); }).detach();
}

ZX2LocalSocket::~ZX2LocalSocket()
{
    delete d;
}

void ZX2LocalSocket::run()
{
    const int flags = ::fcntl(d->fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(d->fd, F_SETFL, flags & ~O_NONBLOCK);
    while (!d->stopRequested) {
        if (!d->outgoing.isEmpty()) {
            // An answer still waits to leave: watch for room as well as for input.
            const short events = d->wait(POLLIN | POLLOUT, -1);
            if ((events & POLLOUT) && !d->flush())
                break;
            if (!(events & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                continue;
        }
        if (!d->receive())
            break; // the peer closed the connection, or stop() shut it down
        // A stream that is not made of datagrams cannot be resynchronised, and
        // keeping its bytes would let a peer grow our memory without bound.
        if (!d->serveBuffer())
            break;
    }
    {
        std::lock_guard<std::mutex> locker(d->descriptorLock);
        ::close(d->fd);
        d->closed = true;
    }
    d->buffer.clear();
    d->outgoing.clear();
    if (d->server)
        d->server->detach(this);
    d->running = false;
    deleteLater(); // nothing may touch this object after this line
}

void ZX2LocalSocket::requestStop()
{
    d->stopRequested = true;
    std::lock_guard<std::mutex> locker(d->descriptorLock);
    if (!d->closed)
        ::shutdown(d->fd, SHUT_RDWR);
}

void ZX2LocalSocket::stop()
{
    requestStop();
    while (d->running)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
