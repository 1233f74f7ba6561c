#include "kmnamelookup.h"

#include <QHash>
#include <QUrl>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>

class KMNameLookupPrivate
{
public:
    QHash<QString, QList<QHostAddress>> answers;
};

namespace {

// The lookups of the whole process. Left to the process's end: an abandoned
// lookup may still be running and touches nothing else.
struct Registry
{
    struct Entry
    {
        bool done = false;
        QList<QHostAddress> addresses;
        std::chrono::steady_clock::time_point ended;
    };
    // At most this many lookups run at once; the others start as they end.
    static const int kMaxRunning = 256;

    std::mutex mutex;
    std::condition_variable changed;
    QHash<QString, std::shared_ptr<Entry>> entries;
    int running = 0;

    static Registry &instance()
    {
        static Registry &registry = *new Registry;
        return registry;
    }

    static void run(std::shared_ptr<Entry> entry, QByteArray name)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const int error = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
        QList<QHostAddress> addresses;
        for (const addrinfo *item = error == 0 ? found : nullptr; item; item = item->ai_next)
            addresses << QHostAddress(item->ai_addr);
        if (found)
            ::freeaddrinfo(found);
        Registry &registry = instance();
        std::lock_guard<std::mutex> lock(registry.mutex);
        entry->addresses = addresses;
        entry->done = true;
        entry->ended = std::chrono::steady_clock::now();
        --registry.running;
        registry.changed.notify_all();
    }

    // Starts the lookups of names not asked yet, as far as threads are free.
    void startMissing(const QStringList &names)
    {
        for (const QString &name : names) {
            if (running >= kMaxRunning)
                return;
            if (entries.contains(name))
                continue;
            const QByteArray ace = QUrl::toAce(name);
            auto entry = std::make_shared<Entry>();
            entries.insert(name, entry);
            if (ace.isEmpty()) { // no resolver could be asked for it
                entry->done = true;
                entry->ended = std::chrono::steady_clock::now();
                continue;
            }
            ++running;
            std::thread(run, entry, ace).detach();
        }
    }

    bool allDone(const QStringList &names) const
    {
        return std::all_of(names.cbegin(), names.cend(), [this](const QString &name) {
            const auto entry = entries.value(name);
            return entry && entry->done;
        });
    }

    void forgetOld()
    {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = entries.begin(); it != entries.end();) {
            if (it.value()->done && now - it.value()->ended > KMNameLookup::kKeep)
                it = entries.erase(it);
            else
                ++it;
        }
    }
};

} // namespace

KMNameLookup::KMNameLookup()
    : d(std::make_shared<KMNameLookupPrivate>())
{
}

KMNameLookup::KMNameLookup(const QStringList &names, std::chrono::milliseconds wait)
{
    auto result = std::make_shared<KMNameLookupPrivate>();
    QStringList wanted = names;
    wanted.removeDuplicates();
    const auto until = std::chrono::steady_clock::now() + wait;
    Registry &registry = Registry::instance();
    std::unique_lock<std::mutex> lock(registry.mutex);
    registry.forgetOld();
    for (;;) {
        registry.startMissing(wanted);
        if (registry.allDone(wanted)
            || registry.changed.wait_until(lock, until) == std::cv_status::timeout)
            break;
    }
    for (const QString &name : qAsConst(wanted)) {
        const auto entry = registry.entries.value(name);
        if (entry && entry->done)
            result->answers.insert(name, entry->addresses);
    }
    d = result;
}

bool KMNameLookup::answered(const QString &name) const
{
    return d->answers.contains(name);
}

QList<QHostAddress> KMNameLookup::addresses(const QString &name) const
{
    return d->answers.value(name);
}
