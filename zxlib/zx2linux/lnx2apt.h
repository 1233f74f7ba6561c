#ifndef LNX2APT_H
#define LNX2APT_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// Drives the Debian package tools: installs, reinstalls and purges packages
// through apt (reporting the progress of a running apt as a percentage), reads
// package states from dpkg and repairs a damaged package system. All work is
// done by child programs found through PATH; the calls block until they end.
// Package records are {"status", "package", "version"} objects.
class LNX2Apt : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The name in a package file path (/tmp/foo_1.0_amd64.deb gives foo); a
    // text without "/" is returned unchanged.
    static QString takePackageName(const QString &text);
    // Whether a dpkg or apt process is running.
    static bool isBusy();

    static QList<QJsonObject> dpkgPackages();
    // The packages whose state is not exactly "ii".
    static QList<QJsonObject> dpkgBrokens();
    // False, leaving status and version alone, when dpkg does not list package.
    static bool dpkgStatus(const QString &package, QString &status, QString &version);

    // Parsers of apt's output. The two counters return how many lines report
    // an unpacked / set-up package and name the last one.
    static int aptUnpacking(QString &package, const QStringList &lines);
    static int aptSettingUp(QString &package, const QStringList &lines);
    // Upgraded plus newly installed packages of the summary line.
    static bool aptAmounts(int &amount, const QStringList &lines);
    // Download percentage and package of the last progress line; true once
    // dpkg has begun reading its database.
    static bool aptDownloading(int &percent, QString &package, const QByteArray &output);

    // Purges, deleting a maintainer script that stops the purge and retrying.
    static bool aptPurge(const QString &package);
    static int aptPurge(const QList<QJsonObject> &packages);
    static bool aptReinstall(const QString &package);
    static int aptReinstall(const QList<QJsonObject> &packages);

    // Repairs the package system; false only when a package tool already runs.
    bool aptRepair();
    // Installs (exec 1, 2 and unknown values), reinstalls (3) or purges (4)
    // request["package"], emitting progress; result gets the states before and
    // after. True when the tool ended with exit code 0.
    bool aptExecute(QJsonObject &result, const QJsonObject &request);

signals:
    void progress(int value);

private:
    static void reinstallBrokens();
    Q_DISABLE_COPY(LNX2Apt)
};

#endif // LNX2APT_H
