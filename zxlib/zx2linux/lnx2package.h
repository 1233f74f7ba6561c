#ifndef LNX2PACKAGE_H
#define LNX2PACKAGE_H

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Questions about the Debian packages of the appliance (installed, versions,
// upgrades, broken ones) and the repair of the package system as a whole.
// Stateless; queries return their empty or false result when the tool fails.
// Package records are {"status", "package", "version"}, upgrade records
// {"package", "version" (the upgrade), "current" (installed)}.
class LNX2Package
{
public:
    LNX2Package() = default;

    // Whether a dpkg or apt process is running.
    bool isBusy() const;
    // Every package that dpkg lists (one listing at a time in the process).
    QList<QJsonObject> packages() const;
    // The packages whose state is not exactly "ii".
    QList<QJsonObject> brokens() const;
    // The first package whose name, without an architecture suffix, is package.
    bool status(const QString &package, QString &status, QString &version) const;
    bool installed(const QString &package, QString *version = nullptr) const;
    // Names of the installed packages as listed; versions, when given, gets
    // {name: {"version": version}} for each.
    QStringList installeds(QJsonObject *versions = nullptr) const;
    QHash<QString, QString> packageVersions() const;

    // False at once while a package tool runs. The appliance's own
    // "version-orba" package is left out.
    bool upgradables(QJsonArray &records) const;
    bool upgradable(QString &installedVersion, QString &newVersion, const QString &package) const;
    QStringList upgradables() const;

    // "dpkg -P", up to five tries, deleting a failing post-removal script.
    bool purge(const QString &package) const;
    int purge(const QList<QJsonObject> &packages) const;
    void stepPurges() const;
    bool reinstall(const QString &package) const;
    int reinstall(const QList<QJsonObject> &packages) const;
    // Reinstalls the broken packages until none is left or a round changes nothing.
    void stepRepair() const;
    void stepAutoRemove() const;

    // Removes stale locks, sets the clock from the time server, refreshes the
    // package lists from a clean source list, purges and reinstalls broken
    // packages and lets apt fix the rest. False when another package tool
    // kept running (waiting up to flag milliseconds) or the clock could not
    // be set; true otherwise, whatever the single steps gave.
    bool repairAll(bool flag) const;
};

#endif // LNX2PACKAGE_H
