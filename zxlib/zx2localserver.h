#ifndef ZX2LOCALSERVER_H
#define ZX2LOCALSERVER_H

#include <QJsonObject>
#include <QLocalServer>
#include <QList>
#include <QString>

#include <atomic>

class ZX2Cabinet;
class ZX2LocalServerPrivate;
class ZX2LocalSocket;
class ZX2TodoRouter;

// Local RPC server on a Unix-domain socket. Every accepted connection is
// served by a ZX2LocalSocket on a thread of its own; a request goes to the
// "__LS__" slots and then the plain slots of the registered routers.
// Register all routers before start(). The server lives on the main thread.
// At most half the descriptor limit of connections (and no more than 1024)
// are served at once; users other than root together hold at most seven
// eighths of them, and one such user at most 64. A connection beyond that is
// closed right away, so that a flood of clients cannot leave the listener
// without descriptors nor crowd out other users or root.
// The bytes held for a connection stay within 256 MiB for all connections
// together; those of one local user other than root within a quarter of
// that, and those of all such users within three quarters, so root always
// finds room. Held are the bytes of a datagram being received and of the
// request being served, and for users other than root the answer not yet
// taken by the peer. A connection whose bytes do not fit, or whose declared
// datagram could never fit its user's share, is closed. One request of the
// users other than root is served at a time, all such users together; their
// others wait their turn, so that the memory answers take while they are
// built stays bounded too (root's requests never wait). Once a large answer
// has left, the memory it took is given back to the system.
class ZX2LocalServer : public QLocalServer
{
    Q_OBJECT
public:
    explicit ZX2LocalServer(QObject *parent = nullptr);
    // Closes the listener, then ends the connections still open and waits for
    // their threads, which use this server until they end.
    ~ZX2LocalServer() override;

    // When set, answers also carry "elapsed" and "journals"; read by the
    // connections at every answer.
    bool debugging() const;
    void setDebugging(bool debugging);
    // The name the server listens under; empty before a successful start().
    QString name() const;
    // When set before start(), the socket is created with mode 0660 and this
    // group, so that only the owner and the group's members can connect; when
    // empty (the default) every local user can.
    QString socketGroup() const;
    void setSocketGroup(const QString &group);

    bool isRunning() const;
    // A name holding "/" is a path whose missing directories are created. A
    // stale socket file of that name is replaced; a live server's is not,
    // unless the file belongs to a user other than root and this process's
    // (a squatter: clients trust no such server). The
    // socket never appears under the name with a wider mode than its final one.
    // False also when the socket group does not exist or cannot be given.
    bool start(QString name);
    // Stops listening and removes the socket file; open connections go on.
    void stop();
    // For shutdown, after stop(): stops reading on every open connection, so a
    // request being served is finished and answered while requests not yet
    // begun are dropped unanswered, then waits for the connection threads.
    // False when some still run after 8 s; the process must then end at once.
    bool closeConnections();
    void add(ZX2TodoRouter *router);
    // Dispatches one request: "__LS__" slots first, then plain slots; when no
    // router knows the command, the cabinet gets ERR_MISSING.
    bool doCall(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet);

    // How a request of localRequest() went.
    enum Outcome {
        Answered,   // the answer came; without one asked for, the request left
        NotRunning, // nothing accepted the connection within 2 s
        Denied,     // the socket's permissions keep this user out
        Foreign,    // the server runs as a user not trusted: nothing was sent
        TimedOut,   // sent, but no answer in time: it may or may not have been served
        Dropped,    // sent, but the server closed the connection or sent no datagram
    };
    // Sends one request to the server name and, unless answer is null or
    // timeout (seconds) is 0 or less, waits for the answer. When trusted is
    // not empty, the request is sent only when the process at the other end
    // of this very connection runs as one of those users; peerUid (when not
    // null) receives that user, or -1 when it is unknown.
    static Outcome localRequest(const QString &name, const QJsonObject &request, QJsonObject *answer, int timeout,
                                const QList<uint> &trusted = {}, uint *peerUid = nullptr);
    // The socket file of a server name: an absolute name as it is; any other
    // name (with or without directories) below the temporary directory.
    static QString socketPath(const QString &name);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    Q_DISABLE_COPY(ZX2LocalServer)
    friend class ZX2LocalServerPrivate;
    friend class ZX2LocalSocket;
    friend class ZX2LocalSocketPrivate;
    // Connections register while their thread runs so the destructor can end them.
    void attach(ZX2LocalSocket *connection);
    void detach(ZX2LocalSocket *connection);
    // The memory budget, charged to the peer's user: false when bytes do not fit.
    bool reserveDatagram(uint uid, qint64 bytes);
    void releaseDatagram(uint uid, qint64 bytes);
    // A turn to serve a request of uid: waits while that user has its share
    // of requests in service; false when stop was set meanwhile.
    bool beginRequest(uint uid, const std::atomic<bool> &stop);
    void endRequest(uint uid);
    // The largest datagram a peer of uid can have held at once.
    static qint64 datagramShare(uint uid);
    bool listenRestricted(const QString &path);
    ZX2LocalServerPrivate *const d;
};

#endif // ZX2LOCALSERVER_H
