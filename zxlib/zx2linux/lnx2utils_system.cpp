#include "lnx2utils_system.h"

#include "lnx2utils_process.h"
#include "zx2error.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QMutex>
#include <QSharedMemory>

#include <cstring>

#include <sys/vfs.h>

namespace {

void runAsRoot(const QStringList &command)
{
    linuxCmdExec(command, true);
}

QString ownerAndGroup(const QFileInfo &info)
{
    const QString owner = info.owner().isEmpty() ? QString::number(info.ownerId()) : info.owner();
    const QString group = info.group().isEmpty() ? QString::number(info.groupId()) : info.group();
    return owner + QLatin1Char(':') + group;
}

bool writeBytes(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(data) == data.size() && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

// Segments this process created. QSharedMemory removes a segment when its last
// handle detaches, so the handle is kept: otherwise a saved segment would
// vanish as soon as the save returned, before any reader could attach.
struct SavedSegments
{
    QMutex mutex;
    QHash<QString, QSharedMemory *> segments;
    ~SavedSegments() { qDeleteAll(segments); }
};

SavedSegments &savedSegments()
{
    static SavedSegments saved;
    return saved;
}

} // namespace

bool writeFile(const QString &path, const QByteArray &data)
{
    // Absolute paths keep a name starting with "-" from being read as an option.
    const QFileInfo info(path);
    const QString target = info.absoluteFilePath();
    const QString owner = info.exists() ? ownerAndGroup(info) : QString();
    if (!QFileInfo::exists(info.absolutePath()))
        runAsRoot({QStringLiteral("mkdir"), QStringLiteral("-p"), info.absolutePath()});
    if (!info.exists())
        runAsRoot({QStringLiteral("touch"), target});
    runAsRoot({QStringLiteral("chmod"), QStringLiteral("777"), target});
    const bool written = writeBytes(target, data);
    runAsRoot({QStringLiteral("chmod"), QStringLiteral("666"), target});
    runAsRoot({QStringLiteral("chown"), owner.isEmpty() ? QStringLiteral("www-data:www-data") : owner,
               target});
    return written;
}

bool writeFile(const QString &path, const QString &text)
{
    return writeFile(path, text.toUtf8());
}

bool writeFile(const QString &path, const QStringList &lines)
{
    return writeFile(path, lines.join(QLatin1Char('\n')).toUtf8());
}

bool writeFile(const QString &path, const QJsonObject &object)
{
    return writeFile(path, QJsonDocument(object).toJson(QJsonDocument::Indented));
}

int mvpath(const QString &from, const QString &to)
{
    if (from.isEmpty() || to.isEmpty())
        return ZX2Error::ERR_PARAMS;
    const QFileInfo source(from);
    if (!source.isDir())
        return ZX2Error::ERR_NOT_EXISTS;
    const QFileInfo target(to);
    if (target.isDir())
        return ZX2Error::ERR_EXISTS;
    const int exitCode = linuxCmdExec({QStringLiteral("mv"), QStringLiteral("-f"),
                                       source.absoluteFilePath(), target.absoluteFilePath()},
                                      true);
    return exitCode == 0 ? ZX2Error::ERR_SUCCEED : ZX2Error::ERR_FAILED;
}

qint64 diskFree(const QString &path)
{
    struct statfs stats;
    if (::statfs(QFile::encodeName(path).constData(), &stats) != 0)
        return -1;
    return qint64(stats.f_bfree) * qint64(stats.f_bsize);
}

bool shareMemorySave(const QString &key, const QByteArray &data)
{
    if (data.isEmpty())
        return false;
    SavedSegments &saved = savedSegments();
    QMutexLocker locker(&saved.mutex);
    delete saved.segments.take(key);
    auto *segment = new QSharedMemory(key);
    if (!segment->create(data.size(), QSharedMemory::ReadWrite)) {
        delete segment;
        return false;
    }
    saved.segments.insert(key, segment);
    if (!segment->lock())
        return false;
    memcpy(segment->data(), data.constData(), size_t(data.size()));
    segment->unlock();
    return true;
}

bool shareMemoryLoad(const QString &key, QByteArray &out)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadWrite))
        return false;
    if (!segment.lock())
        return false;
    out.resize(segment.size());
    memcpy(out.data(), segment.constData(), size_t(segment.size()));
    segment.unlock();
    return true;
}
