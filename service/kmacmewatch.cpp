#include "kmacmewatch.h"

#include "kmcertificate.h"

#include <chrono>

KMAcmeWatch::KMAcmeWatch(std::function<QList<KMRule>()> rules, std::function<void()> reload)
    : m_rules(std::move(rules))
    , m_reload(std::move(reload))
    , m_worker([this] { run(); })
{
}

KMAcmeWatch::~KMAcmeWatch()
{
    stop();
}

void KMAcmeWatch::stop()
{
    {
        std::lock_guard<std::mutex> locker(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void KMAcmeWatch::run()
{
    using Clock = std::chrono::steady_clock;
    QStringList reloadedFor;
    Clock::time_point reloadedAt;
    std::unique_lock<std::mutex> locker(m_lock);
    while (!m_wake.wait_for(locker, std::chrono::milliseconds(kIntervalMs), [this] { return m_stopping; })) {
        locker.unlock();
        const QStringList ready = KMCertificate::anyStaged() ? KMCertificate::staged(m_rules()) : QStringList();
        if (!ready.isEmpty()
            && (ready != reloadedFor || Clock::now() - reloadedAt > std::chrono::milliseconds(kRetryMs))) {
            m_reload();
            reloadedFor = ready;
            reloadedAt = Clock::now();
        }
        locker.lock();
    }
}
