#include "testresolver.h"

#include "testfiles.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Question
{
    QByteArray packet;
    QString name;
    sockaddr_in from{};
    std::chrono::steady_clock::time_point due;
};

// The name asked (lower case, dotted) and where the question ends; empty
// for a packet that is no plain question.
QString questionName(const QByteArray &packet, int &end)
{
    QStringList labels;
    int at = 12;
    while (at < packet.size() && packet.at(at) != 0) {
        const int length = quint8(packet.at(at));
        if (length > 63 || at + 1 + length > packet.size())
            return QString();
        labels << QString::fromLatin1(packet.mid(at + 1, length)).toLower();
        at += 1 + length;
    }
    end = at + 5; // the zero label, type and class
    return end <= packet.size() ? labels.join(QLatin1Char('.')) : QString();
}

} // namespace

class TestResolverPrivate
{
public:
    QTemporaryDir dir;
    int socket = -1;
    std::thread server;
    std::atomic_bool stopping{false};
    mutable std::mutex lock;
    QHash<QString, QPair<QString, bool>> answers; // name: address, held
    QList<Question> waiting;
    std::chrono::milliseconds delay{0};
    QString error;

    void reply(const Question &question)
    {
        int end = 0;
        const QString name = questionName(question.packet, end);
        QString address;
        bool known = false;
        {
            std::lock_guard<std::mutex> locker(lock);
            known = answers.contains(name);
            address = answers.value(name).first;
        }
        const bool typeA = end >= 4 && question.packet.at(end - 4) == 0 && question.packet.at(end - 3) == 1;
        QByteArray answer = question.packet.left(end);
        answer[2] = char(0x80 | (question.packet.at(2) & 0x01)); // an answer, recursion as asked
        answer[3] = char(known ? 0x80 : 0x83);                    // recursion available; else "no such name"
        answer[6] = 0;
        answer[7] = char(known && typeA ? 1 : 0);
        answer[8] = answer[9] = answer[10] = answer[11] = 0;
        if (known && typeA) {
            const quint32 ipv4 = QHostAddress(address).toIPv4Address();
            answer += QByteArray("\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04", 12);
            for (int shift = 24; shift >= 0; shift -= 8)
                answer += char((ipv4 >> shift) & 0xff);
        }
        ::sendto(socket, answer.constData(), size_t(answer.size()), 0,
                 reinterpret_cast<const sockaddr *>(&question.from), sizeof question.from);
    }

    void serve()
    {
        while (!stopping) {
            pollfd item{socket, POLLIN, 0};
            if (::poll(&item, 1, 50) > 0) {
                char buffer[512];
                Question question;
                socklen_t size = sizeof question.from;
                const ssize_t read = ::recvfrom(socket, buffer, sizeof buffer, 0,
                                                reinterpret_cast<sockaddr *>(&question.from), &size);
                int end = 0;
                question.packet = QByteArray(buffer, read > 0 ? int(read) : 0);
                question.name = question.packet.size() > 12 ? questionName(question.packet, end) : QString();
                std::lock_guard<std::mutex> locker(lock);
                question.due = std::chrono::steady_clock::now() + delay;
                if (!question.name.isEmpty())
                    waiting << question;
            }
            std::unique_lock<std::mutex> locker(lock);
            QList<Question> due;
            const auto now = std::chrono::steady_clock::now();
            for (auto it = waiting.begin(); it != waiting.end();) {
                if (!answers.value(it->name).second && now >= it->due) {
                    due << *it;
                    it = waiting.erase(it);
                } else {
                    ++it;
                }
            }
            locker.unlock();
            for (const Question &question : qAsConst(due))
                reply(question);
        }
    }
};

TestResolver::TestResolver()
    : d(new TestResolverPrivate)
{
}

TestResolver::~TestResolver()
{
    d->stopping = true;
    if (d->server.joinable())
        d->server.join();
    if (d->socket >= 0)
        ::close(d->socket);
    delete d;
}

bool TestResolver::start(const QByteArray &hosts)
{
    // A loopback address no other test picks, for port 53.
    const quint32 address = (127U << 24) | (QRandomGenerator::global()->bounded(1U, 250U) << 16)
                            | (QRandomGenerator::global()->bounded(1U, 250U) << 8)
                            | QRandomGenerator::global()->bounded(2U, 250U);
    d->socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(53);
    own.sin_addr.s_addr = htonl(address);
    if (d->socket < 0 || ::bind(d->socket, reinterpret_cast<const sockaddr *>(&own), sizeof own) != 0) {
        d->error = QStringLiteral("cannot listen on port 53");
        return false;
    }
    const QString hostsFile = d->dir.filePath(QStringLiteral("hosts"));
    const QString resolvFile = d->dir.filePath(QStringLiteral("resolv.conf"));
    const QByteArray resolv = "nameserver " + QHostAddress(address).toString().toLatin1()
                              + "\noptions timeout:30 attempts:1\n";
    if (!writeTestFile(hostsFile, hosts) || !writeTestFile(resolvFile, resolv)) {
        d->error = QStringLiteral("cannot write the resolver's files");
        return false;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount(hostsFile.toLocal8Bit().constData(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0
        || ::mount(resolvFile.toLocal8Bit().constData(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        d->error = QStringLiteral("no mount namespace of its own");
        return false;
    }
    d->server = std::thread([this] { d->serve(); });
    return true;
}

void TestResolver::answer(const QString &name, const QString &ipv4, bool held)
{
    std::lock_guard<std::mutex> locker(d->lock);
    d->answers.insert(name.toLower(), {ipv4, held});
}

void TestResolver::setDelay(int milliseconds)
{
    std::lock_guard<std::mutex> locker(d->lock);
    d->delay = std::chrono::milliseconds(milliseconds);
}

void TestResolver::release()
{
    std::lock_guard<std::mutex> locker(d->lock);
    for (auto &answer : d->answers)
        answer.second = false;
}

int TestResolver::heldQuestions() const
{
    std::lock_guard<std::mutex> locker(d->lock);
    return int(std::count_if(d->waiting.cbegin(), d->waiting.cend(),
                             [this](const Question &question) { return d->answers.value(question.name).second; }));
}

QString TestResolver::errorText() const
{
    return d->error;
}
