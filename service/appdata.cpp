#include "appdata.h"

#include "kmreverseproxy.h"
#include "kmreverseproxyrouter.h"
#include "zx2file.h"
#include "zx2journals.h"
#include "zx2localserver.h"
#include "kmpaths.h"
#include "zx2rpcpacket.h"
#include "zx2utils.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaType>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

AppData *g_appData = nullptr;

// Self-pipe between the signal handler and the main thread: a handler may only
// do async-signal-safe work, so printing and quitting happen on the main thread.
int g_quitPipe[2] = {-1, -1};

} // namespace

// The one line a start that cannot go on leaves: the service manager keeps
// standard error in its journal and restarts the service into the same cause.
static bool startFailure(const QString &cause, const QString &path)
{
    QTextStream(stderr) << "reverseproxy: " << cause << ": " << path << Qt::endl;
    return false;
}

// Where the local server puts the socket of name: a bare name lives in the
// temporary directory, as the local-socket layer places it.
static QString socketPath(const QString &name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

// Whether a live server accepts connections on the socket file at path.
static bool isServed(const QByteArray &path)
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
static QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

// Names why the local server could not take the socket; the server itself
// only reports that it failed. error: errno right after the failure.
static bool socketFailure(const ZX2LocalServer &server, const QString &path, int error)
{
    const QString group = server.socketGroup();
    if (!group.isEmpty() && !::getgrnam(group.toLocal8Bit().constData()))
        return startFailure(QStringLiteral("unknown socket group \"%1\" (\"lpcgroup\")").arg(group), path);
    const QByteArray file = QFile::encodeName(path);
    struct stat info{};
    if (::lstat(file.constData(), &info) == 0 && S_ISSOCK(info.st_mode) && isServed(file))
        return startFailure(QStringLiteral("socket in use by another server (socket of user %1)")
                                .arg(userName(info.st_uid)), path);
    QString reason = server.errorString();
    if (reason.isEmpty() && error != 0)
        reason = QString::fromLocal8Bit(std::strerror(error));
    const QString detail = reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
    return startFailure(QStringLiteral("cannot listen on the socket") + detail, path);
}

static void sigInt_AppQuit(int signal)
{
    if (signal != SIGINT && signal != SIGTERM)
        return;
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a pending quit, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(g_quitPipe[1], &byte, 1);
    errno = savedErrno;
}

static void installHandler(int signal)
{
    struct sigaction action = {};
    action.sa_handler = sigInt_AppQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
}

class AppDataPrivate
{
public:
    AppDataPrivate();
    void quitOnSignal();

    KMReverseproxy reverseproxy;
    QString appname;
    KMReverseproxyRouter router;
    QString lpcid;
    QString configFile;   // the configuration initialize() read
    ZX2LocalServer server;
    QSocketNotifier *quitNotifier = nullptr;   // owned; reads the self-pipe on the main thread
};

AppDataPrivate::AppDataPrivate()
    : reverseproxy(nullptr)
    , router(nullptr)
    , server(nullptr)
{
}

void AppDataPrivate::quitOnSignal()
{
    char bytes[16];
    while (::read(g_quitPipe[0], bytes, sizeof bytes) > 0) {
    }
    PRINTLN(QVariant(QStringLiteral("Wait for quit ...")));
    QCoreApplication::quit();
}

AppData::AppData()
    : QObject(nullptr)
    , d(new AppDataPrivate)
{
    if (::pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        d->quitNotifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read);
        QObject::connect(d->quitNotifier, &QSocketNotifier::activated, [this] { d->quitOnSignal(); });
    }
    installHandler(SIGHUP);
    installHandler(SIGPIPE);
    qRegisterMetaType<ZX2RpcPacket>("ZX2RpcPacket");
    setDataDir(QDir(orbaPath(QLatin1String(kReverseproxyDir))));
    d->server.add(&d->router);
    installHandler(SIGINT);
    installHandler(SIGTERM);
}

AppData::~AppData()
{
    delete d->quitNotifier;
    delete d;
}

AppData *AppData::create()
{
    if (!g_appData)
        g_appData = new AppData;
    return g_appData;
}

bool AppData::start()
{
    ZX2Journals myJournals;
    if (!d->reverseproxy.start(myJournals)) {
        const QString database = orbaPath(QLatin1String(kReverseproxyDatabase));
        // A store that cannot be opened at all leaves the journal empty.
        if (myJournals.errmsg().isEmpty())
            return startFailure(QStringLiteral("cannot open or create the rule database"), database);
        return startFailure(QStringLiteral("damaged rule database (%1)").arg(myJournals.errmsg().simplified()),
                            database);
    }
    const QJsonObject config = configuration();
    setDebugging(toBool(config.value(QStringLiteral("debugging"))));
    d->appname = config.value(QStringLiteral("appname")).toString().trimmed();
    d->lpcid = config.value(QStringLiteral("lpcid")).toString();
    if (d->lpcid.isEmpty())
        return startFailure(QStringLiteral("no socket named (\"lpcid\" missing)"), d->configFile);
    d->server.setDebugging(debugging());
    // Absent, the socket stays open to every local user.
    d->server.setSocketGroup(toString(config.value(QStringLiteral("lpcgroup"))));
    errno = 0;
    if (!d->server.start(d->lpcid)) {
        const int error = errno;
        return socketFailure(d->server, socketPath(d->lpcid), error);
    }
    if (debugging())
        PRINTLN(QVariant(QStringLiteral("Local agent: ") + d->lpcid));
    return true;
}

bool AppData::initialize(const QString &path)
{
    const QString file = path.isEmpty() ? dataDir().absoluteFilePath(QStringLiteral("config.json")) : path;
    d->configFile = file;
    setConfiguration(ZX2File::readJsonObject(file));
    ZX2Journals journal;
    return d->router.loadConfigure(journal, configuration());
}

AppData *IAppData()
{
    return g_appData;
}

KMReverseproxy *AppData::reverseproxy() const
{
    return &d->reverseproxy;
}

KMReverseproxyRouter *AppData::router() const
{
    return &d->router;
}

ZX2LocalServer *AppData::server() const
{
    return &d->server;
}

QString AppData::appname() const
{
    return d->appname;
}

QString AppData::lpcid() const
{
    return d->lpcid;
}
