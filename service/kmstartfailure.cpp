#include "kmstartfailure.h"

#include "zx2journals.h"
#include "zx2localserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Whether a live server accepts connections on the socket file at path.
bool isServed(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const bool served = fd >= 0
        && (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 || errno == EAGAIN);
    if (fd >= 0)
        ::close(fd);
    return served;
}

// The user name of uid, or the number when it has none.
QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

} // namespace

bool startFailure(const QString &cause, const QString &path)
{
    QTextStream(stderr) << "reverseproxy: " << cause << ": " << path << Qt::endl;
    return false;
}

bool configurationFailure(const QString &path)
{
    // The configuration was read as an empty object when it could not be
    // read or parsed: the cause is found here, where it is reported.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return startFailure(QStringLiteral("cannot read the configuration (%1)").arg(file.errorString()), path);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return startFailure(QStringLiteral("the configuration is not JSON (%1 at offset %2)")
                                .arg(error.errorString())
                                .arg(error.offset),
                            path);
    if (!document.isObject())
        return startFailure(QStringLiteral("the configuration is not a JSON object"), path);
    return startFailure(QStringLiteral("no socket named (\"lpcid\" missing)"), path);
}

bool databaseFailure(const ZX2Journals &journals, const QString &path)
{
    if (journals.errmsg().isEmpty())
        return startFailure(QStringLiteral("cannot open or create the rule database"), path);
    // SQLite's verdict may span lines; the journal keeps one line per start.
    return startFailure(QStringLiteral("damaged rule database (%1)").arg(journals.errmsg().simplified()), path);
}

bool socketFailure(const ZX2LocalServer &server, const QString &name, int error)
{
    const QString path = ZX2LocalServer::socketPath(name);
    const QString group = server.socketGroup();
    if (!group.isEmpty() && !::getgrnam(group.toLocal8Bit().constData()))
        return startFailure(QStringLiteral("unknown socket group \"%1\" (\"lpcgroup\")").arg(group), path);
    const QByteArray file = QFile::encodeName(path);
    struct stat info{};
    if (::lstat(file.constData(), &info) == 0 && S_ISSOCK(info.st_mode) && isServed(file))
        return startFailure(
            QStringLiteral("socket in use by another server (socket of user %1)").arg(userName(info.st_uid)), path);
    QString reason = server.errorString();
    if (reason.isEmpty() && error != 0)
        reason = QString::fromLocal8Bit(std::strerror(error));
    const QString detail = reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
    return startFailure(QStringLiteral("cannot listen on the socket") + detail, path);
}
