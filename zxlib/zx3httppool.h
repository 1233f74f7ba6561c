#ifndef ZX3HTTPPOOL_H
#define ZX3HTTPPOOL_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class ZX3HttpPoolPrivate;

// Runs POST requests on a pool of at most 4 threads. A successful request that
// was given a user object reports its reply with onRespond, emitted from the
// pool thread; other requests report nothing.
class ZX3HttpPool : public QObject
{
    Q_OBJECT
public:
    ZX3HttpPool(QObject *parent = nullptr, int timeoutSeconds = 30);
    // Drops queued requests and waits for the running ones.
    ~ZX3HttpPool() override;

    int timeout() const; // seconds

    // POST of the compact JSON text of body, or of the bytes.
    void addPost(QString url, QJsonObject body, QJsonObject *userObject = nullptr);
    void addPost(QString url, QByteArray body, QJsonObject *userObject = nullptr);

    // Waits until no request is queued or running; false when msecs ran out.
    bool waitForDone(int msecs = -1);

signals:
    void onRespond(QJsonObject userObject, QByteArray data);

private:
    friend class ZX3HttpPoolPrivate;
    ZX3HttpPoolPrivate *const d;
    Q_DISABLE_COPY(ZX3HttpPool)
};

#endif // ZX3HTTPPOOL_H
