#ifndef ZX2LOCALSOCKET_H
#define ZX2LOCALSOCKET_H

#include <QObject>

class ZX2LocalServer;
class ZX2LocalSocketPrivate;

// A peer that does not take a datagram within this long (ms) has stopped
// reading; the client and the server give up on it alike.
constexpr int kWriteWaitMs = 30000;

// One accepted connection of ZX2LocalServer. The constructor starts a detached
// thread that reads datagrams, answers each request in order through the
// server's dispatch, and ends when the peer closes, when the peer sends bytes
// that are not a datagram (or a datagram over the size limit or the server's
// memory budget), when a datagram it began stays unfinished past the
// deadline, when an answer does not fit the budget or the peer has not taken
// it by the deadline, or on stop(). One answer is queued at a time: the next
// request is served once the peer has taken the previous answer. The object
// then deletes itself through the main thread's event loop. While idle the
// thread sleeps in the kernel until bytes or a stop arrive; an idle
// connection between datagrams has no deadline. The connection's environment
// object holds the peer's credentials as read when it connected: "uid" and
// "pid" (-1 and 0 when unknown).
//
// The environment variable ZX2_DATAGRAM_DEADLINE_MS, read once per process,
// replaces the 30 s deadline for an unfinished datagram and for an answer;
// it is meant for tests only.
class ZX2LocalSocket : public QObject
{
    Q_OBJECT
public:
    ZX2LocalSocket(ZX2LocalServer *server, quintptr socketDescriptor, bool *debugging);
    ~ZX2LocalSocket() override;

    // The connection loop; runs on the connection's own thread.
    void run();
    // Ends the connection thread and waits until it has ended. Call it on the
    // main thread: the object is deleted by the main thread's event loop after.
    void stop();

private:
    Q_DISABLE_COPY(ZX2LocalSocket)
    friend class ZX2LocalSocketPrivate;
    friend class ZX2LocalServer;
    friend class ZX2LocalServerPrivate;
    // Sets stop requested and stops reading, without waiting: a request being
    // served is finished and its answer written, later ones are not started.
    void requestStop();
    // The user id of the process at the other end of descriptor.
    static uint uidOf(quintptr descriptor);
    // The peer's user id, read when the connection was accepted.
    uint peerUid() const;
    // The process id at the other end of descriptor (0 when unknown): the
    // process that connected, which may have ended or passed the socket on.
    static qint64 pidOf(quintptr descriptor);
    ZX2LocalSocketPrivate *const d;
};

#endif // ZX2LOCALSOCKET_H
