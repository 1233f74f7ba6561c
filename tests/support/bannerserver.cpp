#include "bannerserver.h"

#include <QTcpServer>
#include <QTcpSocket>

BannerServer::BannerServer(const QByteArray &banner)
    : m_banner(banner)
{
}

BannerServer::~BannerServer()
{
    quit();
    wait();
}

bool BannerServer::startServer()
{
    start();
    m_ready.acquire();
    return m_listening;
}

quint16 BannerServer::port() const
{
    return m_port;
}

void BannerServer::run()
{
    QTcpServer server;
    m_listening = server.listen(QHostAddress::LocalHost, 0);
    m_port = server.serverPort();
    m_ready.release();
    connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write(m_banner);
            socket->disconnectFromHost();
        }
    });
    exec();
}
