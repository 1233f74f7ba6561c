#ifndef RAWBACKEND_H
#define RAWBACKEND_H

#include <QByteArray>
#include <QString>

class RawBackendPrivate;

// A back end for proxy tests on 127.0.0.1, served on a thread of its own so
// that a test can make blocking requests to a proxy in front of it. It
// answers every request with 200 and a body of its name, a blank and the
// request head exactly as received (request line and header lines, "\r\n"
// between them), then closes the connection. Query parameters of the request
// target shape the answer: "location" makes it a 302 with that Location
// header, "cookie" adds that Set-Cookie header, "sleep" delays the answer by
// that many seconds, "status" makes it an answer of that status with the
// header "X-Backend: <name>" and the JSON body {"backend":"<name>"}, and
// "checkorigin" refuses (403, the body as for 200) a request or WebSocket
// upgrade whose Origin or Referer names another origin than the one it is
// reached by (X-Forwarded-Proto and X-Forwarded-Host when a proxy sends the
// latter, else its own scheme and Host), as applications that check Origin
// or Referer do; "checkhost" refuses (421, the body as for 200) a Host other
// than its own address and port, as Transmission does. A WebSocket upgrade is accepted and every data frame is
// sent back. With Tls the back end speaks TLS with a fresh self-signed
// certificate.
class RawBackend
{
public:
    enum Transport { Plain, Tls };
    explicit RawBackend(const QString &name, Transport transport = Plain);
    ~RawBackend(); // stops the thread

    // Listens on a free port; false when the certificate or the port failed.
    bool start();
    quint16 port() const;
    QString name() const;
    bool isTls() const;
    // "http://127.0.0.1:<port>" or "https://...".
    QString origin() const;

private:
    RawBackendPrivate *const d;
    Q_DISABLE_COPY(RawBackend)
};

// One blocking HTTP/1.1 request on 127.0.0.1 (TLS without certificate checks
// when tls is set), with extra header lines ("Name: value\r\n" each). host
// is the Host header; over TLS its name (without a port) is also the server
// name the client asks for. method is the request's (a WebDAV MOVE, ...).
struct RawReply
{
    int status = 0; // 0 when no answer came
    QByteArray head;
    QByteArray body;
    QByteArray header(const QByteArray &name) const; // the first such header's value
};
RawReply rawRequest(quint16 port, bool tls, const QByteArray &target,
                    const QByteArray &extraHeaders = QByteArray(), const QByteArray &host = "127.0.0.1",
                    const QByteArray &method = "GET");

// Upgrades a request for target to a WebSocket, sends message as one text
// frame and returns the payload of the first frame that comes back, or a
// description of what went wrong instead (the status line of a refusal).
// extraHeaders and host (a name without a port) as for rawRequest.
QByteArray webSocketEcho(quint16 port, bool tls, const QByteArray &target,
                         const QByteArray &message, const QByteArray &extraHeaders = QByteArray(),
                         const QByteArray &host = "127.0.0.1");

#endif // RAWBACKEND_H
