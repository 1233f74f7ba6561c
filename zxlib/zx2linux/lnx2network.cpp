#include "lnx2network.h"

#include "lnx2host.h"
#include "zx2file.h"

#include <QDir>
#include <QJsonObject>
#include <QProcess>

namespace {

QString classNetDir()
{
    return hostPath(QStringLiteral("/sys/class/net"));
}

QStringList listing(const QString &fixedDir)
{
    return QDir(hostPath(fixedDir)).entryList(QDir::NoFilter, QDir::Name | QDir::IgnoreCase);
}

// The permanent address of a bond's slave, else the current address.
QString hardwareAddress(const QString &name)
{
    const QString dir = classNetDir() + QLatin1Char('/') + name;
    const QString permanent = QString::fromLatin1(
        ZX2File::readAll(dir + QLatin1String("/bonding_slave/perm_hwaddr")).trimmed().constData());
    if (!permanent.isEmpty())
        return permanent;
    return QString::fromUtf8(ZX2File::readAll(dir + QLatin1String("/address")).trimmed().constData());
}

// A command line split into program and arguments as the process class does.
bool runCommandLine(const QString &commandLine, int startMs, int finishMs)
{
    QStringList words = QProcess::splitCommand(commandLine);
    if (words.isEmpty())
        return false;
    const QString program = words.takeFirst();
    return hostRun(program, words, startMs, finishMs);
}

} // namespace

QStringList LNX2Network::virtuals() const
{
    return listing(QStringLiteral("/sys/devices/virtual/net"));
}

QStringList LNX2Network::all() const
{
    return listing(QStringLiteral("/sys/class/net"));
}

QStringList LNX2Network::available() const
{
    QStringList names = all();
    for (const QString &name : virtuals())
        names.removeOne(name);
    return names;
}

QJsonArray LNX2Network::nics() const
{
    const QStringList virtualNames = virtuals();
    QJsonArray records;
    for (const QString &name : all())
        records.append(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("mac"), hardwareAddress(name)},
                                   {QStringLiteral("virtual"), virtualNames.contains(name) ? 1 : 0}});
    return records;
}

QJsonArray LNX2Network::nics(const QStringList &names) const
{
    QJsonArray records;
    for (const QString &name : names)
        records.append(QJsonObject{{QStringLiteral("name"), name},
                                   {QStringLiteral("mac"), hardwareAddress(name)}});
    return records;
}

bool LNX2Network::networkTimeProtocol(const QString &server) const
{
    const QString host = server.trimmed().isEmpty() ? QString::fromLatin1(kHostTimeServer) : server;
    if (!runCommandLine(QStringLiteral("ntpdate ") + host, 5000, 30000))
        return false;
    return runCommandLine(QStringLiteral("hwclock"), 5000, 5000);
}
