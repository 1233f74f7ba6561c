#include "httpfixture.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Splits a complete request off the front of buffer; false while incomplete.
bool takeRequest(QByteArray &buffer, TestHttpRequest &request)
{
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.method = first.value(0);
    request.path = first.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    const int length = request.headers.value("content-length").toInt();
    if (buffer.size() < headEnd + 4 + length)
        return false;
    request.body = buffer.mid(headEnd + 4, length);
    buffer.remove(0, headEnd + 4 + length);
    return true;
}

} // namespace

TestHttpServer::TestHttpServer() = default;

TestHttpServer::~TestHttpServer()
{
    quit();
    wait();
}

bool TestHttpServer::startServer()
{
    start();
    m_ready.acquire();
    return m_listening;
}

quint16 TestHttpServer::port() const
{
    return m_port;
}

QString TestHttpServer::url(const QByteArray &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(QString::fromLatin1(path));
}

void TestHttpServer::setAnswer(const QByteArray &path, const QByteArray &raw, bool hold)
{
    QMutexLocker lock(&m_mutex);
    m_answers.insert(path, Answer{raw, hold});
}

QList<TestHttpRequest> TestHttpServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

QList<TestHttpRequest> TestHttpServer::requestsFor(const QByteArray &path) const
{
    QList<TestHttpRequest> found;
    for (const TestHttpRequest &request : requests())
        if (request.path == path)
            found.append(request);
    return found;
}

void TestHttpServer::clearRequests()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

QByteArray TestHttpServer::answer(int status, const QByteArray &body,
                                  const QByteArray &extraHeaders, const QByteArray &contentType)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Status\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

void TestHttpServer::run()
{
    QTcpServer server;
    m_listening = server.listen(QHostAddress::LocalHost, 0);
    m_port = server.serverPort();
    m_ready.release();
    connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto *buffer = new QByteArray;
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                serve(socket, *buffer);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
        }
    });
    exec();
}

void TestHttpServer::serve(QTcpSocket *socket, QByteArray &buffer)
{
    TestHttpRequest request;
    if (!takeRequest(buffer, request))
        return;
    Answer reply;
    {
        QMutexLocker lock(&m_mutex);
        m_requests.append(request);
        reply = m_answers.value(request.path, Answer{answer(404, "not found"), false});
    }
    socket->write(reply.raw);
    if (!reply.hold)
        socket->disconnectFromHost();
}
