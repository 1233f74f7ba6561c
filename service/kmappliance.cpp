#include "kmappliance.h"

#include "zx2file.h"
#include "kmpaths.h"
#include "zx2utils.h"

#include <QNetworkInterface>

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

QList<int> KMAppliance::usedPorts()
{
    QList<int> ports;
    for (const KMListener &listener : listeners())
        ports << listener.port;
    return ports;
}

QList<KMListener> KMAppliance::listeners()
{
    QString output;
    if (cmdExecute(output, {QStringLiteral("netstat"), QStringLiteral("-tunlp")}, kNetstatTimeout) != 0)
        return {};
    return listeningPrograms(output.toUtf8());
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
