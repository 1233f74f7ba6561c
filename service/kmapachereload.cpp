#include "kmapachereload.h"

#include "kmapachesite.h"
#include "kmappliance.h"
#include "zx2journals.h"
#include "kmpaths.h"
#include "zx2utils.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QSet>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

const auto kReloadDelay = std::chrono::seconds(3); // lets a burst of changes end in one reload

const QString kPortTaken = QStringLiteral("端口号已被其他程序占用");

bool apacheProgram(const QString &program)
{
    return program.startsWith(QLatin1String("apache2")) || program.startsWith(QLatin1String("httpd"));
}

// The custom ports of the virtual-host files in place: what Apache serves
// when the last reload took them.
QSet<int> writtenPorts()
{
    QSet<int> ports;
    const QStringList names = QDir(orbaPath(QLatin1String(kReverseproxyVirtualHosts))).entryList(QDir::Files);
    for (const QString &name : names) {
        if (const int port = KMApacheConf::virtualHostPort(name))
            ports.insert(port);
    }
    return ports;
}

} // namespace

class KMApacheReloadPrivate
{
public:
    KMApacheReloadPrivate(std::mutex *lock, KMApacheReload::RuleReader reader)
        : writeLock(lock), readRules(std::move(reader)), livePorts(writtenPorts())
    {
    }

    std::mutex *const writeLock;
    const KMApacheReload::RuleReader readRules;

    // Guards the schedule below; the worker sleeps on wake.
    std::mutex scheduleMutex;
    std::condition_variable wake;
    bool pending = false;
    bool stopping = false;
    std::chrono::steady_clock::time_point due;
    std::thread worker;

    // Written by the worker under writeLock; read by status() at any time.
    mutable std::mutex stateMutex;
    QString state = QStringLiteral("none");
    QString time;
    QString message;
    QMap<int, QString> disabled;
    QMap<int, QString> names;

    // Custom ports Apache itself listens on (read on the worker only).
    QSet<int> livePorts;

    void run();
    void reloadNow();
    void leaveOutTakenPorts(const QList<KMRule> &rules, const KMAppliancePorts &ports,
                            QMap<int, QString> &out) const;
    KMApacheFiles writeTested(const QList<KMRule> &rules, const KMAppliancePorts &ports,
                              QMap<int, QString> &out, QString &failure) const;
    void record(bool ok, const QString &text, const QList<KMRule> &rules,
                const QMap<int, QString> &out);
};

void KMApacheReloadPrivate::run()
{
    std::unique_lock<std::mutex> lock(scheduleMutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || pending; });
        if (stopping)
            return;
        if (wake.wait_until(lock, due, [this] { return stopping; }))
            return;
        pending = false;
        lock.unlock();
        reloadNow();
        lock.lock();
    }
}

void KMApacheReloadPrivate::leaveOutTakenPorts(const QList<KMRule> &rules,
                                               const KMAppliancePorts &ports,
                                               QMap<int, QString> &out) const
{
    QSet<int> taken;
    for (const KMListener &listener : KMAppliance::listeners()) {
        const bool unknown = listener.program.isEmpty() || listener.program == QLatin1String("-");
        if (unknown ? !livePorts.contains(listener.port) : !apacheProgram(listener.program))
            taken.insert(listener.port);
    }
    for (const KMRule &rule : rules) {
        const int port = rule.source.effectivePort(ports);
        if (!ports.isWebPort(port) && taken.contains(port) && !out.contains(rule.pxyno))
            out.insert(rule.pxyno, kPortTaken);
    }
}

// Writes the files without the rules in out and has Apache test them; each
// rule whose block Apache refuses joins out and the files are written again.
KMApacheFiles KMApacheReloadPrivate::writeTested(const QList<KMRule> &rules,
                                                 const KMAppliancePorts &ports,
                                                 QMap<int, QString> &out, QString &failure) const
{
    for (;;) {
        const KMApacheFiles files = KMApacheReload::liveFiles(rules, out, ports);
        ZX2Journals journals;
        if (!KMApacheSite::write(journals, files)) {
            failure = journals.errmsg();
            return files;
        }
        // Without a verdict the reload goes ahead: Apache keeps its old
        // configuration if it refuses the new one, and the outcome says so.
        const KMApacheVerdict verdict = KMApacheSite::configTest();
        const bool fine = verdict.accepted || !verdict.ran;
        const int culprit = fine ? 0 : files.ownerOf(verdict.file, verdict.line);
        if (fine || culprit == 0 || out.contains(culprit)) {
            failure = fine ? QString() : verdict.reason;
            return files;
        }
        out.insert(culprit, QStringLiteral("Apache: ") + verdict.reason);
    }
}

void KMApacheReloadPrivate::reloadNow()
{
    std::lock_guard<std::mutex> locker(*writeLock);
    const KMAppliancePorts ports = KMAppliance::webPorts();
    QList<KMRule> rules;
    if (!readRules(rules)) {
        record(false, QStringLiteral("rules unreadable"), rules, {});
        return;
    }
    QMap<int, QString> out = KMApacheReload::unsafeRules(rules);
    leaveOutTakenPorts(rules, ports, out);
    QString failure;
    writeTested(rules, ports, out, failure);
    QString text;
    bool ok = failure.isEmpty() && KMApacheSite::reload(text);
    if (!ok || KMApacheSite::state() != QLatin1String("active")) {
        // A port taken since the check, or Apache down: try once more
        // without what it cannot serve.
        leaveOutTakenPorts(rules, ports, out);
        writeTested(rules, ports, out, failure);
        const bool running = KMApacheSite::state() == QLatin1String("active");
        ok = failure.isEmpty()
             && (running ? KMApacheSite::reload(text) : KMApacheSite::start(text))
             && KMApacheSite::state() == QLatin1String("active");
    }
    if (!failure.isEmpty())
        text = failure;
    record(ok, text, rules, out);
}

void KMApacheReloadPrivate::record(bool ok, const QString &text, const QList<KMRule> &rules,
                                   const QMap<int, QString> &out)
{
    if (ok) {
        livePorts.clear();
        for (const KMRule &rule : rules) {
            if (rule.source.port > 0 && !out.contains(rule.pxyno))
                livePorts.insert(rule.source.port);
        }
    }
    QMap<int, QString> ruleNames;
    for (const KMRule &rule : rules)
        ruleNames.insert(rule.pxyno, rule.name);
    {
        std::lock_guard<std::mutex> locker(stateMutex);
        state = ok ? QStringLiteral("ok") : QStringLiteral("failed");
        time = QDateTime::currentDateTime().toString(Qt::ISODate);
        message = ok ? QString() : text;
        disabled = out;
        names = ruleNames;
    }
    ZX2StatePrintln(ok ? 0 : 4, ok ? QStringLiteral("Apache reloaded")
                                   : QStringLiteral("Apache reload failed: ") + text);
    for (auto rule = out.cbegin(); rule != out.cend(); ++rule)
        ZX2StatePrintln(2, QStringLiteral("rule %1 disabled: %2").arg(rule.key()).arg(rule.value()));
}

KMApacheReload::KMApacheReload(std::mutex *writeLock, RuleReader readRules)
    : d(new KMApacheReloadPrivate(writeLock, std::move(readRules)))
{
    d->worker = std::thread([this] { d->run(); });
}

KMApacheReload::~KMApacheReload()
{
    {
        std::lock_guard<std::mutex> lock(d->scheduleMutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    d->worker.join();
    delete d;
}

void KMApacheReload::schedule()
{
    {
        std::lock_guard<std::mutex> lock(d->scheduleMutex);
        if (d->pending)
            return;
        d->pending = true;
        d->due = std::chrono::steady_clock::now() + kReloadDelay;
    }
    d->wake.notify_all();
}

QMap<int, QString> KMApacheReload::disabled() const
{
    std::lock_guard<std::mutex> locker(d->stateMutex);
    return d->disabled;
}

void KMApacheReload::forget(int pxyno)
{
    std::lock_guard<std::mutex> locker(d->stateMutex);
    d->disabled.remove(pxyno);
}

QMap<int, QString> KMApacheReload::unsafeRules(const QList<KMRule> &rules)
{
    QMap<int, QString> unsafe;
    for (const KMRule &rule : rules) {
        const QString field = rule.unsafeField();
        if (!field.isEmpty())
            unsafe.insert(rule.pxyno, QStringLiteral("参数内容错误(") + field + QLatin1Char(')'));
    }
    return unsafe;
}

KMApacheFiles KMApacheReload::liveFiles(const QList<KMRule> &rules,
                                        const QMap<int, QString> &disabled,
                                        const KMAppliancePorts &ports)
{
    QList<KMRule> live;
    live.reserve(rules.size());
    for (const KMRule &rule : rules) {
        if (!disabled.contains(rule.pxyno))
            live << rule;
    }
    return KMApacheConf::generate(live, ports);
}

QJsonObject KMApacheReload::status() const
{
    const QString apache = KMApacheSite::state();
    bool pending = false;
    {
        std::lock_guard<std::mutex> lock(d->scheduleMutex);
        pending = d->pending;
    }
    std::lock_guard<std::mutex> locker(d->stateMutex);
    QJsonArray disabled;
    for (auto rule = d->disabled.cbegin(); rule != d->disabled.cend(); ++rule)
        disabled.append(QJsonObject{{QStringLiteral("pxyno"), rule.key()},
                                    {QStringLiteral("name"), d->names.value(rule.key())},
                                    {QStringLiteral("reason"), rule.value()}});
    const QString state = pending ? QStringLiteral("pending") : d->state;
    return {{QStringLiteral("reload"), QJsonObject{{QStringLiteral("state"), state},
                                                   {QStringLiteral("time"), d->time},
                                                   {QStringLiteral("message"), d->message}}},
            {QStringLiteral("apache"), apache},
            {QStringLiteral("disabled"), disabled}};
}
