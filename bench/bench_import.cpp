// What one import of a whole rule table costs against creating its rules one
// by one: both start from an empty store, both end with the same table (every
// tenth rule on a custom port, every fifth with a directive line for Apache's
// test). Runs against a temporary ORBA_ROOT with the test stand-ins for
// "systemctl" and "apache2ctl"; "netstat" is the system's own.
//
//   bench_import [RULES [REPEATS [STORED]]]   (default 1000 rules, 5 repeats)
//
// With STORED, it times instead one import of RULES more rules onto a table
// of STORED rules (imported first, untimed): what holds every other change
// up while its checks run.

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
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// Custom ports below the ephemeral range, so that the system's netstat rarely reports them taken.
QJsonObject rule(int i)
{
    const bool custom = i % 10 == 0;
    QJsonObject params{{"name", QString("rule %1").arg(i)},
            {"source", QJsonObject{{"protocol", i % 2 ? "https" : "http"},
                                   {"port", custom ? 10000 + i / 10 : 0},
                                   {"path", QString("/app%1").arg(i)}}},
            {"dest", QJsonObject{{"protocol", "http"}, {"port", 3000 + i % 1000}, {"path", "/"}}}};
    if (i % 5 == 0)
        params.insert("httpheaders", QJsonArray{QJsonObject{{"key", "Header"}, {"value", "set X-Rule yes"}}});
    return params;
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Milliseconds that fill takes on a manager with a store of its own that
// holds the rules of base.
double timeOnFreshStore(const std::function<bool(KMReverseproxy &, ZX2Journals &)> &fill,
                        const QJsonArray &base = QJsonArray())
{
    QTemporaryDir root;
    qputenv("ORBA_ROOT", root.path().toUtf8());
    KMReverseproxy manager;
    ZX2Journals journals;
    bool ready = writeDefinePorts(root.path(), 80, 443) && manager.start(journals);
    // In imports of the most one takes.
    for (int first = 0; ready && first < base.size(); first += KMReverseproxy::kMaxImport) {
        QJsonArray part;
        for (int i = first; i < std::min(base.size(), first + KMReverseproxy::kMaxImport); ++i)
            part.append(base.at(i));
        ready = manager.importRules(journals, part, false, false);
    }
    if (!ready) {
        std::fprintf(stderr, "cannot prepare the root or the rule database: %s\n", qPrintable(journals.errmsg()));
        std::exit(1);
    }
    QElapsedTimer timer;
    timer.start();
    if (!fill(manager, journals)) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(journals.errmsg()));
        std::exit(1);
    }
    const double msecs = timer.nsecsElapsed() / 1e6;
    qunsetenv("ORBA_ROOT");
    return msecs;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int repeats = argc > 2 ? QByteArray(argv[2]).toInt() : 5;
    const int stored = argc > 3 ? QByteArray(argv[3]).toInt() : 0;
    QTemporaryDir bin;
    // Apache's configuration test answers at once: its own time is not the service's.
    if (count < 1 || repeats < 1 || !writeStandins(bin.path(), bin.path()) || !QFile::remove(bin.filePath("netstat"))
        || !writeScript(bin.path(), QStringLiteral("apache2ctl"), QStringLiteral("exit 0\n"))) {
        std::fprintf(stderr, "usage: bench_import [RULES [REPEATS [STORED]]]; or the stand-ins cannot be written\n");
        return 1;
    }
    qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));
    QJsonArray rules;
    for (int i = 1; i <= count; ++i)
        rules.append(rule(stored + i));
    if (stored > 0) {
        QJsonArray base;
        for (int i = 1; i <= stored; ++i)
            base.append(rule(i));
        std::vector<double> imports;
        for (int r = 0; r < repeats; ++r)
            imports.push_back(timeOnFreshStore([&](KMReverseproxy &manager, ZX2Journals &journals) {
                return manager.importRules(journals, rules, false, false);
            }, base));
        std::printf("%d rules onto %d stored | one import %.1f ms median\n", count, stored, median(imports));
        return 0;
    }

    std::vector<double> imports;
    std::vector<double> creates;
    for (int r = 0; r < repeats; ++r) {
        imports.push_back(timeOnFreshStore([&](KMReverseproxy &manager, ZX2Journals &journals) {
            return manager.importRules(journals, rules, false, false);
        }));
        creates.push_back(timeOnFreshStore([&](KMReverseproxy &manager, ZX2Journals &journals) {
            for (const QJsonValue &params : qAsConst(rules)) {
                if (!manager.create(journals, params.toObject()))
                    return false;
            }
            return true;
        }));
    }
    const double import = median(imports);
    const double create = median(creates);
    std::printf("%d rules | one import %.1f ms median | %d creates %.1f ms median | creates/import %.1f x\n",
                count, import, count, create, create / import);
    return 0;
}
