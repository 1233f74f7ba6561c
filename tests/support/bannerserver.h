#ifndef BANNERSERVER_H
#define BANNERSERVER_H

#include <QByteArray>
#include <QSemaphore>
#include <QThread>

// A TCP server on 127.0.0.1 (a free port), served on a thread of its own,
// that writes fixed bytes to every connection as soon as it is accepted and
// closes it, whatever the peer sends: a plain HTTP server met by a TLS
// client, or a service that is not HTTP at all.
class BannerServer : public QThread
{
    Q_OBJECT
public:
    explicit BannerServer(const QByteArray &banner);
    ~BannerServer() override;

    bool startServer(); // true once listening
    quint16 port() const;

protected:
    void run() override;

private:
    QByteArray m_banner;
    QSemaphore m_ready;
    quint16 m_port = 0;
    bool m_listening = false;
};

#endif // BANNERSERVER_H
