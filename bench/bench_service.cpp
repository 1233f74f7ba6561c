// Throughput and latency of the real service binary over its socket, and its
// resident memory with many rules and connections. Prints its figures.
//
//   bench_service [ALLOAD_REQUESTS]   (default 4000 per measurement)

#include "servicefixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

QTextStream out(stdout);

QJsonObject command(const QString &cmd, const QJsonObject &params = QJsonObject())
{
    return {{QStringLiteral("cmd"), cmd}, {QStringLiteral("params"), params}};
}

std::atomic<int> g_nextRule{0};

// A create request for a new rule on the appliance http port.
QJsonObject nextCreate()
{
    const int n = g_nextRule++;
    return command(QStringLiteral("reverseproxy_create"),
                   simpleRule(QStringLiteral("bench%1").arg(n), QStringLiteral("/bench/%1").arg(n), 3000));
}

bool succeeded(const QJsonObject &answer)
{
    return answer.value(QStringLiteral("err")).toInt(-1) == 0;
}

// Runs `perConnection` requests on each of `connections` connections at once
// and returns the latency of every request in microseconds (empty on failure).
template <typename MakeRequest>
std::vector<qint64> run(const QString &lpcid, int connections, int perConnection, MakeRequest makeRequest)
{
    std::vector<std::vector<qint64>> latencies(connections);
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            ServiceConnection connection;
            if (!connection.open(lpcid)) {
                failed = true;
                return;
            }
            for (int i = 0; i < perConnection && !failed; ++i) {
                QElapsedTimer timer;
                timer.start();
                QJsonObject answer;
                if (!connection.request(makeRequest(), &answer) || !succeeded(answer))
                    failed = true;
                latencies[c].push_back(timer.nsecsElapsed() / 1000);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::vector<qint64> all;
    if (failed)
        return all;
    for (const auto &list : latencies)
        all.insert(all.end(), list.begin(), list.end());
    return all;
}

void report(const QString &what, int connections, const std::vector<qint64> &latencies, qint64 wallUs)
{
    if (latencies.empty()) {
        out << what << ", " << connections << " connection(s): FAILED" << Qt::endl;
        return;
    }
    std::vector<qint64> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    auto pct = [&sorted](double p) { return sorted[std::min(sorted.size() - 1, size_t(p * sorted.size()))] / 1000.0; };
    out << QStringLiteral("%1, %2 connection(s): %3 requests, %4 req/s, latency ms p50 %5 p95 %6 max %7")
               .arg(what).arg(connections).arg(sorted.size())
               .arg(sorted.size() * 1e6 / qMax<qint64>(wallUs, 1), 0, 'f', 0)
               .arg(pct(0.5), 0, 'f', 2).arg(pct(0.95), 0, 'f', 2).arg(sorted.back() / 1000.0, 0, 'f', 2)
        << Qt::endl;
}

template <typename MakeRequest>
void measure(const QString &what, const QString &lpcid, int connections, int total, MakeRequest makeRequest)
{
    QElapsedTimer wall;
    wall.start();
    const std::vector<qint64> latencies = run(lpcid, connections, total / connections, makeRequest);
    report(what, connections, latencies, wall.nsecsElapsed() / 1000);
}

qint64 residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int alloadRequests = argc > 1 ? qMax(8, QByteArray(argv[1]).toInt()) : 4000;

    ServiceRoot root;
    root.writeDefinePorts(18080, 18443);
    ServiceProcess service(root);
    if (!service.start({QStringLiteral("--cfg"), root.writeDefaultConfig(false)}, root.lpcid())) {
        out << "the service did not start" << Qt::endl;
        return 1;
    }
    const QString lpcid = root.lpcid();
    out << "resident memory at start: " << residentKb(service.pid()) << " KB" << Qt::endl;

    measure(QStringLiteral("reverseproxy_create (rules 0-99)"), lpcid, 1, 100, nextCreate);
    const QJsonObject alload = command(QStringLiteral("reverseproxy_alload"));
    auto makeAlload = [&alload] { return alload; };
    measure(QStringLiteral("reverseproxy_alload, 100 rules"), lpcid, 1, alloadRequests, makeAlload);
    measure(QStringLiteral("reverseproxy_alload, 100 rules"), lpcid, 8, alloadRequests, makeAlload);
    measure(QStringLiteral("reverseproxy_create (rules 100-195)"), lpcid, 8, 96, nextCreate);

    out << "filling to 1000 rules ..." << Qt::endl;
    if (run(lpcid, 1, 1000 - g_nextRule, nextCreate).empty()) {
        out << "creating rules failed" << Qt::endl;
        return 1;
    }
    QThread::sleep(5);
    out << "resident memory with " << g_nextRule << " rules: " << residentKb(service.pid()) << " KB" << Qt::endl;
    std::vector<ServiceConnection> open(50);
    for (ServiceConnection &connection : open) {
        QJsonObject answer;
        if (!connection.open(lpcid) || !connection.request(alload, &answer) || !succeeded(answer)) {
            out << "opening 50 connections failed" << Qt::endl;
            return 1;
        }
    }
    // Let the reload threads of the last creates finish first.
    QThread::sleep(5);
    out << "resident memory with " << g_nextRule << " rules and 50 open connections: "
        << residentKb(service.pid()) << " KB" << Qt::endl;
    return 0;
}
