// What a member's import of rules with slow names costs, and what it costs
// root's create made while it runs: the rules' destinations are distinct
// names (on the web port, so that each must be looked up) that a DNS
// stand-in answers after DELAY_MS. Names are looked up before the change
// lock, all at once: the import takes about one answer's time, and the
// create does not wait for it. Runs as root: the stand-in listens on port 53
// of a loopback address of its own, inside a mount namespace of the
// benchmark's own (testresolver.h); against a temporary ORBA_ROOT with the
// test stand-ins for "systemctl" and "apache2ctl".
//
//   bench_names [RULES [DELAY_MS]]   (default 100 rules, 1900 ms)

#include "kmreverseproxy.h"
#include "testfiles.h"
#include "testresolver.h"
#include "zx2journals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

QJsonObject rule(const QString &name, const QString &path, const QString &destHost, int destPort)
{
    return {{"name", name},
            {"source", QJsonObject{{"protocol", "http"}, {"port", 0}, {"path", path}}},
            {"dest", QJsonObject{{"protocol", "http"}, {"host", destHost}, {"port", destPort}, {"path", "/"}}}};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 100;
    const int delay = argc > 2 ? QByteArray(argv[2]).toInt() : 1900;
    QTemporaryDir bin;
    QTemporaryDir root;
    TestResolver resolver;
    if (count < 1 || delay < 0 || !writeStandins(bin.path(), bin.path())
        || !writeScript(bin.path(), QStringLiteral("apache2ctl"), QStringLiteral("exit 0\n"))
        || !writeDefinePorts(root.path(), 80, 443) || !resolver.start("127.0.0.1 localhost\n")) {
        std::fprintf(stderr, "usage: bench_names [RULES [DELAY_MS]], as root; %s\n", qPrintable(resolver.errorText()));
        return 1;
    }
    qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));
    qputenv("ORBA_ROOT", root.path().toUtf8());
    resolver.setDelay(delay);
    QJsonArray rules;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("slow%1.test").arg(i);
        resolver.answer(name, QStringLiteral("192.0.2.1"));
        rules << rule(QStringLiteral("member %1").arg(i), QStringLiteral("/m%1").arg(i), name, 80);
    }
    KMReverseproxy manager;
    ZX2Journals started;
    if (!manager.start(started)) {
        std::fprintf(stderr, "cannot start: %s\n", qPrintable(started.errmsg()));
        return 1;
    }
    QElapsedTimer timer;
    timer.start();
    std::atomic<qint64> importNs{0};
    std::atomic_bool imported{false};
    std::thread import([&] {
        ZX2Journals journals;
        imported = manager.importRules(journals, rules, false, false);
        importNs = timer.nsecsElapsed();
    });
    // Once the import's questions are out.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const qint64 createStart = timer.nsecsElapsed();
    ZX2Journals journals;
    const bool created = manager.create(journals, rule(QStringLiteral("root"), QStringLiteral("/root"),
                                                       QStringLiteral("127.0.0.1"), 3000));
    const double createMs = (timer.nsecsElapsed() - createStart) / 1e6;
    import.join();
    if (!created || !imported) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(journals.errmsg()));
        return 1;
    }
    std::printf("%d rules, names answering in %d ms | import %.1f ms | root's create meanwhile %.1f ms\n", count, delay,
                importNs / 1e6, createMs);
    return 0;
}
