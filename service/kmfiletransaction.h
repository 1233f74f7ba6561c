#ifndef KMFILETRANSACTION_H
#define KMFILETRANSACTION_H

#include <QByteArray>
#include <QString>

#include <memory>

class KMFileTransactionPrivate;

// Replaces a set of files as one step that can be undone exactly, on a full
// disk too: new contents are written beside their targets first (the only
// step that needs space), then renamed into place while each old file stays
// reachable through a hard link, so putting it back is a rename again.
// Staged contents are on disk before they are renamed, and the directories
// after: a power loss leaves the old or the new files, never empty ones.
// Destroyed after apply() without finish(), it undoes; destroyed before,
// it removes what it staged. Not thread-safe; one owner at a time.
class KMFileTransaction
{
public:
    KMFileTransaction();
    ~KMFileTransaction();
    KMFileTransaction(KMFileTransaction &&other) noexcept;
    KMFileTransaction &operator=(KMFileTransaction &&other) noexcept;

    // Writes data beside path (mode 0640); nothing live changes. A file that
    // already holds exactly data is left out. False when it cannot be
    // written whole. group, when not -1, is the group id the file gets.
    bool stage(const QString &path, const QByteArray &data, int group = -1);
    // path goes away at apply().
    void stageRemoval(const QString &path);
    // Whether apply() would change anything.
    bool isEmpty() const;

    // Puts every staged file in place. On a failure it undoes what it did
    // and returns false, with the file it could not replace in failedPath().
    bool apply();
    // Puts every old file back (renames only). False when one could not be
    // put back: the path is then in failedPath().
    bool undo();
    // Keeps the new files: the old ones are let go.
    void finish();
    QString failedPath() const;

private:
    std::unique_ptr<KMFileTransactionPrivate> d;
};

#endif // KMFILETRANSACTION_H
