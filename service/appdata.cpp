#include "appdata.h"

#include "kmdatalock.h"
#include "kmownnames.h"
#include "kmreverseproxy.h"
#include "kmreverseproxyrouter.h"
#include "kmstartfailure.h"
#include "zx2file.h"
#include "zx2journals.h"
#include "zx2localserver.h"
#include "kmpaths.h"
#include "zx2rpcpacket.h"
#include "zx2utils.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QMetaType>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

AppData *g_appData = nullptr;

// Self-pipe between the signal handler and the main thread: a handler may only
// do async-signal-safe work, so printing and quitting happen on the main thread.
int g_quitPipe[2] = {-1, -1};

} // namespace

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

    KMDataLock dataLock; // taken before anything in the data directory is touched
    KMReverseproxy reverseproxy;
    QString appname;
    KMReverseproxyRouter router;
    QString lpcid;
    QString configFile;   // the configuration initialize() read
    ZX2LocalServer server;
    QSocketNotifier *quitNotifier = nullptr;   // owned; reads the self-pipe on the main thread
};

AppDataPrivate::AppDataPrivate()
    : reverseproxy(nullptr), router(nullptr), server(nullptr)
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
    const QString directory = orbaPath(QLatin1String(kReverseproxyDir));
    if (!d->dataLock.take(directory))
        return startFailure(d->dataLock.heldElsewhere()
                                ? QStringLiteral("another instance runs on the data directory")
                                : QStringLiteral("cannot lock the data directory (%1)").arg(d->dataLock.error()),
                            directory);
    // The names the owner reaches the appliance by from outside.
    QStringList names;
    for (const QJsonValue &name : configuration().value(QStringLiteral("names")).toArray()) {
        if (!name.toString().trimmed().isEmpty())
            names << name.toString().trimmed();
    }
    KMOwnNames::configure(names);
    ZX2Journals myJournals;
    if (!d->reverseproxy.start(myJournals)) {
        PRINTVAR(myJournals.toObject());
        return databaseFailure(myJournals, orbaPath(QLatin1String(kReverseproxyDatabase)));
    }
    const QJsonObject config = configuration();
    setDebugging(toBool(config.value(QStringLiteral("debugging"))));
    d->appname = config.value(QStringLiteral("appname")).toString().trimmed();
    d->lpcid = config.value(QStringLiteral("lpcid")).toString();
    if (d->lpcid.isEmpty())
        return configurationFailure(d->configFile);
    d->server.setDebugging(debugging());
    // Absent, the socket stays open to every local user.
    d->server.setSocketGroup(toString(config.value(QStringLiteral("lpcgroup"))));
    errno = 0;
    if (!d->server.start(d->lpcid)) {
        const int error = errno;
        return socketFailure(d->server, d->lpcid, error);
    }
    if (debugging())
        PRINTLN(QVariant(QStringLiteral("Local agent: ") + d->lpcid));
    // Slow names may take seconds: the socket serves meanwhile.
    d->reverseproxy.checkStoredNames();
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
