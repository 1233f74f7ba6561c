#include "zx2localsocket.h"

#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2localserver.h"
#include "zx2rpcpacket.h"

#include <QLocalSocket>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int WRITE_WAIT_MS = 30000;

} // namespace

class ZX2LocalSocketPrivate
{
public:
    ZX2LocalSocketPrivate(ZX2LocalServer *server, quintptr descriptor, bool *debugging);
    ~ZX2LocalSocketPrivate();

    // Sleeps until bytes arrive, pending answer bytes can leave, or stop is
    // requested; true when bytes are ready to be read.
    bool waitForInput(QLocalSocket &socket);
    // Answers every complete request in the buffer; false when the stream
    // holds something that is not a datagram.
    bool serveBuffer(QLocalSocket &socket);
    void answer(QLocalSocket &socket, const QJsonObject &request);

    ZX2LocalServer *const server;
    const quintptr descriptor;
    bool *const debugging;
    QByteArray buffer;
    ZX2Cabinet cabinet;
    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    const int wakeFd; // eventfd that interrupts the idle wait on stop
};

ZX2LocalSocketPrivate::ZX2LocalSocketPrivate(ZX2LocalServer *server, quintptr descriptor, bool *debugging)
    : server(server)
    , descriptor(descriptor)
    , debugging(debugging)
    , wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

ZX2LocalSocketPrivate::~ZX2LocalSocketPrivate()
{
    if (wakeFd >= 0)
        ::close(wakeFd);
}

bool ZX2LocalSocketPrivate::waitForInput(QLocalSocket &socket)
{
    if (socket.bytesAvailable() > 0)
        return true;
    const short events = POLLIN | (socket.bytesToWrite() > 0 ? POLLOUT : 0);
    pollfd fds[2] = {{int(descriptor), events, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, wakeFd >= 0 ? 2 : 1, -1) <= 0)
        return false; // interrupted by a signal: the caller checks its flags and comes back
    if (fds[1].revents & POLLIN) {
        stopRequested = true;
        return false;
    }
    if (fds[0].revents & POLLOUT)
        socket.flush();
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
        return false;
    if (socket.waitForReadyRead(0))
        return true;
    // Readable but nothing to read: the peer is gone; never spin on it.
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        socket.abort();
    return false;
}

bool ZX2LocalSocketPrivate::serveBuffer(QLocalSocket &socket)
{
    ZX2RpcPacket packet;
    while (!stopRequested) {
        switch (packet.fromDatagram(buffer)) {
        case ZX2RpcPacket::DecodeOk:
            if (!packet.isEmpty())
                answer(socket, packet);
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

void ZX2LocalSocketPrivate::answer(QLocalSocket &socket, const QJsonObject &request)
{
    QJsonObject reply{{QStringLiteral("err"), int(ZX2Error::ERR_FAILED)}};
    if (server)
        server->doCall(reply, request, &cabinet);
    const bool details = debugging ? *debugging : false;
    cabinet.toRetObject(reply, details);
    const QByteArray datagram = ZX2RpcPacket(reply).toDatagram();
    if (socket.bytesToWrite() > 0)
        socket.waitForBytesWritten(WRITE_WAIT_MS);
    socket.write(datagram);
    socket.flush();
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
    auto socket = std::make_unique<QLocalSocket>();
    socket->setSocketDescriptor(d->descriptor, QLocalSocket::ConnectedState, QIODevice::ReadWrite);
    while (!d->stopRequested) {
        const QLocalSocket::LocalSocketState state = socket->state();
        if (state == QLocalSocket::UnconnectedState || state == QLocalSocket::ClosingState) {
            d->stopRequested = true;
            continue;
        }
        if (!d->waitForInput(*socket))
            continue;
        d->buffer.append(socket->readAll());
        // A stream that is not made of datagrams cannot be resynchronised, and
        // keeping its bytes would let a peer grow our memory without bound.
        if (!d->serveBuffer(*socket))
            d->stopRequested = true;
    }
    socket.reset();
    d->buffer.clear();
    if (d->server)
        d->server->detach(this);
    d->running = false;
    deleteLater(); // nothing may touch this object after this line
}

void ZX2LocalSocket::requestStop()
{
    d->stopRequested = true;
    const quint64 one = 1;
    if (d->wakeFd >= 0 && ::write(d->wakeFd, &one, sizeof one) < 0)
        return; // the counter is already non-zero: the thread is being woken
}

void ZX2LocalSocket::stop()
{
    requestStop();
    while (d->running)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
