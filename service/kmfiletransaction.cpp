// Replaces a set of files as one step that a full disk cannot stop undoing.
#include "kmfiletransaction.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QTemporaryFile>

#include <cstdio>
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

bool KMFileTransaction::stage(const QString &path, const QByteArray &data)
{
    QFile current(path);
    const QFileInfo info(path);
    if (info.isFile() && !info.isSymLink() && info.size() == data.size()
        && current.open(QIODevice::ReadOnly) && current.readAll() == data)
        return true;
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open() || file.write(data) != data.size() || !file.flush())
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
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
