#include "kmappliance.h"

#include "zx2file.h"
#include "kmownnames.h"
#include "kmpaths.h"
#include "zx2utils.h"

#include <QHash>
#include <QPair>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QDir>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <linux/magic.h>

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kNetstatTimeout = 10000; // ms; netstat answers at once unless the system is stuck

int portOfDefineFile(const char *fixedPath, const QString &name)
{
    return KMAppliance::definedPort(ZX2File::readAll(orbaPath(QLatin1String(fixedPath))), name);
}

// The first segments the appliance's site serves on its web ports: its
// applications, and the documents Apache serves for "/" (mod_dir looks each
// up as a URL of its own, so a rule there would answer for the site's root).
// The appliance's DirectoryIndex may be set in any of its Apache files, so
// Debian's default list stands for it.
const QStringList kReservedSegments = {
    QStringLiteral("product"),    QStringLiteral("api"),       QStringLiteral("wmi"),
    QStringLiteral("shares"),     QStringLiteral("desktop"),   QStringLiteral("apps"),
    QStringLiteral("download"),   QStringLiteral("index.html"), QStringLiteral("index.cgi"),
    QStringLiteral("index.pl"),   QStringLiteral("index.php"), QStringLiteral("index.xhtml"),
    QStringLiteral("index.htm"),
    // Where host-name rules on the web ports are handed to their locations.
    QStringLiteral(".reverseproxy-host")};

// Compares addresses without the scope of link-local ones.
QHostAddress unscoped(QHostAddress address)
{
    address.setScopeId(QString());
    return address;
}

// Loopback (127/8, ::1), this host's "any" addresses (0/8, ::) in IPv4,
// IPv6 and IPv4-mapped form, and every address of the host's interfaces.
bool isLocalAddress(const QHostAddress &address)
{
    bool isIpv4 = false; // or IPv4-mapped
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4 && ((ipv4 >> 24) == 127 || (ipv4 >> 24) == 0))
        return true;
    if (address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv6))
        return true;
    const QHostAddress plain = unscoped(address);
    for (const QString &ip : KMAppliance::localIPs()) {
        if (plain.isEqual(unscoped(QHostAddress(ip)), QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

// A destination host as a connection reads it: brackets of an IPv6 literal
// and the dots of a fully qualified spelling dropped, letter case folded.
QString plainHost(const QString &text)
{
    QString host = text.trimmed().toLower();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    return host;
}

// The address a plain host spells, as the C library reads numeric IPv4 for a
// connection ("127.1", "2130706433", "0x7f.1"); null for a name.
QHostAddress literalAddress(const QString &host)
{
    in_addr ipv4{};
    if (::inet_aton(host.toLatin1().constData(), &ipv4) != 0)
        return QHostAddress(ntohl(ipv4.s_addr));
    QHostAddress address;
    return address.setAddress(host) ? address : QHostAddress();
}

// Whether a plain host names this machine without asking a resolver: the
// loopback names of Debian's hosts file, "*.localhost", the machine's own
// name (Debian maps it to 127.0.1.1), an empty host (the generator writes
// 127.0.0.1 for it) and local address literals.
bool isLocalHost(const QString &host)
{
    static const QStringList loopbackNames = {QStringLiteral("localhost"), QStringLiteral("localhost.localdomain"),
                                              QStringLiteral("ip6-localhost"), QStringLiteral("ip6-loopback")};
    if (host.isEmpty() || loopbackNames.contains(host) || host.endsWith(QLatin1String(".localhost"))
        || host == QHostInfo::localHostName().toLower())
        return true;
    const QHostAddress address = literalAddress(host);
    return !address.isNull() && isLocalAddress(address);
}

} // namespace

KMAppliancePorts KMAppliance::webPorts()
{
    return {apacheHttpPort(), apacheHttpsPort()};
}

int KMAppliance::apacheHttpPort()
{
    return portOfDefineFile(kDesktopHttpPortFile, QStringLiteral("ORBA_DESKTOP_HTTP_PORT"));
}

int KMAppliance::apacheHttpsPort()
{
    return portOfDefineFile(kDesktopHttpsPortFile, QStringLiteral("ORBA_DESKTOP_HTTPS_PORT"));
}

bool KMAppliance::reservedSource(const KMRuleSide &source, const KMAppliancePorts &ports,
                                 const KMNameLookup &names)
{
    // Another name takes the whole of that name: the appliance keeps its own.
    const QString host = plainHost(source.host);
    const QList<QHostAddress> addresses = names.addresses(lookupName(host));
    const bool own = host.isEmpty() || isLocalHost(host) || KMOwnNames::contains(host)
                     || KMOwnNames::covered(host) || std::any_of(addresses.cbegin(), addresses.cend(), isLocalAddress);
    return own && reservedSource(source.port, source.path, ports);
}

bool KMAppliance::reservedSource(int port, const QString &path, const KMAppliancePorts &ports)
{
    if (port != 0 && !ports.isWebPort(port))
        return false;
    // Letter case counts, as in Apache's <Location>.
    const QStringList segments = KMRule::matchedSegments(path);
    if (segments.isEmpty() || kReservedSegments.contains(segments.first()))
        return true;
    // Certificate authorities validate the appliance's names there.
    return segments.first() == QLatin1String(".well-known")
           && (segments.size() == 1 || segments.at(1) == QLatin1String("acme-challenge"));
}

QString KMAppliance::lookupName(const QString &host)
{
    const QString plain = plainHost(host);
    if (isLocalHost(plain) || !literalAddress(plain).isNull() || plain.startsWith(QLatin1String("*."))
        || KMOwnNames::contains(plain))
        return QString();
    return plain;
}

bool KMAppliance::isThisApache(const KMRuleSide &dest, const KMAppliancePorts &ports,
                               const QSet<int> &customPorts, const KMNameLookup &names)
{
    const int port = dest.effectivePort(ports);
    if (!ports.isWebPort(port) && !customPorts.contains(port))
        return false;
    const QString host = plainHost(dest.host);
    if (isLocalHost(host) || KMOwnNames::contains(host))
        return true;
    // A name the hosts file or DNS gives a local address loops through this
    // Apache all the same.
    const QList<QHostAddress> addresses = names.addresses(lookupName(host));
    return std::any_of(addresses.cbegin(), addresses.cend(), isLocalAddress);
}

bool KMAppliance::listeners(QList<KMListener> &listeners)
{
    QString output;
    if (cmdExecute(output, {QStringLiteral("netstat"), QStringLiteral("-tunlp")}, kNetstatTimeout) != 0)
        return false;
    listeners = listeningPrograms(output.toUtf8());
    return true;
}

KMAppliance::Bind KMAppliance::bindProbe(int port)
{
    // A dual-stack wildcard socket with SO_REUSEADDR, as Apache makes for
    // "Listen <port>"; an IPv4 one where the host has no IPv6.
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ipv6 = fd >= 0;
    if (!ipv6)
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Bind::Unknown;
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bound = -1;
    if (ipv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(quint16(port));
        bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(quint16(port));
        bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    }
    // listen() finds a socket that is bound to the port without listening.
    const bool free = bound == 0 && ::listen(fd, 1) == 0;
    const int error = errno;
    ::close(fd);
    if (free)
        return Bind::Free;
    return error == EADDRINUSE ? Bind::InUse : Bind::Unknown;
}

QStringList KMAppliance::localIPs()
{
    QStringList ips;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!(interface.flags() & (QNetworkInterface::IsUp | QNetworkInterface::IsRunning)))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (!entry.ip().isNull())
                ips << entry.ip().toString();
        }
    }
    ips.removeDuplicates();
    return ips;
}

int KMAppliance::definedPort(const QByteArray &text, const QString &name)
{
    const int zero = text.indexOf('\0');
    const QString content = QString::fromUtf8(zero < 0 ? text : text.left(zero));
    for (QString line : content.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList parts =
            line.replace(QLatin1Char('\t'), QLatin1Char(' ')).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() >= 3 && parts.at(0) == QLatin1String("Define") && parts.at(1) == name)
            return parts.at(2).toInt(nullptr, 10);
    }
    return 0;
}

QList<int> KMAppliance::listeningPorts(const QByteArray &output)
{
    QList<int> ports;
    for (const KMListener &listener : listeningPrograms(output))
        ports << listener.port;
    return ports;
}

QList<KMListener> KMAppliance::listeningPrograms(const QByteArray &output)
{
    const int zero = output.indexOf('\0');
    QStringList lines = QString::fromUtf8(zero < 0 ? output : output.left(zero))
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QList<KMListener> listeners;
    if (lines.isEmpty())
        return listeners;
    lines.removeFirst(); // "Active Internet connections ..."
    for (const QString &line : qAsConst(lines)) {
        const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() <= 3 || !parts.at(0).startsWith(QLatin1String("tcp")))
            continue;
        const QString local = parts.at(3);
        const int port = local.mid(local.lastIndexOf(QLatin1Char(':')) + 1).toInt(nullptr, 10);
        if (port <= 0)
            continue;
        // "LISTEN" then "PID/name" (the name may go on after a blank).
        const QString process = parts.value(6);
        listeners << KMListener{port, process.mid(process.indexOf(QLatin1Char('/')) + 1)};
    }
    return listeners;
}

namespace {

// The TCP sockets listening, by inode, with their ports, from a
// /proc/net/tcp or tcp6 table ("sl local_address rem_address st ... inode",
// hexadecimal port, state 0A = LISTEN).
void listeningSockets(const QByteArray &table, QHash<QByteArray, int> &sockets)
{
    const QList<QByteArray> lines = table.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> parts = lines.at(i).simplified().split(' ');
        if (parts.size() < 10 || parts.at(3) != "0A")
            continue;
        const QByteArray local = parts.at(1);
        bool ok = false;
        const int port = local.mid(local.lastIndexOf(':') + 1).toInt(&ok, 16);
        if (ok)
            sockets.insert(parts.at(9), port);
    }
}

} // namespace

bool KMAppliance::listeningPortsOf(qint64 pid, QSet<int> &ports)
{
    ports.clear();
    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
    QDir directory(fds);
    if (pid <= 0 || !directory.isReadable())
        return false;
    QHash<QByteArray, int> sockets;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"})
        listeningSockets(ZX2File::readAll(QLatin1String(table)), sockets);
    // A socket's descriptor links read "socket:[<inode>]". A sandbox may let
    // the directory be listed but no link be read: that tells nothing.
    const QStringList names = directory.entryList(QDir::Files | QDir::System);
    bool read = false;
    for (const QString &name : names) {
        char target[64] = {};
        const QByteArray path = QFile::encodeName(fds + QLatin1Char('/') + name);
        const ssize_t size = ::readlink(path.constData(), target, sizeof target - 1);
        read = read || size > 0;
        const QByteArray text(target, size > 0 ? int(size) : 0);
        if (text.startsWith("socket:[") && sockets.contains(text.mid(8, text.size() - 9)))
            ports.insert(sockets.value(text.mid(8, text.size() - 9)));
    }
    return read;
}

namespace {

// The ports of the listening TCP sockets of one address family, with the
// control group (cgroup v2 id) of the process that made each, as the
// kernel's socket diagnostics report them: no other process's descriptors
// need to be read.
bool listenersByGroup(int family, QList<QPair<int, quint64>> &listeners)
{
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = quint8(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1U << TCP_LISTEN;
    bool done = ::send(fd, &message, sizeof message, 0) == ssize_t(sizeof message);
    bool ended = false;
    alignas(nlmsghdr) char buffer[32768];
    while (done && !ended) {
        ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
        done = size > 0;
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer); done && NLMSG_OK(header, size);
             header = NLMSG_NEXT(header, size)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                ended = true;
                done = header->nlmsg_type == NLMSG_DONE;
                break;
            }
            const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
            quint64 group = 0;
            int length = int(header->nlmsg_len - NLMSG_LENGTH(sizeof *socket));
            for (auto *attribute = reinterpret_cast<rtattr *>(const_cast<inet_diag_msg *>(socket) + 1);
                 RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
                if (attribute->rta_type == INET_DIAG_CGROUP_ID && RTA_PAYLOAD(attribute) >= sizeof group)
                    std::memcpy(&group, RTA_DATA(attribute), sizeof group);
            }
            listeners.append({ntohs(socket->id.idiag_sport), group});
        }
    }
    ::close(fd);
    return done;
}

} // namespace

bool KMAppliance::listeningPortsOfGroup(const QString &controlGroup, QSet<int> &ports)
{
    ports.clear();
    // A cgroup v2 group's id is its directory's inode number, in the v2
    // hierarchy: /sys/fs/cgroup, or its "unified" part on hybrid systems.
    struct stat info{};
    bool found = false;
    for (const char *hierarchy : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct statfs system{};
        found = found
                || (!controlGroup.isEmpty() && ::statfs(hierarchy, &system) == 0 && system.f_type == CGROUP2_SUPER_MAGIC
                    && ::stat(QFile::encodeName(QLatin1String(hierarchy) + controlGroup).constData(), &info) == 0);
    }
    QList<QPair<int, quint64>> listeners;
    if (!found || !listenersByGroup(AF_INET, listeners) || !listenersByGroup(AF_INET6, listeners))
        return false;
    for (const auto &listener : qAsConst(listeners)) {
        if (listener.second == quint64(info.st_ino))
            ports.insert(listener.first);
    }
    return true;
}
