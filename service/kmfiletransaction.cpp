// Replaces a set of files as one step that a full disk cannot stop undoing.
#include "kmfiletransaction.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QTemporaryFile>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

// A name beside path that no other file has: the backup of the old file.
QString backupName(const QString &path)
{
    for (int n = 0;; ++n) {
        const QString name = path + QStringLiteral(".old%1").arg(n);
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink())
            return name;
    }
}

// A rename is durable once the directory holding the name is on disk.
bool syncDirectory(const QString &path)
{
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

struct KMFileStep
{
    QString target;
    QString staged; // empty for a removal
    QString backup; // the old file's second name once applied; empty when there was none
    bool applied = false;
};

class KMFileTransactionPrivate
{
public:
    QList<KMFileStep> steps;
    bool applied = false;
    QString failed;

    bool applyStep(KMFileStep &step);
    bool undoStep(KMFileStep &step);
    void drop();
    // Puts the names the steps changed on disk, so that a power loss
    // leaves either side of apply() or undo(), never an empty file.
    void syncDirectories() const;
};

bool KMFileTransactionPrivate::applyStep(KMFileStep &step)
{
    const QByteArray target = encoded(step.target);
    if (QFileInfo::exists(step.target)) {
        step.backup = backupName(step.target);
        if (::link(target.constData(), encoded(step.backup).constData()) != 0) {
            step.backup.clear();
            return false;
        }
    }
    const bool done = step.staged.isEmpty()
                          ? (::unlink(target.constData()) == 0 || !QFileInfo::exists(step.target))
                          : std::rename(encoded(step.staged).constData(), target.constData()) == 0;
    if (!done && !step.backup.isEmpty()) {
        ::unlink(encoded(step.backup).constData());
        step.backup.clear();
    }
    step.applied = done;
    return done;
}

bool KMFileTransactionPrivate::undoStep(KMFileStep &step)
{
    if (!step.applied)
        return true;
    const QByteArray target = encoded(step.target);
    const bool back = step.backup.isEmpty()
                          ? (::unlink(target.constData()) == 0 || !QFileInfo::exists(step.target))
                          : std::rename(encoded(step.backup).constData(), target.constData()) == 0;
    if (back) {
        step.applied = false;
        step.backup.clear();
    }
    return back;
}

void KMFileTransactionPrivate::syncDirectories() const
{
    QSet<QString> directories;
    for (const KMFileStep &step : steps)
        directories.insert(QFileInfo(step.target).absolutePath());
    for (const QString &directory : qAsConst(directories))
        syncDirectory(directory);
}

// Removes staged files and backups: after finish() or before apply().
void KMFileTransactionPrivate::drop()
{
    for (const KMFileStep &step : qAsConst(steps)) {
        if (!step.applied && !step.staged.isEmpty())
            ::unlink(encoded(step.staged).constData());
        if (!step.backup.isEmpty())
            ::unlink(encoded(step.backup).constData());
    }
    steps.clear();
    applied = false;
}

KMFileTransaction::KMFileTransaction()
    : d(new KMFileTransactionPrivate)
{
}

KMFileTransaction::~KMFileTransaction()
{
    if (!d)
        return;
    // Old files that could not be put back stay under their second names.
    if (!d->applied || undo())
        d->drop();
}

KMFileTransaction::KMFileTransaction(KMFileTransaction &&other) noexcept = default;
KMFileTransaction &KMFileTransaction::operator=(KMFileTransaction &&other) noexcept = default;

bool KMFileTransaction::stage(const QString &path, const QByteArray &data, int group)
{
    QFile current(path);
    const QFileInfo info(path);
    if (info.isFile() && !info.isSymLink() && info.size() == data.size()
        && (group == -1 || info.groupId() == uint(group))
        && current.open(QIODevice::ReadOnly) && current.readAll() == data)
        return true;
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    // On disk before it is renamed into place: else a power loss could
    // leave the new name on an empty file.
    if (!file.open() || file.write(data) != data.size() || !file.flush() || ::fsync(file.handle()) != 0)
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    if (group != -1 && ::fchown(file.handle(), uid_t(-1), gid_t(group)) != 0)
        return false;
    file.setAutoRemove(false);
    d->steps.append({path, file.fileName(), QString(), false});
    return true;
}

void KMFileTransaction::stageRemoval(const QString &path)
{
    d->steps.append({path, QString(), QString(), false});
}

bool KMFileTransaction::isEmpty() const
{
    return d->steps.isEmpty();
}

bool KMFileTransaction::apply()
{
    d->applied = true;
    for (KMFileStep &step : d->steps) {
        if (!d->applyStep(step)) {
            const QString failed = step.target;
            undo();
            d->failed = failed;
            return false;
        }
    }
    d->syncDirectories();
    return true;
}

bool KMFileTransaction::undo()
{
    bool all = true;
    d->failed.clear();
    // Backwards, so a file staged twice gets its first old content back.
    for (auto step = d->steps.rbegin(); step != d->steps.rend(); ++step) {
        if (!d->undoStep(*step)) {
            all = false;
            d->failed = step->target;
        }
    }
    d->syncDirectories();
    d->applied = !all;
    if (all)
        d->drop();
    return all;
}

void KMFileTransaction::finish()
{
    d->applied = false;
    for (KMFileStep &step : d->steps)
        step.applied = true; // staged files are in place: nothing to remove but backups
    d->drop();
}

QString KMFileTransaction::failedPath() const
{
    return d->failed;
}
