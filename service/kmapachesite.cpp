#include "kmapachesite.h"

#include "zx2error.h"
#include "zx2journals.h"
#include "kmpaths.h"
#include "zx2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cstdio>

namespace {

const int kSystemctlTimeout = 60000;  // ms; a reload that hangs longer is abandoned
const int kConfigTestTimeout = 30000; // ms; the test takes some 20 ms, more on a loaded system

// An existing link or non-directory at the virtual-host path is not ours to
// write into or clean.
bool usableDirectory(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return false;
    if (info.exists() ? !info.isDir() : !QDir().mkpath(path))
        return false;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                    | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                    | QFileDevice::ExeGroup);
    return true;
}

bool writeVirtualHosts(ZX2Journals &journals, const QList<KMVirtualHostFile> &hosts)
{
    const QString path = orbaPath(QLatin1String(kReverseproxyVirtualHosts));
    if (!usableDirectory(path)) {
        journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("自定义端口配置文保存失败：") + path);
        return false;
    }
    const QDir directory(path);
    QStringList written;
    bool result = true;
    for (const KMVirtualHostFile &host : hosts) {
        const QString file = directory.absoluteFilePath(host.fileName);
        if (KMApacheSite::writeLines(file, host.lines)) {
            written << host.fileName;
        } else {
            journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("自定义端口配置文保存失败：") + file);
            result = false;
        }
    }
    // Stale files go only after the new ones are in place, so a reload never
    // sees a port without its virtual host. Other files are not ours.
    const QStringList present = directory.entryList(QDir::Files);
    for (const QString &name : present) {
        if (KMApacheConf::virtualHostPort(name) > 0 && !written.contains(name))
            QFile::remove(directory.absoluteFilePath(name));
    }
    return result;
}

bool writeSiteFile(ZX2Journals &journals, const char *fixedPath, const QStringList &lines,
                   const QString &failure)
{
    const QString path = orbaPath(QLatin1String(fixedPath));
    if (KMApacheSite::writeLines(path, lines))
        return true;
    journals.setErr(ZX2Error::ERR_SAVE, failure + path);
    return false;
}

bool generatedFile(const QString &path)
{
    const QFileInfo info(path);
    return path == orbaPath(QLatin1String(kReverseproxyHttpConf))
           || path == orbaPath(QLatin1String(kReverseproxyHttpsConf))
           || (info.absolutePath() == orbaPath(QLatin1String(kReverseproxyVirtualHosts))
               && KMApacheConf::virtualHostPort(info.fileName()) > 0);
}

// Apache reports a syntax error as "... Syntax error on line N of FILE:"
// followed by the message on the next line.
KMApacheVerdict readVerdict(const QString &output)
{
    static const QRegularExpression located(
        QStringLiteral("Syntax error on line ([0-9]+) of (.+):$"));
    KMApacheVerdict verdict;
    verdict.reason = QStringLiteral("Apache refuses the configuration");
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = located.match(lines.at(i).trimmed());
        if (!match.hasMatch() || !generatedFile(match.captured(2)))
            continue;
        verdict.file = match.captured(2);
        verdict.line = match.captured(1).toInt();
        verdict.reason = QStringLiteral("line ") + match.captured(1) + QStringLiteral(": ")
                         + lines.value(i + 1).trimmed();
        break;
    }
    return verdict;
}

bool systemctl(const QString &verb, QString &message, const std::atomic_bool *cancel)
{
    QString output;
    const int code = cmdExecute(output, {QStringLiteral("systemctl"), verb, QStringLiteral("apache2")},
                                kSystemctlTimeout, cancel);
    if (code == ZX2Error::ERR_TIMEOUT)
        message = QStringLiteral("systemctl %1 apache2: did not run or did not finish").arg(verb);
    else if (code != 0)
        message = QStringLiteral("systemctl %1 apache2: exit status %2 %3").arg(verb).arg(code).arg(output.trimmed()).trimmed();
    return code == 0;
}

} // namespace

bool KMApacheSite::write(ZX2Journals &journals, const KMApacheFiles &files)
{
    bool result = writeVirtualHosts(journals, files.virtualHosts);
    result = writeSiteFile(journals, kReverseproxyHttpConf, files.http,
                           QStringLiteral("http配置文保存失败："))
             && result;
    result = writeSiteFile(journals, kReverseproxyHttpsConf, files.https,
                           QStringLiteral("https配置文保存失败："))
             && result;
    return result;
}

bool KMApacheSite::writeLines(const QString &path, const QStringList &lines)
{
    const QFileInfo info(path);
    const QByteArray data = lines.join(QLatin1Char('\n')).toUtf8();
    // Most regenerations change one file; leaving the others alone spares a
    // write each.
    QFile current(info.absoluteFilePath());
    if (info.isFile() && current.open(QIODevice::ReadOnly) && current.size() == data.size()
        && current.readAll() == data)
        return true;
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // Written beside the target and renamed over it, so Apache reads the old
    // file or the new one, never a part. No disk sync: the files are made
    // again from the database at every start, and a sync per change would
    // double the cost of a change.
    QTemporaryFile file(info.absoluteFilePath() + QStringLiteral(".XXXXXX"));
    if (!file.open() || file.write(data) != data.size() || !file.flush())
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}

KMApacheVerdict KMApacheSite::configTest(const std::atomic_bool *cancel)
{
    QString output;
    const int code = cmdExecute(output, {QStringLiteral("apache2ctl"), QStringLiteral("-t")},
                                kConfigTestTimeout, cancel);
    KMApacheVerdict verdict;
    if (code == ZX2Error::ERR_TIMEOUT) {
        verdict.reason = QStringLiteral("Apache's configuration test did not run");
        return verdict;
    }
    if (code != 0)
        verdict = readVerdict(output);
    verdict.ran = true;
    verdict.accepted = code == 0;
    return verdict;
}

bool KMApacheSite::reload(QString &message, const std::atomic_bool *cancel)
{
    return systemctl(QStringLiteral("reload"), message, cancel);
}

bool KMApacheSite::start(QString &message, const std::atomic_bool *cancel)
{
    return systemctl(QStringLiteral("start"), message, cancel);
}

QString KMApacheSite::state(const std::atomic_bool *cancel)
{
    QString output;
    const int code = cmdExecute(output, {QStringLiteral("systemctl"), QStringLiteral("is-active"),
                                         QStringLiteral("apache2")},
                                kSystemctlTimeout, cancel);
    if (code == 0)
        return QStringLiteral("active");
    // is-active exits 3 for an inactive or failed unit, 4 for an unknown one.
    return code == 3 ? QStringLiteral("inactive") : QStringLiteral("unknown");
}
