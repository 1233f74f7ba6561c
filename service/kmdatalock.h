#ifndef KMDATALOCK_H
#define KMDATALOCK_H

#include <QString>

#include <memory>

class KMDataLockPrivate;

// One service per data directory: an instance started by hand while another
// runs must not rewrite the files, the staged changes or the database the
// running one owns. The lock is the kernel's, on the directory itself, held
// for the life of the object and released however the process ends; child
// programs do not inherit it.
class KMDataLock
{
public:
    KMDataLock();
    ~KMDataLock();

    // Takes the lock on directory (created when missing). False when another
    // process holds it (heldElsewhere() then tells so) or the directory
    // cannot be opened or locked; error() gives the system's reason.
    bool take(const QString &directory);
    bool heldElsewhere() const;
    QString error() const;

private:
    std::unique_ptr<KMDataLockPrivate> d;
};

#endif // KMDATALOCK_H
