#include "lnx2package.h"

#include "lnx2apt.h"
#include "lnx2host.h"
#include "lnx2utils.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QThread>

namespace {

constexpr int kQueryMs = 9999;          // listings and process lists answer within seconds
constexpr int kListingStartMs = 10000;  // the full listing runs under the packages mutex,
constexpr int kListingMs = 20000;       // so it may not hold the others up for long
constexpr int kRemoveMs = 5000;         // deleting one file takes no time
constexpr int kNetworkMs = 300000;      // time sync and list refresh wait on the network
constexpr int kClockMs = 100000;        // hwclock may wait long on a slow clock device
constexpr int kPurgeAttempts = 5;       // a failing removal script is deleted between tries

QStringList outputLines(const QString &output)
{
    return output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The rows of "dpkg -l --no-pager", or none when it fails.
QList<QStringList> listing()
{
    QString output;
    if (!cmdExec(QStringLiteral("dpkg -l --no-pager"), output, kQueryMs))
        return {};
    return dpkgListingRows(outputLines(output));
}

struct Upgrade
{
    QString name;
    QString version;
    QString current;
};

// The counted lines of "apt list --upgradeable"; ok tells whether it ran.
QList<Upgrade> upgradeList(bool &ok)
{
    QString output;
    ok = cmdExec(QStringLiteral("apt list --upgradeable"), output, kQueryMs);
    QList<Upgrade> upgrades;
    for (const QString &line : outputLines(output)) {
        QString text = line.trimmed();
        if (text.indexOf(QLatin1Char('/'), 1) < 1)
            continue;
        text.remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        text.replace(QLatin1String("upgradable from:"), QLatin1String("upgradable_from:"));
        const QStringList parts = stringSplit(text);
        if (parts.size() > 4 && parts[0].indexOf(QLatin1Char('/'), 1) > 0
            && parts[3] == QLatin1String("upgradable_from:"))
            upgrades << Upgrade{parts[0].left(parts[0].indexOf(QLatin1Char('/'), 1)), parts[1], parts[4]};
    }
    return upgrades;
}

// A Debian package name never holds blanks or "/"; anything else must not
// reach the command lines built from it.
bool plainPackageName(const QString &package)
{
    return !package.isEmpty() && !package.contains(QLatin1Char('/'))
           && stringSplit(package).size() == 1 && !package.contains(QLatin1Char('\n'));
}

void runNoninteractive(const QStringList &command)
{
    hostRun(command.first(), command.mid(1), kToolStartMs, kToolWorkMs, true);
}

} // namespace

bool LNX2Package::isBusy() const
{
    QString output;
    return cmdExec(QStringLiteral("ps -e"), output, kQueryMs) && hostPackageToolListed(output);
}

QList<QJsonObject> LNX2Package::packages() const
{
    static QMutex packagesMutex;
    QMutexLocker locker(&packagesMutex);
    QByteArray output;
    if (!hostRun(QStringLiteral("dpkg"), {QStringLiteral("-l"), QStringLiteral("--no-pager")},
                 kListingStartMs, kListingMs, false, &output))
        return {};
    QList<QJsonObject> records;
    for (const QStringList &row : dpkgListingRows(outputLines(QString::fromUtf8(output.constData()))))
        records << QJsonObject{{QStringLiteral("status"), row[0]},
                               {QStringLiteral("package"), row[1]},
                               {QStringLiteral("version"), row[2]}};
    return records;
}

QList<QJsonObject> LNX2Package::brokens() const
{
    QList<QJsonObject> brokens;
    for (const QJsonObject &record : packages())
        if (record.value(QStringLiteral("status")).toString() != QLatin1String("ii"))
            brokens << record;
    return brokens;
}

bool LNX2Package::status(const QString &package, QString &status, QString &version) const
{
    for (const QStringList &row : listing()) {
        const int colon = row[1].indexOf(QLatin1Char(':'));
        if ((colon > 0 ? row[1].left(colon) : row[1]) == package) {
            status = row[0];
            version = row[2];
            return true;
        }
    }
    return false;
}

bool LNX2Package::installed(const QString &package, QString *version) const
{
    QString state, installedVersion;
    if (!status(package, state, installedVersion) || state != QLatin1String("ii"))
        return false;
    if (version)
        *version = installedVersion;
    return true;
}

QStringList LNX2Package::installeds(QJsonObject *versions) const
{
    QStringList names;
    for (const QStringList &row : listing()) {
        if (row[0] != QLatin1String("ii"))
            continue;
        names << row[1];
        if (versions)
            versions->insert(row[1], QJsonObject{{QStringLiteral("version"), row[2]}});
    }
    return names;
}

QHash<QString, QString> LNX2Package::packageVersions() const
{
    QHash<QString, QString> versions;
    for (const QStringList &row : listing())
        if (row[0] == QLatin1String("ii"))
            versions.insert(row[1], row[2]);
    return versions;
}

bool LNX2Package::upgradables(QJsonArray &records) const
{
    if (isBusy())
        return false;
    bool ok = false;
    for (const Upgrade &upgrade : upgradeList(ok)) {
        if (upgrade.name == QLatin1String("version-orba"))
            continue;
        records.append(QJsonObject{{QStringLiteral("package"), upgrade.name},
                                   {QStringLiteral("version"), upgrade.version},
                                   {QStringLiteral("current"), upgrade.current}});
    }
    return ok;
}

bool LNX2Package::upgradable(QString &installedVersion, QString &newVersion, const QString &package) const
{
    if (isBusy())
        return false;
    bool ok = false;
    for (const Upgrade &upgrade : upgradeList(ok)) {
        if (upgrade.name == package) {
            installedVersion = upgrade.current;
            newVersion = upgrade.version;
            return true;
        }
    }
    return false;
}

QStringList LNX2Package::upgradables() const
{
    QString output;
    cmdExec(QStringLiteral("apt list --upgradable"), output, kToolQueryMs);
    QStringList names;
    for (const QString &line : outputLines(output))
        if (line.contains(QLatin1String("[upgradable from:")))
            names << line.section(QLatin1Char('/'), 0, 0);
    return names;
}

bool LNX2Package::purge(const QString &package) const
{
    if (!plainPackageName(package))
        return false;
    const QString command = QStringLiteral("dpkg -P ") + package;
    bool ok = false;
    for (int attempt = 0; attempt < kPurgeAttempts && !ok; ++attempt) {
        QString error;
        ok = cmdExec(command, error, kToolWorkMs);
        if (!ok && error.contains(QLatin1String(" post-removal ")))
            hostRun(QStringLiteral("rm"),
                    {QStringLiteral("-rf"),
                     hostPath(QStringLiteral("/var/lib/dpkg/info")) + QLatin1Char('/') + package
                         + QLatin1String(".postrm")},
                    kRemoveMs, kRemoveMs);
    }
    return ok;
}

int LNX2Package::purge(const QList<QJsonObject> &packages) const
{
    int purged = 0;
    for (const QJsonObject &record : packages)
        purged += purge(record.value(QStringLiteral("package")).toString()) ? 1 : 0;
    return purged;
}

void LNX2Package::stepPurges() const
{
    const QList<QJsonObject> list = brokens();
    if (!list.isEmpty())
        purge(list);
}

bool LNX2Package::reinstall(const QString &package) const
{
    return LNX2Apt::aptReinstall(package);
}

int LNX2Package::reinstall(const QList<QJsonObject> &packages) const
{
    return LNX2Apt::aptReinstall(packages);
}

void LNX2Package::stepRepair() const
{
    // A round that leaves the same packages broken (a held package stays "hi")
    // ends the repeat, which would otherwise never end.
    QList<QJsonObject> previous;
    for (QList<QJsonObject> current = brokens();
         !current.isEmpty() && current != previous && reinstall(current) > 0; current = brokens())
        previous = current;
}

void LNX2Package::stepAutoRemove() const
{
    cmdExec(QStringLiteral("apt autoremove -y"), kToolWorkMs);
}

bool LNX2Package::repairAll(bool flag) const
{
    QElapsedTimer timer;
    timer.start();
    while (isBusy() && timer.elapsed() < qint64(flag))
        QThread::sleep(1);
    if (isBusy())
        return false;
    hostRemoveFiles({QStringLiteral("/var/lib/dpkg/lock-frontend"), QStringLiteral("/var/lib/dpkg/lock"),
                     QStringLiteral("/var/cache/apt/archives/*.deb"), QStringLiteral("/var/lib/dpkg/updates/*")});
    if (!hostRun(QStringLiteral("ntpdate"), {QString::fromLatin1(kHostTimeServer)}, kToolStartMs, kNetworkMs))
        return false;
    hostRun(QStringLiteral("hwclock"), {}, kToolStartMs, kClockMs);

    // Refresh with an empty main source list first, then put the list back;
    // a backup left by an interrupted run replaces the current list.
    const QString sources = hostPath(QStringLiteral("/etc/apt/sources.list"));
    const QString backup = hostPath(QStringLiteral("/etc/apt/sources.list.~aptdaemon~"));
    if (!QFile::exists(backup) && QFile::copy(sources, backup)) {
        QFile emptied(sources);
        emptied.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    if (QFile::exists(backup)) {
        hostRun(QStringLiteral("apt"), {QStringLiteral("update"), QStringLiteral("-y")}, -1, -1);
        QFile::remove(sources);
        QFile::rename(backup, sources);
    }
    if (!hostRun(QStringLiteral("apt"), {QStringLiteral("update"), QStringLiteral("-y")}, kToolStartMs, kNetworkMs))
        return true;

    stepPurges();
    stepRepair();
    runNoninteractive({QStringLiteral("dpkg"), QStringLiteral("--configure"), QStringLiteral("-a")});
    runNoninteractive({QStringLiteral("apt"), QStringLiteral("autoremove"), QStringLiteral("-y")});
    runNoninteractive({QStringLiteral("apt"), QStringLiteral("clean"), QStringLiteral("-y")});
    runNoninteractive({QStringLiteral("apt"), QStringLiteral("update"), QStringLiteral("-y")});
    runNoninteractive({QStringLiteral("apt"), QStringLiteral("--fix-broken"), QStringLiteral("-y"),
                       QStringLiteral("install")});
    runNoninteractive({QStringLiteral("apt"), QStringLiteral("--fix-broken"), QStringLiteral("-o"),
                       QString::fromLatin1(kAptForceConfmiss), QStringLiteral("-y"), QStringLiteral("install")});
    return true;
}
