// The exclusive lock that keeps a second service off a running one's files.
#include "kmdatalock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

class KMDataLockPrivate
{
public:
    int fd = -1;
    bool elsewhere = false;
    QString error;

    bool fail(int code)
    {
        error = QString::fromLocal8Bit(std::strerror(code));
        return false;
    }
};

KMDataLock::KMDataLock()
    : d(new KMDataLockPrivate)
{
}

KMDataLock::~KMDataLock()
{
    if (d->fd >= 0)
        ::close(d->fd);
}

bool KMDataLock::take(const QString &directory)
{
    d->elsewhere = false;
    if (d->fd >= 0)
        return true;
    QDir().mkpath(directory);
    const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return d->fail(errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        d->elsewhere = code == EWOULDBLOCK;
        return d->fail(code);
    }
    d->fd = fd;
    return true;
}

bool KMDataLock::heldElsewhere() const
{
    return d->elsewhere;
}

QString KMDataLock::error() const
{
    return d->error;
}
