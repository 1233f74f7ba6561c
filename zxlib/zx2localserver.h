#ifndef ZX2LOCALSERVER_H
#define ZX2LOCALSERVER_H

#include <QJsonObject>
#include <QLocalServer>
#include <QString>

class ZX2Cabinet;
class ZX2LocalServerPrivate;
class ZX2LocalSocket;
class ZX2TodoRouter;

// Local RPC server on a Unix-domain socket. Every accepted connection is
// served by a ZX2LocalSocket on a thread of its own; a request goes to the
// "__LS__" slots and then the plain slots of the registered routers.
// Register all routers before start(). The server lives on the main thread.
// At most half the descriptor limit of connections (and no more than 1024)
// are served at once; a connection beyond that is closed right away, so that
// a flood of clients cannot leave the listener without descriptors.
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

    bool isRunning() const;
    // A name holding "/" is a path whose missing directories are created. A
    // stale socket file of that name is replaced; a live server's is not.
    bool start(QString name);
    // Stops listening; open connections go on.
    void stop();
    // Ends the open connections and waits for their threads; a request being
    // served is answered first. For shutdown, after stop().
    void closeConnections();
    void add(ZX2TodoRouter *router);
    // Dispatches one request: "__LS__" slots first, then plain slots; when no
    // router knows the command, the cabinet gets ERR_MISSING.
    bool doCall(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet);

    // Sends one request to the server name and, unless answer is null or
    // timeout (seconds) is 0 or less, waits for the answer. False when it cannot
    // connect within 2 s, when no answer comes in time, or when the server
    // closes the connection or sends something that is not a datagram.
    static bool localRequest(QString name, QJsonObject request, QJsonObject *answer, int timeout);

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    Q_DISABLE_COPY(ZX2LocalServer)
    friend class ZX2LocalServerPrivate;
    friend class ZX2LocalSocket;
    // Connections register while their thread runs so the destructor can end them.
    void attach(ZX2LocalSocket *connection);
    void detach(ZX2LocalSocket *connection);
    ZX2LocalServerPrivate *const d;
};

#endif // ZX2LOCALSERVER_H
