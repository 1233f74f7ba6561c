#ifndef KMAPPLIANCE_H
#define KMAPPLIANCE_H

#include "kmrule.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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
    // Local TCP ports something listens on; empty when netstat fails.
    static QList<int> usedPorts();
    // The addresses of every interface that is up or running, loopback included.
    static QStringList localIPs();

    // The port of "Define <name> <port>" in a Define file's text; 0 when the
    // first such line has no decimal port or there is none.
    static int definedPort(const QByteArray &text, const QString &name);
    // The local ports of the TCP lines of "netstat -tunlp" output, in output
    // order (a port on IPv4 and IPv6 appears twice).
    static QList<int> listeningPorts(const QByteArray &output);
    // Whether the path belongs to the appliance's own site on its web ports.
    static bool reservedPath(const QString &path);
};

#endif // KMAPPLIANCE_H
