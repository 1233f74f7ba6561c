#include "kmappliance.h"

#include "zx2file.h"
#include "kmpaths.h"
#include "zx2utils.h"

#include <QNetworkInterface>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kNetstatTimeout = 10000; // ms; netstat answers at once unless the system is stuck

int portOfDefineFile(const char *fixedPath, const QString &name)
{
    return KMAppliance::definedPort(ZX2File::readAll(orbaPath(QLatin1String(fixedPath))), name);
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

bool KMAppliance::occupied(int port, const QString &path, const KMAppliancePorts &ports)
{
    if (port != 0 && !ports.isWebPort(port))
        return false;
    return reservedPath(path);
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

bool KMAppliance::reservedPath(const QString &path)
{
    static const QStringList reserved = {
        QStringLiteral("/"),         QStringLiteral("/product"), QStringLiteral("/product/"),
        QStringLiteral("/api"),      QStringLiteral("/api/"),    QStringLiteral("/wmi"),
        QStringLiteral("/wmi/"),     QStringLiteral("/shares"),  QStringLiteral("/shares/"),
        QStringLiteral("/desktop"),  QStringLiteral("/desktop/"), QStringLiteral("/apps"),
        QStringLiteral("/apps/"),    QStringLiteral("/download"), QStringLiteral("/download/")};
    // A prefix serves the same paths with or without its trailing "/"s;
    // letter case counts, as in Apache's <Location>.
    QString prefix = path;
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    return reserved.contains(prefix.isEmpty() ? QStringLiteral("/") : prefix);
}
