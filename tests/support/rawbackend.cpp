#include "rawbackend.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QSemaphore>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

namespace {

// The slow back end of the tests answers after 70 s; a reply may take that
// long and more through a proxy.
const int kReplyWaitMs = 120000;
// Connecting and TLS handshakes on loopback.
const int kConnectWaitMs = 10000;
const int kOpensslWaitMs = 20000;
const char *const kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
const quint8 kTextFrame = 0x81;  // final fragment, text
const quint8 kCloseOpcode = 0x8;

QByteArray frame(quint8 first, const QByteArray &payload, bool masked)
{
    QByteArray out(1, char(first));
    const quint8 maskBit = masked ? 0x80 : 0;
    if (payload.size() < 126) {
        out += char(maskBit | payload.size());
    } else {
        out += char(maskBit | 126);
        out += char((payload.size() >> 8) & 0xff);
        out += char(payload.size() & 0xff);
    }
    if (!masked)
        return out + payload;
    const QByteArray mask("\x12\x34\x56\x78", 4);
    out += mask;
    for (int i = 0; i < payload.size(); ++i)
        out += char(payload.at(i) ^ mask.at(i % 4));
    return out;
}

// Takes one complete frame from the front of buffer; false while incomplete.
// Frames longer than 65535 bytes are not used by the tests.
bool takeFrame(QByteArray &buffer, quint8 &first, QByteArray &payload)
{
    if (buffer.size() < 2)
        return false;
    first = quint8(buffer.at(0));
    const bool masked = quint8(buffer.at(1)) & 0x80;
    int length = quint8(buffer.at(1)) & 0x7f;
    int offset = 2;
    if (length == 126) {
        if (buffer.size() < 4)
            return false;
        length = (quint8(buffer.at(2)) << 8) | quint8(buffer.at(3));
        offset = 4;
    }
    const int maskAt = offset;
    if (masked)
        offset += 4;
    if (buffer.size() < offset + length)
        return false;
    payload = buffer.mid(offset, length);
    for (int i = 0; masked && i < length; ++i)
        payload[i] = char(payload.at(i) ^ buffer.at(maskAt + i % 4));
    buffer.remove(0, offset + length);
    return true;
}

QByteArray headerValue(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

// name: the server name the client asks for (SNI); the address stays 127.0.0.1.
bool connectSocket(QSslSocket &socket, quint16 port, bool tls, const QString &name)
{
    if (!tls) {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        return socket.waitForConnected(kConnectWaitMs);
    }
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, name);
    return socket.waitForEncrypted(kConnectWaitMs);
}

// Reads until the head is complete or the peer closes; true with a head.
bool readHead(QSslSocket &socket, QByteArray &data)
{
    while (!data.contains("\r\n\r\n")) {
        if (!socket.waitForReadyRead(kReplyWaitMs) && socket.bytesAvailable() == 0)
            return false;
        data += socket.readAll();
    }
    return true;
}

// Serves one accepted connection; deleted with the server or when closed.
class RawConnection : public QObject
{
public:
    RawConnection(QSslSocket *socket, const QString &name, QObject *parent)
        : QObject(parent), m_socket(socket), m_name(name.toUtf8())
    {
        socket->setParent(this);
        connect(socket, &QSslSocket::readyRead, this, [this] { onData(); });
        connect(socket, &QSslSocket::disconnected, this, &QObject::deleteLater);
    }

private:
    void onData()
    {
        m_buffer += m_socket->readAll();
        if (m_upgraded)
            echoFrames();
        else if (!m_answered && m_buffer.contains("\r\n\r\n"))
            answer();
    }

    void answer()
    {
        m_answered = true;
        const int end = m_buffer.indexOf("\r\n\r\n");
        const QByteArray head = m_buffer.left(end);
        m_buffer.remove(0, end + 4);
        const QByteArray target = head.left(head.indexOf("\r\n")).split(' ').value(1);
        const int mark = target.indexOf('?');
        const QUrlQuery query(mark < 0 ? QString() : QString::fromUtf8(target.mid(mark + 1)));
        // As Transmission does: a Host other than the back end's own address.
        if (query.hasQueryItem(QStringLiteral("checkhost"))
            && headerValue(head, "Host") != "127.0.0.1:" + QByteArray::number(m_socket->localPort())) {
            reply("421 Misdirected Request", "Content-Type: text/plain\r\n", m_name + ' ' + head);
            return;
        }
        if (query.hasQueryItem(QStringLiteral("checkorigin")) && !sameOrigin(head)) {
            reply("403 Forbidden", "Content-Type: text/plain\r\n", m_name + ' ' + head);
            return;
        }
        if (headerValue(head, "Upgrade").toLower() == "websocket") {
            upgrade(head);
            return;
        }
        const int status = query.queryItemValue(QStringLiteral("status")).toInt();
        if (status > 0) {
            reply(QByteArray::number(status) + " Back End", "Content-Type: application/json\r\nX-Backend: " + m_name
                  + "\r\n", "{\"backend\":\"" + m_name + "\"}");
            return;
        }
        QByteArray extra;
        const QString location = query.queryItemValue(QStringLiteral("location"), QUrl::FullyDecoded);
        if (!location.isEmpty())
            extra += "Location: " + location.toUtf8() + "\r\n";
        const QString cookie = query.queryItemValue(QStringLiteral("cookie"), QUrl::FullyDecoded);
        if (!cookie.isEmpty())
            extra += "Set-Cookie: " + cookie.toUtf8() + "\r\n";
        const QByteArray body = m_name + ' ' + head;
        const QByteArray reply = QByteArray(location.isEmpty() ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 302 Found\r\n")
            + "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\nConnection: close\r\n" + extra + "\r\n" + body;
        const int sleepSeconds = query.queryItemValue(QStringLiteral("sleep")).toInt();
        QTimer::singleShot(sleepSeconds * 1000, this, [this, reply] {
            m_socket->write(reply);
            m_socket->disconnectFromHost();
        });
    }

    // As applications that check Origin do: its host and port must be the
    // Host the request came to.
    bool sameOrigin(const QByteArray &head) const
    {
        const QByteArray forwarded = headerValue(head, "X-Forwarded-Host");
        const QByteArray own = forwarded.isEmpty()
            ? (m_socket->isEncrypted() ? "https://" : "http://") + headerValue(head, "Host")
            : headerValue(head, "X-Forwarded-Proto") + "://" + forwarded;
        const QByteArray origin = headerValue(head, "Origin");
        const QByteArray referer = headerValue(head, "Referer");
        return (origin.isEmpty() || origin == own) && (referer.isEmpty() || referer.startsWith(own + '/'));
    }

    void reply(const QByteArray &status, const QByteArray &headers, const QByteArray &body)
    {
        m_socket->write("HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: "
                        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        m_socket->disconnectFromHost();
    }

    void upgrade(const QByteArray &head)
    {
        const QByteArray accept = QCryptographicHash::hash(
            headerValue(head, "Sec-WebSocket-Key") + kWebSocketGuid, QCryptographicHash::Sha1).toBase64();
        m_socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                        "Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + "\r\n\r\n");
        m_upgraded = true;
        echoFrames();
    }

    void echoFrames()
    {
        quint8 first = 0;
        QByteArray payload;
        while (takeFrame(m_buffer, first, payload)) {
            m_socket->write(frame(first, payload, false));
            if ((first & 0x0f) == kCloseOpcode)
                m_socket->disconnectFromHost();
        }
    }

    QSslSocket *m_socket;
    QByteArray m_name;
    QByteArray m_buffer;
    bool m_answered = false;
    bool m_upgraded = false;
};

class RawServer : public QTcpServer
{
public:
    RawServer(const QString &name, const QSslCertificate &certificate, const QSslKey &key)
        : m_name(name), m_certificate(certificate), m_key(key)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        new RawConnection(socket, m_name, this);
        if (m_certificate.isNull())
            return;
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket->startServerEncryption();
    }

private:
    QString m_name;
    QSslCertificate m_certificate;
    QSslKey m_key;
};

} // namespace

class RawBackendPrivate : public QThread
{
public:
    QString name;
    RawBackend::Transport transport = RawBackend::Plain;
    QSslCertificate certificate;
    QSslKey key;
    quint16 port = 0;
    QSemaphore listening;

    bool makeCertificate();

protected:
    void run() override
    {
        RawServer server(name, certificate, key);
        if (server.listen(QHostAddress::LocalHost, 0))
            port = server.serverPort();
        listening.release();
        if (port != 0)
            exec();
    }
};

bool RawBackendPrivate::makeCertificate()
{
    QTemporaryDir dir;
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=backend.invalid"),
                   QStringLiteral("-keyout"), dir.filePath(QStringLiteral("key.pem")),
                   QStringLiteral("-out"), dir.filePath(QStringLiteral("cert.pem"))});
    if (!openssl.waitForFinished(kOpensslWaitMs) || openssl.exitCode() != 0)
        return false;
    QFile certFile(dir.filePath(QStringLiteral("cert.pem")));
    QFile keyFile(dir.filePath(QStringLiteral("key.pem")));
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return false;
    certificate = QSslCertificate(certFile.readAll());
    key = QSslKey(keyFile.readAll(), QSsl::Rsa);
    return !certificate.isNull() && !key.isNull();
}

RawBackend::RawBackend(const QString &name, Transport transport) : d(new RawBackendPrivate)
{
    d->name = name;
    d->transport = transport;
}

RawBackend::~RawBackend()
{
    d->quit();
    d->wait();
    delete d;
}

bool RawBackend::start()
{
    if (d->transport == Tls && !d->makeCertificate())
        return false;
    d->start();
    d->listening.acquire();
    return d->port != 0;
}

quint16 RawBackend::port() const
{
    return d->port;
}

QString RawBackend::name() const
{
    return d->name;
}

bool RawBackend::isTls() const
{
    return d->transport == Tls;
}

QString RawBackend::origin() const
{
    return (isTls() ? QStringLiteral("https://127.0.0.1:") : QStringLiteral("http://127.0.0.1:"))
        + QString::number(d->port);
}

QByteArray RawReply::header(const QByteArray &name) const
{
    return headerValue(head, name);
}

RawReply rawRequest(quint16 port, bool tls, const QByteArray &target, const QByteArray &extraHeaders,
                    const QByteArray &host, const QByteArray &method)
{
    RawReply reply;
    QSslSocket socket;
    const int colon = host.lastIndexOf(':');
    if (!connectSocket(socket, port, tls, QString::fromUtf8(colon > 0 ? host.left(colon) : host)))
        return reply;
    socket.write(method + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n"
                 + extraHeaders + "\r\n");
    QByteArray data;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(kReplyWaitMs))
        data += socket.readAll();
    data += socket.readAll();
    const int end = data.indexOf("\r\n\r\n");
    if (end < 0)
        return reply;
    reply.head = data.left(end);
    reply.body = data.mid(end + 4);
    reply.status = reply.head.split(' ').value(1).toInt();
    return reply;
}

QByteArray webSocketEcho(quint16 port, bool tls, const QByteArray &target, const QByteArray &message,
                         const QByteArray &extraHeaders, const QByteArray &host)
{
    QSslSocket socket;
    if (!connectSocket(socket, port, tls, QString::fromUtf8(host)))
        return "no connection";
    socket.write("GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n");
    QByteArray data;
    if (!readHead(socket, data))
        return "no answer";
    const QByteArray status = data.left(data.indexOf("\r\n"));
    if (!status.startsWith("HTTP/1.1 101"))
        return status;
    data.remove(0, data.indexOf("\r\n\r\n") + 4);
    socket.write(frame(kTextFrame, message, true));
    quint8 first = 0;
    QByteArray payload;
    while (!takeFrame(data, first, payload)) {
        if (!socket.waitForReadyRead(kReplyWaitMs))
            return "no frame";
        data += socket.readAll();
    }
    return payload;
}
