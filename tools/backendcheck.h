#ifndef BACKENDCHECK_H
#define BACKENDCHECK_H

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

// Whether the back ends of rules answer, seen from the calling user: a TCP
// connection to the destination (a TLS handshake on top for https, the peer's
// certificate not verified), then a HEAD of the destination path. Each step
// has its own time limit; at most 16 rules are checked at once.
namespace BackendCheck {

struct Outcome
{
    bool up = false;
    int msecs = 0;  // from the start of the connection to the answer's status line, when up
    QString reason; // why not, when down: "connection refused", "timeout", "TLS handshake failed", ...

    // "up 12 ms" or "down: <reason>".
    QString text() const;
    // {"up": true, "ms": 12} or {"up": false, "error": "<reason>"}.
    QJsonObject toJson() const;
};

// The destination Apache connects to for a rule record: an empty host is
// 127.0.0.1, a port outside 1..65535 the protocol's default.
struct Target
{
    bool tls = false;
    QString host; // without brackets
    quint16 port = 0;
    QString path; // "/" in front
};
Target targetOf(const QJsonObject &rule);

// The outcome of every rule record, by rule number ("pxyno").
QMap<int, Outcome> checkAll(const QList<QJsonObject> &rules, int limitMsecs = 2000);

} // namespace BackendCheck

#endif // BACKENDCHECK_H
