#include "zx2localsocket.h"

#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2localserver.h"
#include "zx2rpcpacket.h"

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Bytes taken from the socket per read: a whole request in one call.
constexpr int kReadChunk = 64 * 1024;
// A datagram begun must be complete, and an answer taken by the peer, within
// this long, so that a stalled peer cannot hold its slot and memory for ever.
constexpr int kDatagramDeadlineMs = kWriteWaitMs;
// On shutdown, an answer still leaving gets this long before the connection closes.
constexpr int kStopDrainMs = 2000;
// While an answer waits for its peer, a stop request is seen within this long.
constexpr int kStopCheckMs = 100;

int datagramDeadlineMs()
{
    static const int deadline = [] {
        bool ok = false;
        const int value = qEnvironmentVariableIntValue("ZX2_DATAGRAM_DEADLINE_MS", &ok);
        return ok && value > 0 ? value : kDatagramDeadlineMs;
    }();
    return deadline;
}

} // namespace

// The connection thread works on the descriptor directly: it sleeps in a
// blocking read while idle and needs one read and one write per request,
// where a socket class adds several system calls per round trip. stop()
// wakes the read by shutting the receiving side down.
class ZX2LocalSocketPrivate
{
public:
    ZX2LocalSocketPrivate(ZX2LocalServer *owner, quintptr descriptor, bool *details);

    // Waits until the connection has one of the poll events (timeout -1: no
    // limit); returns them, 0 on time-out or signal.
    short wait(short events, int timeout);
    // Waits for input (or room for a pending answer) and reads what has
    // arrived into the buffer; false when the peer is gone, the socket was
    // shut down, or a datagram stayed unfinished or an answer untaken past
    // its deadline.
    bool receive();
    bool readChunk();
    // Answers every complete request in the buffer; false when the stream
    // holds something that is not a datagram, or a datagram the memory
    // budget cannot take.
    bool serveBuffer();
    // Holds budget for the bytes of the unfinished datagram received so far;
    // false when they do not fit, or its declared length never could.
    bool hold(qint64 length);
    void releaseHeld();
    // Serves one request and queues its answer; false when the peer did not
    // take the previous answer in time or this one does not fit the budget.
    bool answer(const QJsonObject &request);
    QByteArray build(const QJsonObject &request);
    // Charges the answer to the peer's user and starts sending it.
    bool queue(QByteArray datagram);
    // Waits until the queued answer has left, seeing stop requests
    // meanwhile; false when the peer is gone or did not take it in time.
    bool awaitSent();
    // Writes what the socket takes now; false when the peer is gone.
    bool flush();
    void dropAnswer();
    // Lets an answer still queued leave before the connection closes.
    void drain(int timeout);

    ZX2LocalServer *const server;
    const int fd;
    const uint uid;
    bool *const debugging;
    QByteArray buffer;
    // The answer being sent, the bytes of it the peer has taken, when it must
    // have taken all, and the budget still charged for it.
    QByteArray outgoing;
    int sent = 0;
    QDeadlineTimer answerDue{QDeadlineTimer::Forever};
    qint64 charged = 0;
    ZX2Cabinet cabinet;
    // Set while the buffer holds part of a datagram: when it must be complete.
    QDeadlineTimer datagramDue{QDeadlineTimer::Forever};
    // Bytes of the server's budget held for the unfinished datagram, and the
    // length it declares (0 while its header is incomplete).
    qint64 held = 0;
    qint64 declared = 0;
    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    // The descriptor is shut down by stop() on another thread; it must never
    // touch a number that was closed and perhaps reused.
    std::mutex descriptorLock;
    bool closed = false;
};

ZX2LocalSocketPrivate::ZX2LocalSocketPrivate(ZX2LocalServer *owner, quintptr descriptor, bool *details)
    : server(owner)
    , fd(int(descriptor))
    , uid(ZX2LocalSocket::uidOf(descriptor))
    , debugging(details)
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
    // The common case, idle with nothing owed: straight into the blocking read.
    if (outgoing.isEmpty() && datagramDue.isForever())
        return readChunk();
    const QDeadlineTimer due = qMin(datagramDue, answerDue);
    if (due.hasExpired())
        return false;
    const short events = wait(outgoing.isEmpty() ? POLLIN : POLLIN | POLLOUT, int(due.remainingTime()));
    if ((events & POLLOUT) && !flush())
        return false;
    if (events & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
        return readChunk();
    return true;
}

bool ZX2LocalSocketPrivate::readChunk()
{
    char chunk[kReadChunk];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        // Grows by doubling, never past the declared length: the memory a
        // datagram takes stays near the bytes charged for it.
        const qint64 needed = qint64(buffer.size()) + n;
        if (needed > buffer.capacity())
            buffer.reserve(int(qMax(needed, qMin(declared, 2 * needed))));
        buffer.append(chunk, int(n));
    }
    return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
}

bool ZX2LocalSocketPrivate::serveBuffer()
{
    ZX2RpcPacket packet;
    bool decoded = false;
    while (!stopRequested) {
        switch (packet.fromDatagram(buffer)) {
        case ZX2RpcPacket::DecodeOk:
            decoded = true;
            // The request's bytes stay charged while it is served.
            if (!packet.isEmpty() && !answer(packet))
                return false;
            releaseHeld();
            break;
        case ZX2RpcPacket::DecodeKeepAlive:
            decoded = true;
            break;
        case ZX2RpcPacket::DecodeIncomplete:
            // The deadline runs from the first byte of each datagram.
            if (buffer.isEmpty())
                datagramDue = QDeadlineTimer(QDeadlineTimer::Forever);
            else if (decoded || datagramDue.isForever())
                datagramDue = QDeadlineTimer(datagramDeadlineMs());
            return hold(packet.expectedLength());
        default:
            return false;
        }
    }
    return true;
}

bool ZX2LocalSocketPrivate::hold(qint64 length)
{
    declared = length;
    if (!server)
        return true;
    if (declared > ZX2LocalServer::datagramShare(uid))
        return false;
    // Charged as the bytes arrive: a declared length costs nothing until sent.
    const qint64 bytes = buffer.size();
    if (bytes > held && !server->reserveDatagram(uid, bytes - held))
        return false;
    if (bytes < held)
        server->releaseDatagram(uid, held - bytes);
    held = bytes;
    return true;
}

void ZX2LocalSocketPrivate::releaseHeld()
{
    declared = 0;
    if (held == 0)
        return;
    if (server)
        server->releaseDatagram(uid, held);
    held = 0;
    buffer.squeeze(); // gives a large datagram's memory back at once
}

bool ZX2LocalSocketPrivate::answer(const QJsonObject &request)
{
    // One answer queued at a time: a peer that does not read gets no more work done.
    if (!awaitSent())
        return false;
    if (stopRequested || (server && !server->beginRequest(uid, stopRequested)))
        return true;
    const bool queued = queue(build(request));
    if (server)
        server->endRequest(uid);
    return queued;
}

QByteArray ZX2LocalSocketPrivate::build(const QJsonObject &request)
{
    QJsonObject reply{{QStringLiteral("err"), int(ZX2Error::ERR_FAILED)}};
    if (server)
        server->doCall(reply, request, &cabinet);
    const bool details = debugging ? *debugging : false;
    cabinet.toRetObject(reply, details);
    return ZX2RpcPacket(reply).toDatagram();
}

bool ZX2LocalSocketPrivate::queue(QByteArray datagram)
{
    // Root's answers are not charged: the appliance's own requests always get theirs.
    if (server && uid != 0) {
        if (!server->reserveDatagram(uid, datagram.size()))
            return false;
        charged = datagram.size();
    }
    outgoing = std::move(datagram);
    sent = 0;
    answerDue = QDeadlineTimer(datagramDeadlineMs());
    return flush();
}

bool ZX2LocalSocketPrivate::awaitSent()
{
    while (!outgoing.isEmpty() && !stopRequested) {
        if (answerDue.hasExpired())
            return false;
        if (wait(POLLOUT, int(qMin<qint64>(answerDue.remainingTime(), kStopCheckMs))) && !flush())
            return false;
    }
    return true;
}

bool ZX2LocalSocketPrivate::flush()
{
    while (sent < outgoing.size()) {
        const ssize_t n = ::send(fd, outgoing.constData() + sent, size_t(outgoing.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += int(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN)
            break;
        else
            return false;
    }
    // What the kernel took is no longer ours to hold.
    const qint64 left = outgoing.size() - sent;
    if (charged > left) {
        server->releaseDatagram(uid, charged - left);
        charged = left;
    }
    if (left == 0)
        dropAnswer();
    return true;
}

void ZX2LocalSocketPrivate::dropAnswer()
{
    if (charged > 0)
        server->releaseDatagram(uid, charged);
    charged = 0;
    outgoing = QByteArray();
    sent = 0;
    answerDue = QDeadlineTimer(QDeadlineTimer::Forever);
}

void ZX2LocalSocketPrivate::drain(int timeout)
{
    const QDeadlineTimer due(timeout);
    while (!outgoing.isEmpty() && !due.hasExpired()) {
        if (wait(POLLOUT, int(due.remainingTime())) && !flush())
            return;
    }
}

ZX2LocalSocket::ZX2LocalSocket(ZX2LocalServer *server, quintptr socketDescriptor, bool *debugging)
    : QObject(nullptr)
    , d(new ZX2LocalSocketPrivate(server, socketDescriptor, debugging))
{
    d->cabinet.insert(QStringLiteral("protocol"), 128);
    // Commands answer some things to root only (a private key).
    d->cabinet.insert(QStringLiteral("uid"), double(d->uid));
    if (server)
        server->attach(this);
    std::thread([this] { run(); }).detach();
}

ZX2LocalSocket::~ZX2LocalSocket()
{
    delete d;
}

uint ZX2LocalSocket::uidOf(quintptr descriptor)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return uint(-1); // unknown peers share one account of their own
    return credentials.uid;
}

uint ZX2LocalSocket::peerUid() const
{
    return d->uid;
}

void ZX2LocalSocket::run()
{
    const int flags = ::fcntl(d->fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(d->fd, F_SETFL, flags & ~O_NONBLOCK);
    // Ends when the peer closes the connection, stop() shuts it down, a
    // datagram stays unfinished too long, or the stream cannot be
    // resynchronised (keeping its bytes would let a peer grow our memory).
    while (!d->stopRequested && d->receive() && d->serveBuffer()) {
    }
    if (d->stopRequested)
        d->drain(kStopDrainMs);
    {
        std::lock_guard<std::mutex> locker(d->descriptorLock);
        ::close(d->fd);
        d->closed = true;
    }
    d->releaseHeld();
    d->dropAnswer();
    d->buffer.clear();
    if (d->server)
        d->server->detach(this);
    d->running = false;
    deleteLater(); // nothing may touch this object after this line
}

void ZX2LocalSocket::requestStop()
{
    d->stopRequested = true;
    std::lock_guard<std::mutex> locker(d->descriptorLock);
    // Only the receiving side: an answer being written must still leave.
    if (!d->closed)
        ::shutdown(d->fd, SHUT_RD);
}

void ZX2LocalSocket::stop()
{
    requestStop();
    while (d->running)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
