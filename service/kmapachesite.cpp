#include "kmapachesite.h"

#include "zx2error.h"
#include "zx2journals.h"
#include "zx2paths.h"
#include "zx2utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

const int kReloadDelaySeconds = 3;   // lets a burst of changes end in one reload
const int kSystemctlTimeout = 60000; // ms; a reload that hangs longer is abandoned

bool writeVirtualHosts(ZX2Journals &journals, const QList<KMVirtualHostFile> &hosts)
{
    const QDir directory(orbaPath(QLatin1String(kReverseproxyVirtualHosts)));
    QStringList written;
    bool result = true;
    for (const KMVirtualHostFile &host : hosts) {
        const QString path = directory.absoluteFilePath(host.fileName);
        if (KMApacheSite::writeLines(path, host.lines)) {
            written << host.fileName;
        } else {
            journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("自定义端口配置文保存失败：") + path);
            result = false;
        }
    }
    // Stale files go only after the new ones are in place, so a reload never
    // sees a port without its virtual host. Hidden files are not ours.
    const QStringList present = directory.entryList(QDir::Files);
    for (const QString &name : present) {
        if (!written.contains(name))
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

void runReload()
{
    QString output;
    cmdExecute(output, {QStringLiteral("systemctl"), QStringLiteral("reload"), QStringLiteral("apache2")},
               kSystemctlTimeout);
}

} // namespace

bool KMApacheSite::apply(ZX2Journals &journals, const KMApacheFiles &files)
{
    bool result = writeVirtualHosts(journals, files.virtualHosts);
    result = writeSiteFile(journals, kReverseproxyHttpConf, files.http,
                           QStringLiteral("http配置文保存失败："))
             && result;
    result = writeSiteFile(journals, kReverseproxyHttpsConf, files.https,
                           QStringLiteral("https配置文保存失败："))
             && result;
    if (result)
        scheduleReload();
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
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                        | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(info.absoluteFilePath()).constData()) != 0)
        return false;
    file.setAutoRemove(false);
    return true;
}

void KMApacheSite::scheduleReload()
{
    // Process-wide: the reload thread outlives the operation and the manager.
    static std::mutex mutex;
    static bool waiting = false; // a reload thread is sleeping and will read the files
    std::lock_guard<std::mutex> lock(mutex);
    if (waiting)
        return;
    waiting = true;
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(kReloadDelaySeconds)); // resumes after a signal
        {
            std::lock_guard<std::mutex> relock(mutex);
            waiting = false; // a later regeneration schedules a reload of its own
        }
        runReload();
    }).detach();
}
