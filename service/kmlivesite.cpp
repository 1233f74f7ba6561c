#include "kmlivesite.h"

#include "kmapachesite.h"
#include "kmappliance.h"
#include "kmfiletransaction.h"
#include "kmownnames.h"
#include "kmpaths.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2utils.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <thread>

namespace {

const auto kReloadDelay = std::chrono::seconds(3); // lets a burst of changes end in one reload
// A graceful reload returns before Apache has read its files again; a port
// it cannot bind ends it a moment later.
const auto kReloadSettle = std::chrono::milliseconds(500);
const auto kServeWait = std::chrono::seconds(10); // for Apache to listen on every port
const auto kPoll = std::chrono::milliseconds(100);
// Reloads one recovery may spend finding the rules Apache cannot take.
const int kRecoveryTrials = 16;

const QString kPortTaken = QStringLiteral("端口号已被其他程序占用");
const QString kPortsUnknown = QStringLiteral("端口占用情况无法读取(netstat)");

QSet<int> customPorts(const KMApacheFiles &files)
{
    QSet<int> ports;
    for (const KMVirtualHostFile &host : files.virtualHosts)
        ports.insert(KMApacheConf::virtualHostPort(host.fileName));
    return ports;
}

QList<KMRule> without(const QList<KMRule> &rules, const QMap<int, QString> &out)
{
    QList<KMRule> kept;
    kept.reserve(rules.size());
    for (const KMRule &rule : rules) {
        if (!out.contains(rule.pxyno))
            kept << rule;
    }
    return kept;
}

// A rule as Apache last took it: its number and stored text.
QString fingerprint(const KMRule &rule)
{
    return QString::number(rule.pxyno) + QLatin1Char(' ')
           + QString::fromUtf8(QJsonDocument(rule.params).toJson(QJsonDocument::Compact));
}

} // namespace

// One reload: what was written and for which table.
struct KMReloadAttempt
{
    KMAppliancePorts ports;
    QList<KMRule> rules;    // the live table
    QMap<int, QString> out; // left out of the files, with the reason
    KMApacheFiles files;
    QString failure; // the files could not be written
};

class KMLiveSitePrivate
{
public:
    explicit KMLiveSitePrivate(std::function<void()> hook) : afterReload(std::move(hook)) {}

    const std::function<void()> afterReload;
    std::atomic_bool stopping{false};
    std::thread worker;

    // Guarded by filesLock: the files in place and what they were made of.
    std::mutex filesLock;
    QList<KMRule> live;
    QMap<int, QString> screened; // content no longer accepted, found at start
    QMap<int, QString> refused;  // Apache would not run with them; until they change
    // The files Apache was last seen to serve, and the rules in them.
    bool haveGood = false;
    KMApacheFiles good;
    QSet<QString> goodRules;

    // Guarded by stateLock: the schedule (the worker sleeps on wake) and
    // what status() reads.
    mutable std::mutex stateLock;
    std::condition_variable wake;
    bool pending = false;
    bool reloading = false; // pending, or under way: status says "pending"
    std::chrono::steady_clock::time_point due;
    QString state = QStringLiteral("none");
    QString time;
    QString message;
    QMap<int, QString> disabled; // by the last reload, screened ones aside
    QMap<int, QString> names;

    QMap<int, QString> leftOutLocked() const; // with filesLock held
    void schedule(std::chrono::steady_clock::time_point when);
    bool pause(std::chrono::milliseconds span);
    void run();
    void reloadNow();
    KMReloadAttempt prepare();
    bool writeFiles(const KMApacheFiles &files, QString &failure);
    void leaveOutTakenPorts(const KMReloadAttempt &attempt, QMap<int, QString> &out) const;
    void writeTested(KMReloadAttempt &attempt);
    bool serve(const KMApacheFiles &files, const KMAppliancePorts &ports, QString &text);
    bool serving(const QSet<int> &ports, bool reloaded, bool settle, QString &text);
    bool restoreLastGood(const KMReloadAttempt &attempt);
    void explainTakenPorts(KMReloadAttempt &attempt) const;
    void recover(KMReloadAttempt &attempt, const QString &text);
    bool tryRules(const QList<KMRule> &rules, const KMAppliancePorts &ports, QString &text);
    void isolate(QList<KMRule> &accepted, const QList<KMRule> &group, KMReloadAttempt &attempt,
                 const QString &reason, int &trials);
    void remember(const KMApacheFiles &files, const QList<KMRule> &rules);
    void record(const QString &outcome, const QString &text, const KMReloadAttempt &attempt);
};

QMap<int, QString> KMLiveSitePrivate::leftOutLocked() const
{
    QMap<int, QString> out = refused;
    for (auto rule = screened.cbegin(); rule != screened.cend(); ++rule)
        out.insert(rule.key(), rule.value());
    return out;
}

void KMLiveSitePrivate::schedule(std::chrono::steady_clock::time_point when)
{
    {
        std::lock_guard<std::mutex> lock(stateLock);
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
    std::unique_lock<std::mutex> lock(stateLock);
    return !wake.wait_for(lock, span, [this] { return stopping.load(); });
}

void KMLiveSitePrivate::run()
{
    std::unique_lock<std::mutex> lock(stateLock);
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
        reloading = true;
        lock.unlock();
        reloadNow();
        if (afterReload && !stopping)
            afterReload();
        lock.lock();
        reloading = false;
    }
}

void KMLiveSitePrivate::leaveOutTakenPorts(const KMReloadAttempt &attempt,
                                           QMap<int, QString> &out) const
{
    const KMLiveSite::PortHolders holders(&stopping);
    for (const KMRule &rule : attempt.rules) {
        const int port = rule.source.effectivePort(attempt.ports);
        if (attempt.ports.isWebPort(port) || out.contains(rule.pxyno))
            continue;
        if (!holders.known())
            out.insert(rule.pxyno, kPortsUnknown);
        else if (holders.foreign(port))
            out.insert(rule.pxyno, kPortTaken);
    }
}

bool KMLiveSitePrivate::writeFiles(const KMApacheFiles &files, QString &failure)
{
    ZX2Journals journals;
    if (KMApacheSite::write(journals, files))
        return true;
    failure = journals.errmsg();
    return false;
}

// Writes the files without the rules left out and has Apache test them; each
// rule whose block Apache refuses joins them and the files are written again.
void KMLiveSitePrivate::writeTested(KMReloadAttempt &attempt)
{
    for (;;) {
        attempt.files = KMApacheConf::generate(without(attempt.rules, attempt.out), attempt.ports);
        // A stop ends the children this reload asked about the ports with:
        // what they said then is no reason to take a rule out of the files.
        if (stopping) {
            attempt.failure = QStringLiteral("stopped");
            return;
        }
        if (!writeFiles(attempt.files, attempt.failure))
            return;
        // Without a verdict the reload goes ahead and its outcome tells.
        const KMApacheVerdict verdict = KMApacheSite::configTest(&stopping);
        const int culprit = verdict.ran && !verdict.accepted ? attempt.files.ownerOf(verdict.file, verdict.line) : 0;
        if (culprit == 0 || attempt.out.contains(culprit))
            return;
        attempt.out.insert(culprit, QStringLiteral("Apache: ") + verdict.reason);
    }
}

KMReloadAttempt KMLiveSitePrivate::prepare()
{
    std::lock_guard<std::mutex> locker(filesLock);
    KMReloadAttempt attempt;
    attempt.ports = KMAppliance::webPorts();
    attempt.rules = live;
    attempt.out = leftOutLocked();
    leaveOutTakenPorts(attempt, attempt.out);
    writeTested(attempt);
    return attempt;
}

// Whether Apache runs and listens on every port: polled until it does, it
// stops, or kServeWait passes. Where its listeners cannot be read, that it
// runs is all that can be known.
bool KMLiveSitePrivate::serving(const QSet<int> &ports, bool reloaded, bool settle, QString &text)
{
    if (settle && !pause(kReloadSettle))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + kServeWait;
    for (;;) {
        if (KMApacheSite::state(&stopping) != QLatin1String("active")) {
            text = QStringLiteral("Apache is not running after systemctl ")
                   + (reloaded ? QStringLiteral("reload") : QStringLiteral("start"));
            return false;
        }
        QSet<int> held;
        const bool known = KMApacheSite::listeningPorts(held, &stopping);
        int missing = 0;
        for (const int port : ports) {
            if (known && !held.contains(port) && !missing)
                missing = port;
        }
        if (!missing)
            return true;
        if (std::chrono::steady_clock::now() > deadline || !pause(kPoll)) {
            text = QStringLiteral("Apache does not listen on port %1").arg(missing);
            return false;
        }
    }
}

// Has Apache serve the files in place: a reload when it runs, a start when
// it does not; true when it then serves every port of them.
bool KMLiveSitePrivate::serve(const KMApacheFiles &files, const KMAppliancePorts &ports, QString &text)
{
    // The web ports Apache listens on now stay expected: the appliance's
    // own site must come back too.
    QSet<int> expected = customPorts(files);
    QSet<int> held;
    const bool listening = KMApacheSite::listeningPorts(held, &stopping);
    for (const int web : {ports.http, ports.https}) {
        if (web > 0 && held.contains(web))
            expected.insert(web);
    }
    const KMApacheLogMark mark = KMApacheSite::logMark();
    const bool running = KMApacheSite::state(&stopping) == QLatin1String("active");
    const bool done = running ? KMApacheSite::reload(text, &stopping) : KMApacheSite::start(text, &stopping);
    // A graceful reload is in flight only where a main process got it.
    if (done && serving(expected, running, running && listening, text))
        return true;
    const QString reason = KMApacheSite::failureReason(mark, &stopping);
    if (!reason.isEmpty())
        text += QStringLiteral(": ") + reason;
    return false;
}

void KMLiveSitePrivate::remember(const KMApacheFiles &files, const QList<KMRule> &rules)
{
    haveGood = true;
    good = files;
    goodRules.clear();
    for (const KMRule &rule : rules)
        goodRules.insert(fingerprint(rule));
}

void KMLiveSitePrivate::reloadNow()
{
    // The files written for this reload name the appliance's names as they are now.
    KMOwnNames::refresh(&stopping);
    KMReloadAttempt attempt = prepare();
    if (stopping)
        return;
    if (!attempt.failure.isEmpty()) {
        record(QStringLiteral("failed"), attempt.failure, attempt);
        return;
    }
    QString text;
    if (serve(attempt.files, attempt.ports, text)) {
        std::lock_guard<std::mutex> locker(filesLock);
        remember(attempt.files, without(attempt.rules, attempt.out));
        record(QStringLiteral("ok"), QString(), attempt);
        return;
    }
    if (!stopping)
        recover(attempt, text);
}

bool KMLiveSitePrivate::tryRules(const QList<KMRule> &rules, const KMAppliancePorts &ports, QString &text)
{
    const KMApacheFiles files = KMApacheConf::generate(rules, ports);
    {
        std::lock_guard<std::mutex> locker(filesLock);
        if (!writeFiles(files, text))
            return false;
    }
    if (!serve(files, ports, text))
        return false;
    std::lock_guard<std::mutex> locker(filesLock);
    remember(files, rules);
    return true;
}

// Adds group to accepted where Apache takes it, halving it where it does
// not; a single rule it does not take is left out.
void KMLiveSitePrivate::isolate(QList<KMRule> &accepted, const QList<KMRule> &group,
                                KMReloadAttempt &attempt, const QString &reason, int &trials)
{
    if (group.isEmpty() || stopping)
        return;
    QString text;
    if (group.size() > 1 && trials > 0) {
        --trials;
        if (tryRules(accepted + group, attempt.ports, text)) {
            accepted += group;
            return;
        }
        const int half = group.size() / 2;
        isolate(accepted, group.mid(0, half), attempt, text.isEmpty() ? reason : text, trials);
        isolate(accepted, group.mid(half), attempt, text.isEmpty() ? reason : text, trials);
        return;
    }
    if (group.size() == 1 && trials > 0) {
        --trials;
        if (tryRules(accepted + group, attempt.ports, text)) {
            accepted += group;
            return;
        }
    }
    for (const KMRule &rule : group)
        attempt.out.insert(rule.pxyno, QStringLiteral("Apache: ") + (text.isEmpty() ? reason : text));
}

// A rule Apache would not run with whose port another program holds now
// (taken since the check before the reload) is out for that reason: like
// any taken port, it is looked at again at every reload.
void KMLiveSitePrivate::explainTakenPorts(KMReloadAttempt &attempt) const
{
    const KMLiveSite::PortHolders holders(&stopping);
    for (const KMRule &rule : qAsConst(attempt.rules)) {
        const int port = rule.source.effectivePort(attempt.ports);
        auto out = attempt.out.find(rule.pxyno);
        if (out != attempt.out.end() && out->startsWith(QLatin1String("Apache: ")) && !attempt.ports.isWebPort(port)
            && holders.known() && holders.foreign(port))
            *out = kPortTaken;
    }
}

// Writes the last files Apache served (none of the rules when it never
// served any here) and has Apache serve them. When that fails, something
// outside the service's files is broken: the files go back to what the
// database says, and the next change or start tries again.
bool KMLiveSitePrivate::restoreLastGood(const KMReloadAttempt &attempt)
{
    KMApacheFiles base;
    QString text;
    bool written = false;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        base = haveGood ? good : KMApacheConf::generate({}, attempt.ports);
        written = writeFiles(base, text);
    }
    if (written && serve(base, attempt.ports, text))
        return true;
    std::lock_guard<std::mutex> locker(filesLock);
    QString ignored;
    writeFiles(attempt.files, ignored);
    record(QStringLiteral("failed"),
           QStringLiteral("Apache does not run even with the last configuration it served: ") + text, attempt);
    return false;
}

// Apache did not take the files: bring it up with the last set it served,
// then add back what it takes of the rules that differ from that set.
void KMLiveSitePrivate::recover(KMReloadAttempt &attempt, const QString &text)
{
    ZX2StatePrintln(4, QStringLiteral("Apache did not take the new configuration: ") + text);
    if (!restoreLastGood(attempt))
        return;
    QList<KMRule> accepted;
    QList<KMRule> suspects;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        for (const KMRule &rule : without(attempt.rules, attempt.out))
            (goodRules.contains(fingerprint(rule)) ? accepted : suspects) << rule;
    }
    // The whole set failed already: start by halving it.
    int trials = kRecoveryTrials;
    const int half = suspects.size() / 2;
    if (suspects.size() == 1) {
        attempt.out.insert(suspects.first().pxyno, QStringLiteral("Apache: ") + text);
    } else {
        isolate(accepted, suspects.mid(0, half), attempt, text, trials);
        isolate(accepted, suspects.mid(half), attempt, text, trials);
    }
    if (stopping)
        return;
    explainTakenPorts(attempt);
    {
        std::lock_guard<std::mutex> locker(filesLock);
        for (auto rule = attempt.out.cbegin(); rule != attempt.out.cend(); ++rule) {
            if (!screened.contains(rule.key()) && rule.value().startsWith(QLatin1String("Apache: ")))
                refused.insert(rule.key(), rule.value());
        }
    }
    // The last trial may have been one Apache refused: serve what it takes.
    QString finalText;
    const bool served = tryRules(accepted, attempt.ports, finalText);
    record(QStringLiteral("failed"),
           served ? QStringLiteral("Apache refused the new configuration (") + text
                        + QStringLiteral("); it runs without the rules listed")
                  : finalText,
           attempt);
}

void KMLiveSitePrivate::record(const QString &outcome, const QString &text, const KMReloadAttempt &attempt)
{
    QMap<int, QString> ruleNames;
    for (const KMRule &rule : attempt.rules)
        ruleNames.insert(rule.pxyno, rule.name);
    const bool ok = outcome == QLatin1String("ok");
    ZX2StatePrintln(ok ? 0 : 4, ok ? QStringLiteral("Apache reloaded") : QStringLiteral("Apache reload failed: ") + text);
    for (auto rule = attempt.out.cbegin(); rule != attempt.out.cend(); ++rule)
        ZX2StatePrintln(2, QStringLiteral("rule %1 disabled: %2").arg(rule.key()).arg(rule.value()));
    std::lock_guard<std::mutex> locker(stateLock);
    state = outcome;
    time = QDateTime::currentDateTime().toString(Qt::ISODate);
    message = text;
    disabled = attempt.out;
    names = ruleNames;
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
        std::lock_guard<std::mutex> locker(d->filesLock);
        KMApacheSite::removeStrayFiles();
        d->live = rules;
        d->screened = screened;
        d->refused.clear();
        {
            // What the status lists until the first reload has its say.
            std::lock_guard<std::mutex> state(d->stateLock);
            d->disabled = screened;
            for (const KMRule &rule : rules)
                d->names.insert(rule.pxyno, rule.name);
        }
        if (!KMApacheSite::write(journals, KMApacheConf::generate(without(rules, screened), KMAppliance::webPorts())))
            return false;
    }
    d->schedule(std::chrono::steady_clock::now());
    return true;
}

void KMLiveSite::stop()
{
    {
        std::lock_guard<std::mutex> lock(d->stateLock);
        d->stopping = true;
    }
    d->wake.notify_all();
    if (d->worker.joinable())
        d->worker.join();
}

KMLiveSite::Change KMLiveSite::change(bool dryRun)
{
    return Change(d.get(), dryRun);
}

KMLiveSite::PortHolders::PortHolders(const std::atomic_bool *cancel)
    : m_known(KMAppliance::listeners(m_listeners)), m_cancel(cancel)
{
}

bool KMLiveSite::PortHolders::apacheHolds(int port) const
{
    if (!m_asked) {
        m_asked = true;
        KMApacheSite::listeningPorts(m_apachePorts, m_cancel);
    }
    return m_apachePorts.contains(port);
}

bool KMLiveSite::PortHolders::foreign(int port) const
{
    bool listed = false;
    for (const KMListener &listener : m_listeners)
        listed = listed || listener.port == port;
    if (!listed && KMAppliance::bindProbe(port) == KMAppliance::Bind::Free)
        return false;
    return !apacheHolds(port);
}

KMLiveSite::PortHolders KMLiveSite::portHolders() const
{
    return PortHolders(nullptr);
}

QJsonObject KMLiveSite::status() const
{
    const QString apache = KMApacheSite::state();
    std::lock_guard<std::mutex> locker(d->stateLock);
    QJsonArray disabled;
    for (auto rule = d->disabled.cbegin(); rule != d->disabled.cend(); ++rule)
        disabled.append(QJsonObject{{QStringLiteral("pxyno"), rule.key()},
                                    {QStringLiteral("name"), d->names.value(rule.key())},
                                    {QStringLiteral("reason"), rule.value()}});
    const QString state = d->pending || d->reloading ? QStringLiteral("pending") : d->state;
    return {{QStringLiteral("reload"), QJsonObject{{QStringLiteral("state"), state},
                                                   {QStringLiteral("time"), d->time},
                                                   {QStringLiteral("message"), d->message}}},
            {QStringLiteral("apache"), apache},
            {QStringLiteral("disabled"), disabled}};
}

KMLiveSite::Change::Change(KMLiveSitePrivate *owner, bool dry)
    : site(owner), lock(owner->filesLock), dryRun(dry)
{
}

KMLiveSite::Change::~Change()
{
    if (!transaction || kept || transaction->undo())
        return;
    // The old files could not all be put back: the live table's files are
    // what Apache should read, so write them again from it.
    ZX2StatePrintln(4, QStringLiteral("cannot put back ") + transaction->failedPath());
    ZX2Journals journals;
    const KMApacheFiles repaired = KMApacheConf::generate(without(site->live, site->leftOutLocked()),
                                                          KMAppliance::webPorts());
    if (!KMApacheSite::write(journals, repaired))
        ZX2StatePrintln(4, QStringLiteral("cannot repair the files: ") + journals.errmsg());
    site->schedule(std::chrono::steady_clock::now());
}

bool KMLiveSite::Change::write(ZX2Journals &journals, const QList<KMRule> &rules, int freshRule,
                               const KMAppliancePorts &webPorts)
{
    fresh = freshRule;
    ports = webPorts;
    QMap<int, QString> out = site->leftOutLocked();
    out.remove(fresh);
    files = KMApacheConf::generate(without(rules, out), webPorts);
    if (KMApacheSite::larger(files, kMaxConfiguration)) {
        journals.setErr(ZX2Error::ERR_NOT_ENOUGH, QStringLiteral("规则总量超出上限(配置文件超过16 MiB)"));
        return false;
    }
    if (dryRun)
        return true; // tested apart, never put in place
    transaction.reset(new KMFileTransaction);
    if (!KMApacheSite::stage(journals, files, *transaction))
        return false;
    return KMApacheSite::apply(journals, *transaction);
}

bool KMLiveSite::Change::test(ZX2Journals &journals)
{
    const KMApacheVerdict verdict = dryRun ? KMApacheSite::configTestApart(files, ports, &site->stopping)
                                           : KMApacheSite::configTest(&site->stopping);
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
    if (transaction)
        transaction->finish();
    site->live = stored;
    QSet<int> numbers;
    for (const KMRule &rule : stored)
        numbers.insert(rule.pxyno);
    // Rules the change took away (all of them, when an import replaced the
    // table) are no longer left out of anything; the changed one is tried anew.
    auto forgetGone = [&numbers, this](QMap<int, QString> &out) {
        out.remove(fresh);
        for (auto rule = out.begin(); rule != out.end();)
            rule = numbers.contains(rule.key()) ? std::next(rule) : out.erase(rule);
    };
    forgetGone(site->screened);
    forgetGone(site->refused);
    {
        std::lock_guard<std::mutex> locker(site->stateLock);
        forgetGone(site->disabled);
    }
    site->schedule(std::chrono::steady_clock::now() + kReloadDelay);
}
