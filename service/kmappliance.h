#ifndef KMAPPLIANCE_H
#define KMAPPLIANCE_H

#include "kmnamelookup.h"
#include "kmrule.h"

#include <QByteArray>
#include <QList>
#include <QSet>
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
    // Whether a rule's source path may not be used on that port: on the
    // appliance web ports (and port 0, which stands for them) the site's root,
    // the documents Apache serves for it and every path at or below one of
    // its prefixes belong to the appliance, whatever the spelling Apache
    // matches the same way (doubled slashes, dot segments, %-escapes), and
    // "/.well-known/acme-challenge/" with the paths that would serve it.
    static bool reservedSource(int port, const QString &path, const KMAppliancePorts &ports);
    // The same for a source with its host: a host that is not one of the
    // appliance's own names (KMOwnNames), resolves to none of its addresses
    // (names, looked up before) and, as "*." name, covers none of its own
    // names takes the whole of that name on the port, so nothing is
    // reserved for it.
    static bool reservedSource(const KMRuleSide &source, const KMAppliancePorts &ports,
                               const KMNameLookup &names);
    // Whether dest is this Apache under any name: a local address (loopback,
    // unspecified, "localhost", an empty host, one of localIPs()) on a port
    // Apache serves: a web port, or one of customPorts. dest's port 0 stands
    // for the web port of its protocol. Any other name is this Apache when
    // any of its addresses (names, looked up before) is local.
    static bool isThisApache(const KMRuleSide &dest, const KMAppliancePorts &ports,
                             const QSet<int> &customPorts, const KMNameLookup &names);
    // The name a resolver must be asked for before host can be judged: empty
    // for an empty host, an address, a "*." name and the names this machine
    // knows as its own without asking.
    static QString lookupName(const QString &host);
    // Every listening TCP port with its program. False when netstat cannot
    // run or fails: the list is then unknown, which is not the same as empty.
    static bool listeners(QList<KMListener> &listeners);
    // Whether this process could listen on the TCP port on every address,
    // as Apache's "Listen <port>" does: InUse when another socket holds it
    // (bound or listening), Unknown when the probe itself is not allowed
    // (a port below 1024 without the capability to bind it).
    enum class Bind { Free, InUse, Unknown };
    static Bind bindProbe(int port);
    // The TCP ports process pid listens on: Apache's own listeners are
    // those of its main process, whatever its name. False when its
    // descriptors cannot be read (no such process, or no right to see it).
    static bool listeningPortsOf(qint64 pid, QSet<int> &ports);
    // The TCP ports that sockets made in a control group listen on (the
    // group as systemd names it: /system.slice/apache2.service), from the
    // kernel's socket diagnostics, where a process without the right to
    // read another's descriptors gets them. False when the group or the
    // diagnostics cannot be read.
    static bool listeningPortsOfGroup(const QString &controlGroup, QSet<int> &ports);
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
};

#endif // KMAPPLIANCE_H
