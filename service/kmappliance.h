#ifndef KMAPPLIANCE_H
#define KMAPPLIANCE_H

#include "kmrule.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// A listening TCP port and the program behind it ("-" or empty when netstat
// could not tell, as for another user's process).
struct KMListener
{
    int port = 0;
    QString program;
};

// What the rule checks need to know about the appliance: the web ports of its
// own desktop site (from the site's Define files), the paths that site
// reserves, the TCP ports something listens on ("netstat -tunlp") and the
// appliance's own addresses. Read afresh at every call; stateless.
class KMAppliance
{
public:
    KMAppliance() = delete;

    // Both web ports, read once for a whole change.
    static KMAppliancePorts webPorts();
    static int apacheHttpPort();
    static int apacheHttpsPort();
    // Whether the path is reserved on that port: only the appliance web ports
    // (and port 0, which stands for them) reserve paths.
    static bool occupied(int port, const QString &path, const KMAppliancePorts &ports);
    // Every listening TCP port with its program. False when netstat cannot
    // run or fails: the list is then unknown, which is not the same as empty.
    static bool listeners(QList<KMListener> &listeners);
    // Whether this process could listen on the TCP port on every address,
    // as Apache's "Listen <port>" does: InUse when another socket holds it
    // (bound or listening), Unknown when the probe itself is not allowed
    // (a port below 1024 without the capability to bind it).
    enum class Bind { Free, InUse, Unknown };
    static Bind bindProbe(int port);
    // The addresses of every interface that is up or running, loopback included.
    static QStringList localIPs();

    // The port of "Define <name> <port>" in a Define file's text; 0 when the
    // first such line has no decimal port or there is none.
    static int definedPort(const QByteArray &text, const QString &name);
    // The local ports of the TCP lines of "netstat -tunlp" output, in output
    // order (a port on IPv4 and IPv6 appears twice).
    static QList<int> listeningPorts(const QByteArray &output);
    // The same lines with the program of each ("PID/name" column, the name).
    static QList<KMListener> listeningPrograms(const QByteArray &output);
    // Whether the path belongs to the appliance's own site on its web ports.
    static bool reservedPath(const QString &path);
};

#endif // KMAPPLIANCE_H
