#include "backendcheck.h"

#include "zx2utils.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

namespace BackendCheck {

namespace {

const quint16 kHttpPort = 80;
const quint16 kHttpsPort = 443;
// Back ends checked at once: each check takes a descriptor, and the calling
// user's limit may be a few hundred while the table holds thousands of rules.
const int kConcurrentChecks = 16;

QString text(const QJsonObject &object, const char *key)
{
    return toString(object.value(QLatin1String(key))).trimmed();
}

// The Host header: IPv6 addresses in brackets, the port only when it is not the default.
QByteArray hostHeader(const Target &target)
{
    QString host = target.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + target.host + QLatin1Char(']')
                                                          : target.host;
    if (target.port != (target.tls ? kHttpsPort : kHttpPort))
        host += QLatin1Char(':') + QString::number(target.port);
    return host.toUtf8();
}

// One rule's check: connect, (handshake,) HEAD, first line of the answer.
class Probe
{
public:
    Probe(const Target &target, int limitMsecs, std::function<void()> done)
        : m_target(target), m_limit(limitMsecs), m_done(std::move(done))
    {
    }

    void start();
    const Outcome &outcome() const { return m_outcome; }

private:
    void sendHead();
    void read();
    void failed(QAbstractSocket::SocketError error);
    void finish(bool up, const QString &reason);

    Target m_target;
    int m_limit;
    std::function<void()> m_done;
    // Deleted once the check ends: a socket whose connection failed keeps its
    // descriptor until then, and a large table would run out of them.
    std::unique_ptr<QSslSocket> m_socket{new QSslSocket};
    QTimer m_timer;
    QElapsedTimer m_clock;
    QByteArray m_received;
    bool m_finished = false;
    Outcome m_outcome;
};

void Probe::start()
{
    m_clock.start();
    if (m_target.tls && !QSslSocket::supportsSsl()) {
        finish(false, QStringLiteral("TLS not available"));
        return;
    }
    // Back ends are reached directly, as Apache reaches them.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Self-signed certificates are usual on a LAN; only the handshake counts.
    m_socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, m_socket.get(), [this] { finish(false, QStringLiteral("timeout")); });
    QObject::connect(m_socket.get(), &QAbstractSocket::connected, m_socket.get(), [this] {
        m_timer.start(m_limit); // the HEAD (and the handshake) has its own limit
        if (!m_target.tls)
            sendHead();
    });
    QObject::connect(m_socket.get(), &QSslSocket::encrypted, m_socket.get(), [this] { sendHead(); });
    QObject::connect(m_socket.get(), &QIODevice::readyRead, m_socket.get(), [this] { read(); });
    QObject::connect(m_socket.get(), &QAbstractSocket::errorOccurred, m_socket.get(),
                     [this](QAbstractSocket::SocketError error) { failed(error); });
    m_timer.start(m_limit);
    if (m_target.tls)
        m_socket->connectToHostEncrypted(m_target.host, m_target.port);
    else
        m_socket->connectToHost(m_target.host, m_target.port);
}

void Probe::sendHead()
{
    const QByteArray path = QUrl::toPercentEncoding(m_target.path, "/!$&'()*+,;=:@%~?");
    m_socket->write("HEAD " + path + " HTTP/1.1\r\nHost: " + hostHeader(m_target)
                   + "\r\nUser-Agent: reverseproxyctl\r\nAccept: */*\r\nConnection: close\r\n\r\n");
}

void Probe::read()
{
    m_received += m_socket->readAll();
    if (!m_received.contains('\n'))
        return;
    if (m_received.startsWith("HTTP/"))
        finish(true, QString());
    else
        finish(false, QStringLiteral("no HTTP answer"));
}

void Probe::failed(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        finish(false, QStringLiteral("connection refused"));
        break;
    case QAbstractSocket::HostNotFoundError:
        finish(false, QStringLiteral("host not found"));
        break;
    case QAbstractSocket::SslHandshakeFailedError:
        finish(false, QStringLiteral("TLS handshake failed"));
        break;
    case QAbstractSocket::RemoteHostClosedError:
        // A peer that drops the connection during the handshake does not speak TLS.
        finish(false, m_target.tls && !m_socket->isEncrypted() ? QStringLiteral("TLS handshake failed")
                                                              : QStringLiteral("closed without an answer"));
        break;
    default:
        finish(false, m_socket->errorString());
    }
}

void Probe::finish(bool up, const QString &reason)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer.stop();
    m_outcome.up = up;
    m_outcome.msecs = int(m_clock.elapsed());
    m_outcome.reason = reason;
    m_socket->abort();
    m_socket.release()->deleteLater();
    m_done();
}

} // namespace

QString Outcome::text() const
{
    return up ? QStringLiteral("up %1 ms").arg(msecs) : QStringLiteral("down: ") + reason;
}

QJsonObject Outcome::toJson() const
{
    if (up)
        return {{QStringLiteral("up"), true}, {QStringLiteral("ms"), msecs}};
    return {{QStringLiteral("up"), false}, {QStringLiteral("error"), reason}};
}

Target targetOf(const QJsonObject &rule)
{
    const QJsonObject dest = rule.value(QLatin1String("dest")).toObject();
    Target target;
    target.tls = text(dest, "protocol").toLower() == QLatin1String("https");
    target.host = text(dest, "host");
    if (target.host.startsWith(QLatin1Char('[')) && target.host.endsWith(QLatin1Char(']')))
        target.host = target.host.mid(1, target.host.size() - 2);
    if (target.host.isEmpty())
        target.host = QStringLiteral("127.0.0.1");
    // Apache reads a port it cannot use (0 included) as the scheme's default.
    const int port = toInt(dest.value(QLatin1String("port")));
    target.port = port >= 1 && port <= 65535 ? quint16(port) : (target.tls ? kHttpsPort : kHttpPort);
    target.path = text(dest, "path");
    if (!target.path.startsWith(QLatin1Char('/')))
        target.path.prepend(QLatin1Char('/'));
    return target;
}

QMap<int, Outcome> checkAll(const QList<QJsonObject> &rules, int limitMsecs)
{
    QEventLoop loop;
    std::vector<std::unique_ptr<Probe>> probes;
    probes.reserve(rules.size());
    size_t next = 0;
    int running = 0;
    // Started from the event loop, never from within a probe that just ended.
    std::function<void()> startMore = [&] {
        while (running < kConcurrentChecks && next < probes.size()) {
            ++running;
            probes.at(next++)->start();
        }
        if (running == 0)
            loop.quit();
    };
    for (const QJsonObject &rule : rules)
        probes.emplace_back(new Probe(targetOf(rule), limitMsecs, [&] {
            --running;
            QTimer::singleShot(0, &loop, startMore);
        }));
    startMore();
    if (running > 0)
        loop.exec();
    QMap<int, Outcome> outcomes;
    for (int i = 0; i < rules.size(); ++i)
        outcomes.insert(toInt(rules.at(i).value(QLatin1String("pxyno"))), probes.at(size_t(i))->outcome());
    return outcomes;
}

} // namespace BackendCheck
