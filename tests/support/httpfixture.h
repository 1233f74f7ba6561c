#ifndef HTTPFIXTURE_H
#define HTTPFIXTURE_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QSemaphore>
#include <QString>
#include <QThread>

// A request as the test server received it; header names in lower case.
struct TestHttpRequest
{
    QByteArray method;
    QByteArray path;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
};

// A scripted HTTP server for tests on 127.0.0.1 (a free port), served on a
// thread of its own so that blocking clients on the test thread can use it.
// Each path answers with fixed raw bytes; unknown paths get 404. A held answer
// keeps the connection open afterwards (a reply that never finishes).
class TestHttpServer : public QThread
{
    Q_OBJECT
public:
    TestHttpServer();
    ~TestHttpServer() override;

    bool startServer(); // true once listening
    quint16 port() const;
    QString url(const QByteArray &path) const;

    void setAnswer(const QByteArray &path, const QByteArray &raw, bool hold = false);
    QList<TestHttpRequest> requests() const;
    QList<TestHttpRequest> requestsFor(const QByteArray &path) const;
    void clearRequests();

    // A complete answer with Content-Length and "Connection: close".
    static QByteArray answer(int status, const QByteArray &body,
                             const QByteArray &extraHeaders = QByteArray(),
                             const QByteArray &contentType = "text/plain");

protected:
    void run() override;

private:
    struct Answer
    {
        QByteArray raw;
        bool hold = false;
    };
    void serve(class QTcpSocket *socket, QByteArray &buffer);

    QSemaphore m_ready;
    mutable QMutex m_mutex;
    QMap<QByteArray, Answer> m_answers;
    QList<TestHttpRequest> m_requests;
    quint16 m_port = 0;
    bool m_listening = false;
};

#endif // HTTPFIXTURE_H
