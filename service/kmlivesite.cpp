#include "kmlivesite.h"

#include "kmapachesite.h"
#include "kmappliance.h"
#include "kmpaths.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2utils.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QSet>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <thread>

namespace {

const auto kReloadDelay = std::chrono::seconds(3); // lets a burst of changes end in one reload
// A graceful reload returns before Apache has bound its ports again; a new
// port it cannot bind ends Apache a moment later.
const auto kReloadSettle = std::chrono::milliseconds(500);

const QString kPortTaken = QStringLiteral("端口号已被其他程序占用");
const QString kPortsUnknown = QStringLiteral("端口占用情况无法读取(netstat)");

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

qint64 configurationSize(const KMApacheFiles &files)
{
    qint64 size = 0;
    auto add = [&size](const QStringList &lines) {
        for (const QString &line : lines)
            size += line.size() + 1;
    };
    add(files.http);
    add(files.https);
    for (const KMVirtualHostFile &host : files.virtualHosts)
        add(host.lines);
    return size;
}

} // namespace

class KMLiveSitePrivate
{
public:
    explicit KMLiveSitePrivate(std::function<void()> hook)
        : afterReload(std::move(hook)), livePorts(writtenPorts())
    {
    }

    const std::function<void()> afterReload;

    // Held by a Change and by the worker while it reloads: the files, the
    // live table and the left-out rules below change only under it.
    std::mutex siteLock;
    QList<KMRule> live;
    QMap<int, QString> screened; // content no longer accepted, found at start

    // Guards the schedule; the worker sleeps on wake.
    std::mutex scheduleMutex;
    std::condition_variable wake;
    bool pending = false;
    std::chrono::steady_clock::time_point due;
    std::atomic_bool stopping{false};
    std::thread worker;

    // What status() reads; written under the site lock as well.
    mutable std::mutex stateMutex;
    QString state = QStringLiteral("none");
    QString time;
    QString message;
    QMap<int, QString> disabled; // by the last reload
    QMap<int, QString> names;
    // Custom ports Apache itself listened on after the last good reload.
    QSet<int> livePorts;

    QMap<int, QString> leftOut() const;
    QMap<int, QString> leftOutLocked() const; // with stateMutex held
    void schedule(std::chrono::steady_clock::time_point when);
    bool pause(std::chrono::milliseconds span);
    void run();
    void reloadNow();
    bool reloadOrStart(bool running, const QMap<int, QString> &out, QString &text);
    void leaveOutTakenPorts(const KMAppliancePorts &ports, QMap<int, QString> &out) const;
    QSet<int> apachePorts() const;
    KMApacheFiles writeTested(const KMAppliancePorts &ports, QMap<int, QString> &out,
                              QString &failure) const;
    void record(bool ok, const QString &text, const QMap<int, QString> &out);
    static KMApacheFiles liveFiles(const QList<KMRule> &rules, const QMap<int, QString> &out,
                                   const KMAppliancePorts &ports);
};

KMApacheFiles KMLiveSitePrivate::liveFiles(const QList<KMRule> &rules,
                                           const QMap<int, QString> &out,
                                           const KMAppliancePorts &ports)
{
    QList<KMRule> kept;
    kept.reserve(rules.size());
    for (const KMRule &rule : rules) {
        if (!out.contains(rule.pxyno))
            kept << rule;
    }
    return KMApacheConf::generate(kept, ports);
}

QMap<int, QString> KMLiveSitePrivate::leftOut() const
{
    std::lock_guard<std::mutex> locker(stateMutex);
    return leftOutLocked();
}

QMap<int, QString> KMLiveSitePrivate::leftOutLocked() const
{
    QMap<int, QString> out = disabled;
    for (auto rule = screened.cbegin(); rule != screened.cend(); ++rule)
        out.insert(rule.key(), rule.value());
    return out;
}

void KMLiveSitePrivate::schedule(std::chrono::steady_clock::time_point when)
{
    {
        std::lock_guard<std::mutex> lock(scheduleMutex);
        if (pending && due <= when)
            return;
        pending = true;
        due = when;
    }
    wake.notify_all();
}

// Sleeps for span unless the site stops first; false when it stops.
bool KMLiveSitePrivate::pause(std::chrono::milliseconds span)
{
    std::unique_lock<std::mutex> lock(scheduleMutex);
    return !wake.wait_for(lock, span, [this] { return stopping.load(); });
}

void KMLiveSitePrivate::run()
{
    std::unique_lock<std::mutex> lock(scheduleMutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || pending; });
        if (stopping)
            return;
        if (std::chrono::steady_clock::now() < due) {
            // Woken early by a stop, or by a start that wants it sooner.
            wake.wait_until(lock, due);
            continue;
        }
        pending = false;
        lock.unlock();
        reloadNow();
        if (afterReload && !stopping)
            afterReload();
        lock.lock();
    }
}

void KMLiveSitePrivate::leaveOutTakenPorts(const KMAppliancePorts &ports,
                                           QMap<int, QString> &out) const
{
    const KMLiveSite::PortHolders holders(apachePorts(), &stopping);
    for (const KMRule &rule : live) {
        const int port = rule.source.effectivePort(ports);
        if (ports.isWebPort(port) || out.contains(rule.pxyno))
            continue;
        if (!holders.known())
            out.insert(rule.pxyno, kPortsUnknown);
        else if (holders.foreign(port))
            out.insert(rule.pxyno, kPortTaken);
    }
}

QSet<int> KMLiveSitePrivate::apachePorts() const
{
    std::lock_guard<std::mutex> locker(stateMutex);
    return livePorts;
}

// Writes the files without the rules in out and has Apache test them; each
// rule whose block Apache refuses joins out and the files are written again.
KMApacheFiles KMLiveSitePrivate::writeTested(const KMAppliancePorts &ports,
                                             QMap<int, QString> &out, QString &failure) const
{
    for (;;) {
        const KMApacheFiles files = liveFiles(live, out, ports);
        // A stop ends the children this reload asked about the ports with:
        // what they said then is no reason to take a rule out of the files.
        if (stopping) {
            failure = QStringLiteral("stopped");
            return files;
        }
        ZX2Journals journals;
        if (!KMApacheSite::write(journals, files)) {
            failure = journals.errmsg();
            return files;
        }
        // Without a verdict the reload goes ahead: Apache keeps its old
        // configuration if it refuses the new one, and the outcome says so.
        const KMApacheVerdict verdict = KMApacheSite::configTest(&stopping);
        const bool fine = verdict.accepted || !verdict.ran;
        const int culprit = fine ? 0 : files.ownerOf(verdict.file, verdict.line);
        if (fine || culprit == 0 || out.contains(culprit)) {
            failure = fine ? QString() : verdict.reason;
            return files;
        }
        out.insert(culprit, QStringLiteral("Apache: ") + verdict.reason);
    }
}

// A reload (or a start, when Apache is down) that counts only when Apache
// runs afterwards. A start binds every port before it returns; a reload
// that brings ports Apache did not hold is given time to fail.
bool KMLiveSitePrivate::reloadOrStart(bool running, const QMap<int, QString> &out, QString &text)
{
    bool newPorts = false;
    const QSet<int> held = apachePorts();
    for (const KMRule &rule : qAsConst(live)) {
        const int port = rule.source.port;
        newPorts = newPorts || (port > 0 && !out.contains(rule.pxyno) && !held.contains(port));
    }
    const bool done = running ? KMApacheSite::reload(text, &stopping)
                              : KMApacheSite::start(text, &stopping);
    if (!done || (running && newPorts && !pause(kReloadSettle)))
        return false;
    if (KMApacheSite::state(&stopping) == QLatin1String("active"))
        return true;
    text = QStringLiteral("Apache is not running after systemctl ")
           + (running ? QStringLiteral("reload") : QStringLiteral("start"));
    return false;
}

void KMLiveSitePrivate::reloadNow()
{
    std::lock_guard<std::mutex> locker(siteLock);
    if (stopping)
        return;
    const KMAppliancePorts ports = KMAppliance::webPorts();
    QMap<int, QString> out = screened;
    leaveOutTakenPorts(ports, out);
    QString failure;
    writeTested(ports, out, failure);
    QString text;
    bool ok = failure.isEmpty() && reloadOrStart(true, out, text);
    if (!ok && !stopping) {
        // A port taken since the check, or Apache down: try once more
        // without what it cannot serve now.
        leaveOutTakenPorts(ports, out);
        writeTested(ports, out, failure);
        const bool running = KMApacheSite::state(&stopping) == QLatin1String("active");
        ok = failure.isEmpty() && reloadOrStart(running, out, text);
    }
    if (stopping)
        return; // cut short: nothing to record
    if (!failure.isEmpty())
        text = failure;
    record(ok, text, out);
}

void KMLiveSitePrivate::record(bool ok, const QString &text, const QMap<int, QString> &out)
{
    QSet<int> ports;
    for (const KMRule &rule : qAsConst(live)) {
        if (rule.source.port > 0 && !out.contains(rule.pxyno))
            ports.insert(rule.source.port);
    }
    QMap<int, QString> ruleNames;
    for (const KMRule &rule : qAsConst(live))
        ruleNames.insert(rule.pxyno, rule.name);
    ZX2StatePrintln(ok ? 0 : 4, ok ? QStringLiteral("Apache reloaded")
                                   : QStringLiteral("Apache reload failed: ") + text);
    for (auto rule = out.cbegin(); rule != out.cend(); ++rule)
        ZX2StatePrintln(2, QStringLiteral("rule %1 disabled: %2").arg(rule.key()).arg(rule.value()));
    QMap<int, QString> reloadOut = out;
    for (auto rule = screened.cbegin(); rule != screened.cend(); ++rule)
        reloadOut.remove(rule.key());
    {
        std::lock_guard<std::mutex> locker(stateMutex);
        state = ok ? QStringLiteral("ok") : QStringLiteral("failed");
        time = QDateTime::currentDateTime().toString(Qt::ISODate);
        message = ok ? QString() : text;
        disabled = reloadOut;
        names = ruleNames;
        if (ok)
            livePorts = ports;
    }
}

KMLiveSite::KMLiveSite(std::function<void()> afterReload)
    : d(new KMLiveSitePrivate(std::move(afterReload)))
{
    d->worker = std::thread([this] { d->run(); });
}

KMLiveSite::~KMLiveSite()
{
    stop();
}

bool KMLiveSite::start(ZX2Journals &journals, const QList<KMRule> &rules,
                       const QMap<int, QString> &screened)
{
    {
        std::lock_guard<std::mutex> locker(d->siteLock);
        d->live = rules;
        {
            std::lock_guard<std::mutex> state(d->stateMutex);
            d->screened = screened;
        }
        if (!KMApacheSite::write(journals, d->liveFiles(rules, d->leftOut(), KMAppliance::webPorts())))
            return false;
    }
    d->schedule(std::chrono::steady_clock::now());
    return true;
}

void KMLiveSite::stop()
{
    {
        std::lock_guard<std::mutex> lock(d->scheduleMutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    if (d->worker.joinable())
        d->worker.join();
}

KMLiveSite::Change KMLiveSite::change()
{
    return Change(d.get());
}

KMLiveSite::PortHolders::PortHolders(const QSet<int> &apachePorts, const std::atomic_bool *cancel)
    : m_known(KMAppliance::listeners(m_listeners)), m_apachePorts(apachePorts), m_cancel(cancel)
{
}

// Asks systemd only for a port Apache took at its last good reload.
bool KMLiveSite::PortHolders::apacheHolds(int port) const
{
    if (!m_apachePorts.contains(port))
        return false;
    if (m_running < 0)
        m_running = KMApacheSite::state(m_cancel) == QLatin1String("active") ? 1 : 0;
    return m_running == 1;
}

bool KMLiveSite::PortHolders::foreign(int port) const
{
    QString program;
    for (const KMListener &listener : m_listeners) {
        if (listener.port == port && (program.isEmpty() || program == QLatin1String("-")))
            program = listener.program.isEmpty() ? QStringLiteral("-") : listener.program;
    }
    if (program.isEmpty())
        return KMAppliance::bindProbe(port) == KMAppliance::Bind::InUse && !apacheHolds(port);
    return program == QLatin1String("-") ? !apacheHolds(port) : !apacheProgram(program);
}

KMLiveSite::PortHolders KMLiveSite::portHolders() const
{
    return PortHolders(d->apachePorts(), nullptr);
}

QMap<int, QString> KMLiveSite::leftOut() const
{
    return d->leftOut();
}

QJsonObject KMLiveSite::status() const
{
    const QString apache = KMApacheSite::state();
    bool pending = false;
    {
        std::lock_guard<std::mutex> lock(d->scheduleMutex);
        pending = d->pending;
    }
    std::lock_guard<std::mutex> locker(d->stateMutex);
    const QMap<int, QString> out = d->leftOutLocked();
    QJsonArray disabled;
    for (auto rule = out.cbegin(); rule != out.cend(); ++rule)
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

KMLiveSite::Change::Change(KMLiveSitePrivate *owner)
    : site(owner), lock(owner->siteLock)
{
}

KMLiveSite::Change::~Change()
{
    if (!written || kept)
        return;
    ZX2Journals ignored;
    KMApacheSite::write(ignored, site->liveFiles(site->live, site->leftOut(), ports));
}

bool KMLiveSite::Change::write(ZX2Journals &journals, const QList<KMRule> &rules, int freshRule,
                               const KMAppliancePorts &webPorts)
{
    fresh = freshRule;
    ports = webPorts;
    QMap<int, QString> out = site->leftOut();
    out.remove(fresh);
    files = site->liveFiles(rules, out, ports);
    if (configurationSize(files) > kMaxConfiguration) {
        journals.setErr(ZX2Error::ERR_NOT_ENOUGH, QStringLiteral("规则总量超出上限(配置文件超过16 MiB)"));
        return false;
    }
    written = true;
    return KMApacheSite::write(journals, files);
}

bool KMLiveSite::Change::test(ZX2Journals &journals)
{
    const KMApacheVerdict verdict = KMApacheSite::configTest(&site->stopping);
    if (verdict.accepted)
        return true;
    // Only a refusal located in a generated file is the rule's fault.
    refused = verdict.ran ? files.ownerOf(verdict.file, verdict.line) : 0;
    if (verdict.ran && !verdict.file.isEmpty())
        journals.setErr(ZX2Error::ERR_PARAMS, QStringLiteral("参数内容错误(httpheaders): ") + verdict.reason);
    else
        journals.setErr(ZX2Error::ERR_FAILED, QStringLiteral("Apache 配置测试无法完成: ") + verdict.reason);
    return false;
}

void KMLiveSite::Change::keep(const QList<KMRule> &stored)
{
    kept = true;
    site->live = stored;
    QSet<int> numbers;
    for (const KMRule &rule : stored)
        numbers.insert(rule.pxyno);
    // Rules the change took away (all of them, when an import replaced the
    // table) are no longer left out of anything.
    auto forgetGone = [&numbers](QMap<int, QString> &out) {
        for (auto rule = out.begin(); rule != out.end();)
            rule = numbers.contains(rule.key()) ? std::next(rule) : out.erase(rule);
    };
    {
        std::lock_guard<std::mutex> locker(site->stateMutex);
        site->screened.remove(fresh);
        site->disabled.remove(fresh);
        forgetGone(site->screened);
        forgetGone(site->disabled);
    }
    site->schedule(std::chrono::steady_clock::now() + kReloadDelay);
}
