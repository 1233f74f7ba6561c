// How the cost of regenerating Apache's configuration (mapTo) and of a full
// create (checks, netstat, insert, regeneration) grows with the rule count.
// Runs against a temporary ORBA_ROOT with the test stand-ins for "systemctl"
// and "apache2ctl"; "netstat" is the system's own.

#include "kmreverseproxy.h"
#include "testfiles.h"
#include "zx2journals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// A rule on a web port, or on a custom port of its own (below the ephemeral
// range, so that the system's netstat rarely reports it taken).
// With headers, the rule writes a directive line, which Apache's
// configuration test (here a stand-in) judges before the answer.
QJsonObject rule(int i, bool custom, bool headers = true)
{
    QJsonObject params{{"name", QString("rule %1").arg(i)},
            {"source", QJsonObject{{"protocol", i % 2 ? "https" : "http"},
                                   {"port", custom ? 20000 + i : 0},
                                   {"path", QString("/app%1").arg(i)}}},
            {"dest", QJsonObject{{"protocol", "http"}, {"port", 3000 + i % 1000}, {"path", "/"}}},
            {"timeouts", QJsonObject{{"conn", 5}}}};
    if (headers)
        params.insert("httpheaders", QJsonArray{QJsonObject{{"key", "Header"}, {"value", "set X-Rule yes"}}});
    return params;
}

struct Figures
{
    double median = 0;
    double mean = 0;
};

Figures figures(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    Figures result;
    result.median = samples[samples.size() / 2];
    for (double sample : samples)
        result.mean += sample;
    result.mean /= samples.size();
    return result;
}

template<typename Operation>
Figures measure(int repeats, Operation operation)
{
    std::vector<double> samples;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!operation(i)) {
            std::fprintf(stderr, "operation failed\n");
            std::exit(1);
        }
        samples.push_back(timer.nsecsElapsed() / 1e6);
    }
    return figures(samples);
}

void run(int count)
{
    QTemporaryDir root;
    qputenv("ORBA_ROOT", root.path().toUtf8());
    KMReverseproxy manager;
    ZX2Journals journals;
    if (!writeDefinePorts(root.path(), 80, 443) || !manager.start(journals)) {
        std::fprintf(stderr, "cannot prepare the root or open the rule database\n");
        std::exit(1);
    }
    for (int i = 1; i <= count; ++i) {
        if (!manager.create(journals, rule(i, i % 10 == 0))) { // every tenth on a custom port
            std::fprintf(stderr, "create %d: %s\n", i, qPrintable(journals.errmsg()));
            std::exit(1);
        }
    }
    const int repeats = count >= 1000 ? 10 : 30;
    const Figures map = measure(repeats, [&](int) { return manager.mapTo(journals); });
    const Figures webPort = measure(repeats, [&](int i) { return manager.create(journals, rule(count + 1000 + i, false)); });
    const Figures plain = measure(repeats, [&](int i) { return manager.create(journals, rule(count + 3000 + i, false, false)); });
    // Only a custom port runs netstat.
    const Figures customPort = measure(repeats, [&](int i) { return manager.create(journals, rule(count + 2000 + i, true)); });
    // A new destination for a stored rule: no source checks, one regeneration.
    const Figures change = measure(repeats, [&](int i) {
        QJsonObject params = rule(i + 1, (i + 1) % 10 == 0);
        params.insert("dest", QJsonObject{{"protocol", "https"}, {"port", 4000 + i}, {"path", "/x"}});
        params.insert("pxyno", i + 1);
        return manager.change(journals, params);
    });
    // The web-port rules created above.
    const Figures remove = measure(repeats, [&](int i) { return manager.remove(journals, count + 1 + i); });
    std::printf("%6d rules | mapTo %8.2f ms median %8.2f ms mean | create, web port %8.2f ms median"
                " | create, web port, no httpheaders %8.2f ms median"
                " | create, custom port %8.2f ms median %8.2f ms mean | change %8.2f ms median"
                " | remove %8.2f ms median\n",
                count, map.median, map.mean, webPort.median, plain.median, customPort.median,
                customPort.mean, change.median, remove.median);
    qunsetenv("ORBA_ROOT");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir bin;
    // The system's netstat stays: a custom port costs what it costs on the appliance.
    // Apache's configuration test answers at once: its own time (some 20 ms
    // for a real Apache) is not the service's.
    if (!writeStandins(bin.path(), bin.path()) || !QFile::remove(bin.filePath("netstat"))
        || !writeScript(bin.path(), QStringLiteral("apache2ctl"), QStringLiteral("exit 0\n"))) {
        std::fprintf(stderr, "cannot write the stand-ins\n");
        return 1;
    }
    qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));
    // Rule counts to measure; the arguments replace the default set.
    QList<int> counts{10, 100, 1000};
    if (argc > 1) {
        counts.clear();
        for (int i = 1; i < argc; ++i)
            counts.append(QByteArray(argv[i]).toInt());
    }
    for (int count : qAsConst(counts))
        run(count);
    return 0;
}
