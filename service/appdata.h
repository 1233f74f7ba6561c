#ifndef APPDATA_H
#define APPDATA_H

#include "zx2core.h"

#include <QObject>
#include <QString>

class KMReverseproxy;
class KMReverseproxyRouter;
class ZX2LocalServer;
class AppDataPrivate;

// The service's single application object: owns the rule manager, the command
// router and the local-socket server for the life of the process, and turns
// SIGINT and SIGTERM into the end of the event loop. Create it with create()
// after the core application; it is never destroyed while the process runs.
class AppData : public QObject, public ZX2Core
{
    Q_OBJECT
public:
    // The existing instance, or a new one without parent on the first call.
    static AppData *create();
    ~AppData() override;

    // Reads the JSON configuration at path (empty: config.json in the data
    // directory) and hands it to the router.
    bool initialize(const QString &path);

    // Locks the data directory (one service per directory), starts the rule
    // manager, then the local server under "lpcid", restricted to the group
    // "lpcgroup" when that is set. Must run on the main thread
    // before the event loop. When it fails, one line on standard error names
    // the cause and the path (kmstartfailure.h).
    bool start();

    // The rule manager; the command slots reach it from connection threads.
    KMReverseproxy *reverseproxy() const;
    KMReverseproxyRouter *router() const;
    ZX2LocalServer *server() const;
    QString appname() const;
    QString lpcid() const;

private:
    AppData();
    Q_DISABLE_COPY(AppData)
    friend class AppDataPrivate;
    AppDataPrivate *const d;   // created by the constructor, deleted by the destructor
};

// The process's application object; null until AppData::create() has run.
AppData *IAppData();

#endif // APPDATA_H
