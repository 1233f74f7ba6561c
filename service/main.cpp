// The reverse-proxy service: manages the reverse-proxy rules of the appliance's
// Apache server and answers its clients over a local socket until SIGINT or
// SIGTERM.

#include "appdata.h"
#include "kmreverseproxy.h"
#include "zx2localserver.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include <malloc.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // Every connection runs on a thread of its own; glibc would give each one
    // a malloc arena that keeps its freed answer buffers (about 1 MB per
    // connection with 1000 rules). Two arenas keep the service small.
    mallopt(M_ARENA_MAX, 2);
    // Large buffers (rule texts, listings, answers) come from and go back to
    // the system directly: glibc would otherwise raise this threshold after
    // the first large free and keep such buffers in its heap.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);

    QCoreApplication app(argc, argv);

    const QCommandLineOption cfgOption(QStringLiteral("cfg"), QStringLiteral("指定配置文件"),
                                       QStringLiteral("filepath"));
    // Listed for the clients that pass them; the service does nothing with them.
    const QCommandLineOption uploadOption(QStringLiteral("upload"), QStringLiteral("立即上传备份"));
    const QCommandLineOption restoreOption(QStringLiteral("restore"), QStringLiteral("完整恢复备份"));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(cfgOption);
    parser.addOption(uploadOption);
    parser.addOption(restoreOption);
    parser.process(app);

    const QString path = parser.isSet(cfgOption) ? parser.value(cfgOption) : QString();

    AppData::create();
    if (!IAppData()->initialize(path) || !IAppData()->start()) {
        // The rule manager may have started its first reload: it ends first.
        IAppData()->reverseproxy()->stop();
        return -1;   // reaches the operating system as 255
    }
    const int status = app.exec();
    // The application object lives on; closing the server removes its socket
    // file. Requests already running finish and are answered, so an answer
    // always means the change was made; no connection thread may outlive the
    // exit handlers that tear down the process's globals, so if one is still
    // stuck the process ends without them.
    IAppData()->server()->stop();
    const bool closed = IAppData()->server()->closeConnections();
    // The reload worker ends (with any child it runs) before the process
    // does; the database file then holds every answered change.
    IAppData()->reverseproxy()->stop();
    if (!closed) {
        std::fflush(stdout);
        ::_exit(status);
    }
    return status;
}
