// Round trip of a trivial command through the local RPC server, beside a bare
// Unix-domain socket echo of the same message sizes (the floor), both served
// by child processes and driven by the same raw-socket client; then the CPU
// time the server process spends while 50 connections sit idle.
//
//   bench_rpc [round trips per measurement, default 20000]

#include "zx2cabinet.h"
#include "zx2localserver.h"
#include "zx2rpcpacket.h"
#include "zx2todorouter.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int ROUNDS = 5; // alternating floor and rpc runs per connection count

class PingRouter : public ZX2TodoRouter
{
    Q_OBJECT
private slots:
    void ping(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
    {
        Q_UNUSED(retObject)
        if (!cmdObject.contains(QLatin1String("help")))
            envObject->setErr(0);
    }
};

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool readExact(int fd, char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

int connectTo(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path);
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
    return -1;
}

// Child: reads requestSize bytes, answers answerSize bytes, one thread per connection.
int serveEcho(const QString &path, int requestSize, int answerSize)
{
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof address.sun_path);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 128) != 0)
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        std::thread([=] {
            std::vector<char> request(static_cast<size_t>(requestSize));
            std::vector<char> answer(static_cast<size_t>(answerSize), 'x');
            while (readExact(fd, request.data(), request.size())
                   && writeAll(fd, answer.data(), answer.size())) {
            }
            ::close(fd);
        }).detach();
    }
}

// Child: the RPC server with the ping command.
int serveRpc(const QString &path, int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    PingRouter router;
    ZX2LocalServer server;
    server.add(&router);
    if (!server.start(path))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

struct Child
{
    QProcess process;
    bool start(const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationFilePath(), arguments);
        return process.waitForStarted(5000) && process.waitForReadyRead(10000)
            && process.readLine().trimmed() == "ready";
    }
    ~Child()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    // User plus system CPU seconds so far, from /proc.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // After the command name: field 14 (utime) and 15 (stime) are at 11 and 12.
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / ::sysconf(_SC_CLK_TCK);
    }
};

struct Figures
{
    double meanUs = 0; // mean round trip
    double p50Us = 0;
    double p99Us = 0;
    double perSecond = 0; // round trips per second, all connections together
};

// connections clients each doing trips round trips of request -> answerSize bytes.
Figures measure(const QString &path, int connections, int trips, const QByteArray &request, int answerSize)
{
    std::vector<std::vector<double>> samples(static_cast<size_t>(connections));
    std::vector<std::thread> clients;
    const Clock::time_point begin = Clock::now();
    for (int c = 0; c < connections; ++c) {
        clients.emplace_back([&, c] {
            const int fd = connectTo(path);
            std::vector<char> answer(static_cast<size_t>(answerSize));
            auto &mine = samples[size_t(c)];
            mine.reserve(size_t(trips));
            for (int i = 0; i < trips + trips / 10 && fd >= 0; ++i) {
                const Clock::time_point t0 = Clock::now();
                if (!writeAll(fd, request.constData(), size_t(request.size()))
                    || !readExact(fd, answer.data(), answer.size()) || answer[1] == 0) {
                    std::fprintf(stderr, "round trip failed\n");
                    break;
                }
                if (i >= trips / 10) // the first tenth warms up
                    mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            if (fd >= 0)
                ::close(fd);
        });
    }
    for (std::thread &client : clients)
        client.join();
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    std::vector<double> all;
    for (const auto &mine : samples)
        all.insert(all.end(), mine.begin(), mine.end());
    Figures figures;
    if (all.empty())
        return figures;
    std::sort(all.begin(), all.end());
    double sum = 0;
    for (double v : all)
        sum += v;
    figures.meanUs = sum / double(all.size());
    figures.p50Us = all[all.size() / 2];
    figures.p99Us = all[size_t(double(all.size() - 1) * 0.99)];
    figures.perSecond = double(connections) * (trips + trips / 10) / wall;
    return figures;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Each figure's median over the runs (the machine may be shared and noisy).
Figures medians(const std::vector<Figures> &runs)
{
    std::vector<double> mean, p50, p99, rate;
    for (const Figures &run : runs) {
        mean.push_back(run.meanUs);
        p50.push_back(run.p50Us);
        p99.push_back(run.p99Us);
        rate.push_back(run.perSecond);
    }
    return {median(mean), median(p50), median(p99), median(rate)};
}

// Size of the server's answer to request, read once and decoded.
int answerSizeOf(const QString &path, const QByteArray &request)
{
    const int fd = connectTo(path);
    QByteArray buffer;
    ZX2RpcPacket answer;
    char chunk[4096];
    int size = -1;
    writeAll(fd, request.constData(), size_t(request.size()));
    while (size < 0) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        buffer.append(chunk, int(n));
        const int total = buffer.size();
        if (answer.fromDatagram(buffer) == 0 && answer.value(QLatin1String("err")).toInt(-1) == 0)
            size = total - buffer.size();
    }
    ::close(fd);
    return size;
}

int runBenchmark(int trips)
{
    QTemporaryDir dir;
    const QString rpcPath = dir.filePath(QStringLiteral("rpc.sock"));
    const QString echoPath = dir.filePath(QStringLiteral("echo.sock"));
    const QByteArray request = ZX2RpcPacket(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("ping")},
                                                        {QStringLiteral("seq"), 1}})
                                   .toDatagram();
    Child rpc;
    if (!rpc.start({QStringLiteral("--serve-rpc"), rpcPath}))
        return 1;
    const int answerSize = answerSizeOf(rpcPath, request);
    Child echo;
    if (answerSize <= 0
        || !echo.start({QStringLiteral("--serve-echo"), echoPath, QString::number(request.size()),
                        QString::number(answerSize)}))
        return 1;
    std::printf("message sizes: request %d bytes, answer %d bytes; %d round trips per run, "
                "medians of %d alternating runs\n", int(request.size()), answerSize, trips, ROUNDS);

    for (int connections : {1, 8}) {
        std::vector<Figures> floor, ours;
        for (int round = 0; round < ROUNDS; ++round) {
            floor.push_back(measure(echoPath, connections, trips / connections, request, answerSize));
            ours.push_back(measure(rpcPath, connections, trips / connections, request, answerSize));
        }
        const Figures f = medians(floor), o = medians(ours);
        std::printf("%d connection(s):\n"
                    "  floor: mean %6.1f us, p50 %6.1f us, p99 %7.1f us, %7.0f round trips/s\n"
                    "  rpc:   mean %6.1f us, p50 %6.1f us, p99 %7.1f us, %7.0f round trips/s\n"
                    "  ratio rpc/floor: mean latency %.2f, p50 latency %.2f, throughput %.2f\n",
                    connections, f.meanUs, f.p50Us, f.p99Us, f.perSecond, o.meanUs, o.p50Us, o.p99Us,
                    o.perSecond, o.meanUs / f.meanUs, o.p50Us / f.p50Us, f.perSecond / o.perSecond);
    }

    std::vector<int> idle;
    for (int i = 0; i < 50; ++i) {
        const int fd = connectTo(rpcPath);
        std::vector<char> answer(static_cast<size_t>(answerSize));
        if (fd < 0 || !writeAll(fd, request.constData(), size_t(request.size()))
            || !readExact(fd, answer.data(), answer.size()))
            return 1;
        idle.push_back(fd);
    }
    const double before = rpc.cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double used = rpc.cpuSeconds() - before;
    std::printf("server CPU with 50 idle connections for 10 s: %.3f s (%.2f%% of one core)\n", used, used * 10.0);
    for (int fd : idle)
        ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && qstrcmp(argv[1], "--serve-rpc") == 0)
        return serveRpc(QString::fromLocal8Bit(argv[2]), argc, argv);
    if (argc >= 5 && qstrcmp(argv[1], "--serve-echo") == 0)
        return serveEcho(QString::fromLocal8Bit(argv[2]), atoi(argv[3]), atoi(argv[4]));
    QCoreApplication app(argc, argv);
    const int trips = argc >= 2 ? qMax(100, atoi(argv[1])) : 20000;
    return runBenchmark(trips);
}

#include "bench_rpc.moc"
