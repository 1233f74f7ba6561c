#ifndef KMACMEWATCH_H
#define KMACMEWATCH_H

#include "kmrule.h"

#include <QList>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Apache's mod_md obtains and renews certificates on its own, but serves a
// new one only after a graceful reload. This worker looks into mod_md's store
// every few seconds and, when a certificate of one of the rules' names is
// ready there, has the site reloaded, so that it is in use within a minute.
class KMAcmeWatch
{
public:
    // rules reads the rule table; reload regenerates and reloads. Both run
    // on the worker.
    KMAcmeWatch(std::function<QList<KMRule>()> rules, std::function<void()> reload);
    ~KMAcmeWatch(); // stop()
    void stop();    // idempotent

    static constexpr int kIntervalMs = 10000;
    // The same names ready again (the reload did not take them) wait this long.
    static constexpr int kRetryMs = 60000;

private:
    void run();

    std::function<QList<KMRule>()> m_rules;
    std::function<void()> m_reload;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_worker;
};

#endif // KMACMEWATCH_H
