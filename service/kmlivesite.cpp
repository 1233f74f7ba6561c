// Keeps Apache serving the rule table: writes, tests and reloads the
// generated files, and brings the site back whenever Apache does not take them.
#include "kmlivesite.h"

#include "kmapachesite.h"
#include "kmappliance.h"
#include "kmfiletransaction.h"
#include "kmownnames.h"
#include "kmpaths.h"
#include "kmservedrecord.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2utils.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
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
// While Apache is down, or runs without rules it should serve, the site
// tries again this soon, whether or not anything changes.
const auto kDownRetry = std::chrono::seconds(3);
// Rules a recovery had no trials left for are served again this much later.
const auto kPendingRetry = std::chrono::seconds(10);
// Reloads one recovery may spend finding the rules Apache cannot take.
const int kRecoveryTrials = 16;
// A rule whose port another program took stays out this long (ms), twice as
// long each time the port is found taken again, up to kTakenBackoffMax.
const qint64 kTakenBackoff = 5000;
const qint64 kTakenBackoffMax = 300000;

const QString kPortTaken = QStringLiteral("端口号已被其他程序占用");
const QString kPortsUnknown = QStringLiteral("端口占用情况无法读取");
const QString kPending = QStringLiteral("pending");
const QString kApache = QStringLiteral("Apache: ");

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

// Whether Apache said it could not bind the port.
bool bindFailed(const QString &reason, int port)
{
    const QRegularExpression bind(QStringLiteral("(AH00072|AH00015)[^;]*:%1\\b").arg(port));
    return reason.contains(bind);
}

bool sameFiles(const KMApacheFiles &one, const KMApacheFiles &other)
{
    if (one.http != other.http || one.https != other.https || one.virtualHosts.size() != other.virtualHosts.size())
        return false;
    for (int i = 0; i < one.virtualHosts.size(); ++i) {
        if (one.virtualHosts.at(i).fileName != other.virtualHosts.at(i).fileName
            || one.virtualHosts.at(i).lines != other.virtualHosts.at(i).lines)
            return false;
    }
    return true;
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
    quint64 generation = 0; // of the files in place when they were written
    bool holdersUnknown = false; // who holds the custom ports could not be read
};

class KMLiveSitePrivate
{
public:
    explicit KMLiveSitePrivate(std::function<void()> hook) : afterReload(std::move(hook)) {}

    const std::function<void()> afterReload;
    std::atomic_bool stopping{false};
    std::thread worker;

    // Guarded by filesLock: the files in place, the live table they were
    // made of, and the record of what Apache serves and why (on disk too).
    mutable std::mutex filesLock;
    QList<KMRule> live;
    KMServedRecord served;
    QSet<int> foundPorts; // of the files found at start: ours until Apache served a set here
    // Of the files Apache took while a change put others in place, and of
    // those others: ours too, until a set Apache serves is known whole.
    QSet<int> takenWhileChanged;
    quint64 generation = 0; // counts the files a change put in place or back
    bool goodServed = false; // Apache last took the good set (not a trial, nor the site alone)
    bool untried = false;   // the last recovery left rules pending
    bool retrySoon = false; // the last reload left Apache without rules it should serve

    // Guarded by stateLock: the schedule (the worker sleeps on wake) and
    // what status() reads.
    mutable std::mutex stateLock;
    std::condition_variable wake;
    bool pending = false;   // a reload a change or a start asked for
    bool reloading = false; // a reload is under way
    bool requested = false; // the one under way was asked for: status says "pending"
    std::chrono::steady_clock::time_point due;
    bool retrying = false; // a reload the site asked for itself, to add rules back
    std::chrono::steady_clock::time_point retryDue;
    QString state = QStringLiteral("none");
    QString time;
    QString message;
    struct Disabled
    {
        QString name;
        QString reason;
        QString version; // of the rule the reason is about
    };
    QMap<int, Disabled> disabled;

    QSet<int> ownPorts() const; // with filesLock held
    void schedule(std::chrono::steady_clock::time_point when);
    void scheduleRetry(std::chrono::steady_clock::time_point when);
    bool pause(std::chrono::milliseconds span);
    void run();
    void reloadNow(bool asked);
    void planRetry();
    KMReloadAttempt prepare();
    bool writeFiles(const KMApacheFiles &files, QString &failure);
    QSet<int> takenPorts(const QList<KMRule> &rules, const KMAppliancePorts &ports, bool &unknown) const;
    void strike(const KMRule &rule);
    void leaveOutTaken(KMReloadAttempt &attempt, const QSet<int> &taken);
    void writeTested(KMReloadAttempt &attempt);
    void recheckPorts(KMReloadAttempt &attempt);
    bool serve(const KMApacheFiles &files, const KMAppliancePorts &ports, QString &text);
    bool serving(const QSet<int> &ports, bool reloaded, bool settle, QString &text);
    bool restoreLastGood(const KMReloadAttempt &attempt, QString &text);
    void bringUpAlone(KMReloadAttempt &attempt, const QString &lastGood);
    void explainTakenPorts(KMReloadAttempt &attempt, bool all);
    void recover(KMReloadAttempt &attempt, const QString &text);
    bool tryRules(const QList<KMRule> &rules, const KMAppliancePorts &ports, QString &text);
    void isolate(QList<KMRule> &accepted, const QList<KMRule> &group, KMReloadAttempt &attempt,
                 const QString &reason, int &trials);
    void remember(const KMApacheFiles &files, const QList<KMRule> &rules);
    void keepVerdicts(const KMReloadAttempt &attempt);
    void saveRecord(bool withGood);
    void record(const QString &outcome, const QString &text, const KMReloadAttempt &attempt);
};

QSet<int> KMLiveSitePrivate::ownPorts() const
{
    return (served.haveGood ? served.goodPorts() : foundPorts) + takenWhileChanged;
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

void KMLiveSitePrivate::scheduleRetry(std::chrono::steady_clock::time_point when)
{
    {
        std::lock_guard<std::mutex> lock(stateLock);
        if (retrying && retryDue <= when)
            return;
        retrying = true;
        retryDue = when;
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
        wake.wait(lock, [this] { return stopping || pending || retrying; });
        if (stopping)
            return;
        const auto next = pending && retrying ? std::min(due, retryDue) : pending ? due : retryDue;
        if (std::chrono::steady_clock::now() < next) {
            // Woken early by a stop, or by a change that wants it sooner.
            wake.wait_until(lock, next);
            continue;
        }
        requested = pending && due <= std::chrono::steady_clock::now();
        pending = pending && !requested;
        retrying = false; // every reload looks at every rule again
        reloading = true;
        lock.unlock();
        reloadNow(requested);
        planRetry();
        if (afterReload && !stopping)
            afterReload();
        lock.lock();
        reloading = false;
        requested = false;
    }
}

// After a reload: Apache down or without rules it should serve is tried
// again soon; a rule whose port was taken when its time comes.
void KMLiveSitePrivate::planRetry()
{
    if (stopping)
        return;
    const auto now = std::chrono::steady_clock::now();
    auto when = std::chrono::steady_clock::time_point::max();
    if (KMApacheSite::state(&stopping) != QLatin1String("active"))
        when = now + kDownRetry;
    std::lock_guard<std::mutex> locker(filesLock);
    if (retrySoon)
        when = now + kDownRetry;
    else if (untried)
        when = std::min(when, now + kPendingRetry);
    const qint64 epoch = QDateTime::currentMSecsSinceEpoch();
    for (const KMLeftOut &entry : qAsConst(served.leftOut)) {
        if (entry.retryAt > epoch)
            when = std::min(when, now + std::chrono::milliseconds(entry.retryAt - epoch + 100));
    }
    retrySoon = false;
    untried = false;
    if (when != std::chrono::steady_clock::time_point::max())
        scheduleRetry(when);
}

// Who holds the custom ports of rules: those another program holds now.
// Read without the files lock (it runs netstat and systemctl). When the
// holders cannot be read nothing is taken: only the reload's outcome tells.
QSet<int> KMLiveSitePrivate::takenPorts(const QList<KMRule> &rules, const KMAppliancePorts &ports,
                                        bool &unknown) const
{
    QSet<int> ours;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        ours = ownPorts();
    }
    QSet<int> taken;
    const KMLiveSite::PortHolders holders(&stopping, ours);
    unknown = !holders.known();
    if (unknown)
        return taken;
    QSet<int> seen;
    for (const KMRule &rule : rules) {
        const int port = rule.source.effectivePort(ports);
        if (ports.isWebPort(port) || seen.contains(port))
            continue;
        seen.insert(port);
        if (holders.taken(port))
            taken.insert(port);
    }
    unknown = holders.guessed();
    return taken;
}

// With filesLock held: the rule's port was found taken; it stays out for a
// while, longer each time in a row.
void KMLiveSitePrivate::strike(const KMRule &rule)
{
    KMLeftOut &entry = served.leftOut[rule.pxyno];
    const QString version = KMServedRecord::version(rule);
    entry.strikes = entry.version == version && entry.retryAt > 0 ? entry.strikes + 1 : 1;
    entry.version = version;
    entry.reason = kPortTaken;
    entry.screened = false;
    entry.retryAt = QDateTime::currentMSecsSinceEpoch()
                    + std::min(kTakenBackoffMax, kTakenBackoff << std::min(entry.strikes - 1, 10));
}

// With filesLock held.
void KMLiveSitePrivate::leaveOutTaken(KMReloadAttempt &attempt, const QSet<int> &taken)
{
    for (const KMRule &rule : qAsConst(attempt.rules)) {
        const int port = rule.source.effectivePort(attempt.ports);
        if (!attempt.ports.isWebPort(port) && taken.contains(port) && !attempt.out.contains(rule.pxyno)) {
            attempt.out.insert(rule.pxyno, kPortTaken);
            strike(rule);
        }
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
        attempt.out.insert(culprit, kApache + verdict.reason);
    }
}

// The files of the live table without the rules the record leaves out and
// those whose port another program holds, as Apache's test takes them.
KMReloadAttempt KMLiveSitePrivate::prepare()
{
    KMReloadAttempt attempt;
    attempt.ports = KMAppliance::webPorts();
    QList<KMRule> rules;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        rules = live;
    }
    const QSet<int> taken = takenPorts(rules, attempt.ports, attempt.holdersUnknown);
    std::lock_guard<std::mutex> locker(filesLock);
    attempt.rules = live;
    attempt.out = served.holding(live);
    leaveOutTaken(attempt, taken);
    writeTested(attempt);
    attempt.generation = generation;
    return attempt;
}

// Right before Apache is signalled: a port new to Apache taken since the
// first look leaves its rules out (the files are written again).
void KMLiveSitePrivate::recheckPorts(KMReloadAttempt &attempt)
{
    QSet<int> fresh = customPorts(attempt.files);
    {
        std::lock_guard<std::mutex> locker(filesLock);
        fresh.subtract(ownPorts());
    }
    QList<KMRule> onFresh;
    for (const KMRule &rule : without(attempt.rules, attempt.out)) {
        if (fresh.contains(rule.source.effectivePort(attempt.ports)))
            onFresh << rule;
    }
    bool unknown = false;
    const QSet<int> taken = onFresh.isEmpty() ? QSet<int>() : takenPorts(onFresh, attempt.ports, unknown);
    std::lock_guard<std::mutex> locker(filesLock);
    if (taken.isEmpty() || generation != attempt.generation)
        return; // a change's files are in place now: its own reload follows
    leaveOutTaken(attempt, taken);
    writeTested(attempt);
}

// Whether Apache runs and listens on every port: polled until it does, it
// stops, or kServeWait passes. Apache's listeners are those of its main
// process or its control group's sockets; where neither can be read, that
// it runs is all that can be known.
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
    if (!reason.isEmpty() && !text.contains(reason))
        text += QStringLiteral(": ") + reason;
    return false;
}

// With filesLock held: Apache serves files made of rules; a rule whose port
// was taken is served again, so its back-off starts over.
void KMLiveSitePrivate::remember(const KMApacheFiles &files, const QList<KMRule> &rules)
{
    served.haveGood = true;
    goodServed = true;
    takenWhileChanged.clear();
    served.good = files;
    served.goodRules.clear();
    for (const KMRule &rule : rules) {
        served.goodRules.insert(KMServedRecord::version(rule));
        // What this version does not write is the start's to decide, also
        // when it decided so while these files were being served.
        if (!served.leftOut.value(rule.pxyno).screened)
            served.leftOut.remove(rule.pxyno);
    }
}

// With filesLock held: Apache's refusals join the record for the rule
// versions it refused, as long as those are the live ones.
void KMLiveSitePrivate::keepVerdicts(const KMReloadAttempt &attempt)
{
    QHash<int, QString> refused;
    for (const KMRule &rule : attempt.rules) {
        const QString reason = attempt.out.value(rule.pxyno);
        if (reason.startsWith(kApache) && !served.leftOut.value(rule.pxyno).screened)
            refused.insert(rule.pxyno, KMServedRecord::version(rule));
    }
    for (const KMRule &rule : qAsConst(live)) {
        const auto version = refused.constFind(rule.pxyno);
        if (version != refused.cend() && *version == KMServedRecord::version(rule))
            served.leftOut.insert(rule.pxyno, {*version, attempt.out.value(rule.pxyno), 0, 0, false});
    }
    served.forgetStale(live);
}

// With filesLock held.
void KMLiveSitePrivate::saveRecord(bool withGood)
{
    QString failure;
    if (!served.save(failure, withGood))
        ZX2StatePrintln(4, failure);
}

void KMLiveSitePrivate::reloadNow(bool asked)
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
    recheckPorts(attempt);
    if (stopping)
        return;
    if (!asked && KMApacheSite::state(&stopping) == QLatin1String("active")) {
        // A retry that would change nothing Apache serves leaves it alone.
        std::lock_guard<std::mutex> locker(filesLock);
        if (goodServed && sameFiles(attempt.files, served.good)) {
            saveRecord(false);
            return;
        }
    }
    QString text;
    if (serve(attempt.files, attempt.ports, text)) {
        {
            std::lock_guard<std::mutex> locker(filesLock);
            // Else a change put other files in place meanwhile, and Apache
            // may have read those: its own reload follows.
            const bool same = generation == attempt.generation;
            goodServed = false;
            if (same) {
                remember(attempt.files, without(attempt.rules, attempt.out));
            } else {
                // Apache may have read the files of the change instead.
                for (const KMVirtualHostFile &host : attempt.files.virtualHosts)
                    takenWhileChanged.insert(KMApacheConf::virtualHostPort(host.fileName));
                for (const KMRule &rule : qAsConst(live)) {
                    const int port = rule.source.effectivePort(attempt.ports);
                    if (!attempt.ports.isWebPort(port))
                        takenWhileChanged.insert(port);
                }
            }
            keepVerdicts(attempt);
            saveRecord(same);
        }
        record(QStringLiteral("ok"), attempt.holdersUnknown ? kPortsUnknown : QString(), attempt);
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
    saveRecord(true);
    return true;
}

// Adds group to accepted where Apache takes it, halving it where it does
// not; a single rule it does not take alone is left out for that. Rules
// no trial was left for are "pending": served again at the next reload.
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
        attempt.out.insert(group.first().pxyno, kApache + (text.isEmpty() ? reason : text));
        return;
    }
    for (const KMRule &rule : group)
        attempt.out.insert(rule.pxyno, kPending);
    std::lock_guard<std::mutex> locker(filesLock);
    untried = true;
}

// A rule Apache would not run with (or, when all, any rule) whose port
// another program holds now, or that Apache could not bind, is out for
// that reason, with a back-off.
void KMLiveSitePrivate::explainTakenPorts(KMReloadAttempt &attempt, bool all)
{
    bool unknown = false;
    const QSet<int> taken = takenPorts(attempt.rules, attempt.ports, unknown);
    std::lock_guard<std::mutex> locker(filesLock);
    for (const KMRule &rule : qAsConst(attempt.rules)) {
        const int port = rule.source.effectivePort(attempt.ports);
        auto out = attempt.out.find(rule.pxyno);
        const bool suspect = all ? out == attempt.out.end() || *out == kPending : out != attempt.out.end() && out->startsWith(kApache);
        if (!suspect || attempt.ports.isWebPort(port) || !(taken.contains(port) || (!all && bindFailed(*out, port))))
            continue;
        attempt.out.insert(rule.pxyno, kPortTaken);
        strike(rule);
    }
}

// Writes the last files Apache served (none of the rules when it never
// served any here) and has Apache serve them.
bool KMLiveSitePrivate::restoreLastGood(const KMReloadAttempt &attempt, QString &text)
{
    KMApacheFiles base;
    bool written = false;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        base = served.haveGood ? served.good : KMApacheConf::generate({}, attempt.ports);
        written = writeFiles(base, text);
    }
    return written && serve(base, attempt.ports, text);
}

// Not even the last good files bring Apache up (a port of theirs taken as
// Apache went down, or a fault outside the service's files): the
// appliance's own site comes up alone, and the rules are added back at the
// next retry, a few seconds later.
void KMLiveSitePrivate::bringUpAlone(KMReloadAttempt &attempt, const QString &lastGood)
{
    const KMApacheFiles alone = KMApacheConf::generate({}, attempt.ports);
    QString text;
    bool written = false;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        retrySoon = true;
        written = writeFiles(alone, text);
    }
    if (written && serve(alone, attempt.ports, text)) {
        explainTakenPorts(attempt, true);
        record(QStringLiteral("failed"),
               QStringLiteral("Apache runs with the appliance's own site alone (") + lastGood
                   + QStringLiteral("); the rules are added back"),
               attempt);
        return;
    }
    // Apache may still run on what it read before (a reload refused for a
    // fault outside the files): then it is asked less often.
    const bool runs = KMApacheSite::state(&stopping) == QLatin1String("active");
    {
        // Whoever starts Apache next finds the table's files.
        std::lock_guard<std::mutex> locker(filesLock);
        QString ignored;
        writeFiles(attempt.files, ignored);
        retrySoon = !runs;
        untried = runs;
    }
    record(QStringLiteral("failed"),
           (runs ? QStringLiteral("Apache runs on the files it read before; it does not take even the appliance's own site alone: ")
                 : QStringLiteral("Apache does not run even with the appliance's own site alone: "))
               + text,
           attempt);
}

// Apache did not take the files: bring it up with the last set it served,
// then add back what it takes of the rules that differ from that set.
void KMLiveSitePrivate::recover(KMReloadAttempt &attempt, const QString &text)
{
    ZX2StatePrintln(4, QStringLiteral("Apache did not take the new configuration: ") + text);
    {
        std::lock_guard<std::mutex> locker(filesLock);
        goodServed = false;
    }
    QString down;
    if (!restoreLastGood(attempt, down)) {
        if (!stopping)
            bringUpAlone(attempt, down);
        return;
    }
    QList<KMRule> accepted;
    QList<KMRule> suspects;
    {
        std::lock_guard<std::mutex> locker(filesLock);
        for (const KMRule &rule : without(attempt.rules, attempt.out))
            (served.goodRules.contains(KMServedRecord::version(rule)) ? accepted : suspects) << rule;
    }
    // The whole set failed already: a single suspect was tried alone.
    int trials = kRecoveryTrials;
    const int half = suspects.size() / 2;
    if (suspects.size() == 1) {
        attempt.out.insert(suspects.first().pxyno, kApache + text);
    } else {
        isolate(accepted, suspects.mid(0, half), attempt, text, trials);
        isolate(accepted, suspects.mid(half), attempt, text, trials);
    }
    if (stopping)
        return;
    explainTakenPorts(attempt, false);
    {
        std::lock_guard<std::mutex> locker(filesLock);
        keepVerdicts(attempt);
        saveRecord(false);
    }
    // The last trial may have been one Apache refused: serve what it takes.
    QString finalText;
    const bool runs = tryRules(accepted, attempt.ports, finalText);
    record(QStringLiteral("failed"),
           runs ? QStringLiteral("Apache refused the new configuration (") + text
                        + QStringLiteral("); it runs without the rules listed")
                  : finalText,
           attempt);
}

// What the status says of a reload: rules it left out that are still live
// in the version it judged.
void KMLiveSitePrivate::record(const QString &outcome, const QString &text, const KMReloadAttempt &attempt)
{
    const bool ok = outcome == QLatin1String("ok");
    ZX2StatePrintln(ok ? 0 : 4, ok ? QStringLiteral("Apache reloaded") : QStringLiteral("Apache reload failed: ") + text);
    for (auto rule = attempt.out.cbegin(); rule != attempt.out.cend(); ++rule)
        ZX2StatePrintln(2, QStringLiteral("rule %1 disabled: %2").arg(rule.key()).arg(rule.value()));
    QMap<int, Disabled> listed;
    std::lock_guard<std::mutex> files(filesLock);
    // Files put in place since this attempt began (a change's, a start's)
    // leave out what the record holds: listed until their own reload tells.
    const bool stale = attempt.generation != generation;
    const QMap<int, QString> left = stale ? served.holding(live) : attempt.out;
    const QList<KMRule> &rules = stale ? live : attempt.rules;
    QHash<int, QString> liveVersions;
    for (const KMRule &rule : qAsConst(live)) {
        if (left.contains(rule.pxyno))
            liveVersions.insert(rule.pxyno, KMServedRecord::version(rule));
    }
    for (const KMRule &rule : rules) {
        const auto out = left.constFind(rule.pxyno);
        if (out == left.cend())
            continue;
        const QString version = KMServedRecord::version(rule);
        if (liveVersions.value(rule.pxyno) == version)
            listed.insert(rule.pxyno, {rule.name, *out, version});
    }
    std::lock_guard<std::mutex> locker(stateLock);
    state = outcome;
    time = QDateTime::currentDateTime().toString(Qt::ISODate);
    message = text;
    disabled = listed;
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
    bool written = false;
    {
        std::lock_guard<std::mutex> locker(d->filesLock);
        KMApacheSite::removeStrayFiles();
        d->live = rules;
        KMServedRecord &served = d->served;
        served.load();
        if (!served.haveGood) {
            // Apache listens where the files in place (an older version's) say.
            const QDir hosts(orbaPath(QLatin1String(kReverseproxyVirtualHosts)));
            for (const QString &name : hosts.entryList(QDir::Files))
                d->foundPorts.insert(KMApacheConf::virtualHostPort(name));
            d->foundPorts.remove(0);
        }
        // What this version does not write is decided afresh at every start.
        for (auto entry = served.leftOut.begin(); entry != served.leftOut.end();)
            entry = entry->screened ? served.leftOut.erase(entry) : std::next(entry);
        for (const KMRule &rule : rules) {
            if (screened.contains(rule.pxyno))
                served.leftOut.insert(rule.pxyno, {KMServedRecord::version(rule), screened.value(rule.pxyno), 0, 0, true});
        }
        served.forgetStale(rules);
        d->saveRecord(false);
        const QMap<int, QString> out = served.holding(rules);
        {
            // What the status lists until the first reload has its say.
            std::lock_guard<std::mutex> state(d->stateLock);
            for (const KMRule &rule : rules) {
                if (out.contains(rule.pxyno))
                    d->disabled.insert(rule.pxyno, {rule.name, out.value(rule.pxyno), KMServedRecord::version(rule)});
            }
        }
        written = KMApacheSite::write(journals, KMApacheConf::generate(without(rules, out), KMAppliance::webPorts()));
        ++d->generation; // a reload under way may have read these instead
    }
    // The reload writes them again when they could not be written now.
    d->schedule(std::chrono::steady_clock::now());
    return written;
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

KMLiveSite::PortHolders::PortHolders(const std::atomic_bool *cancel, const QSet<int> &ours)
    : m_known(KMAppliance::listeners(m_listeners)), m_cancel(cancel), m_ours(ours)
{
}

bool KMLiveSite::PortHolders::apacheHolds(int port, bool guess) const
{
    if (!m_ours.contains(port))
        return false; // Apache holds it for something else
    if (!m_asked) {
        m_asked = true;
        m_apacheKnown = KMApacheSite::listeningPorts(m_apachePorts, m_cancel);
    }
    if (m_apacheKnown)
        return m_apachePorts.contains(port);
    m_guessed = m_guessed || guess;
    return guess;
}

bool KMLiveSite::PortHolders::listed(int port) const
{
    for (const KMListener &listener : m_listeners) {
        if (listener.port == port)
            return true;
    }
    return false;
}

bool KMLiveSite::PortHolders::foreign(int port) const
{
    if (!listed(port) && KMAppliance::bindProbe(port) == KMAppliance::Bind::Free)
        return false;
    return !apacheHolds(port, false);
}

bool KMLiveSite::PortHolders::taken(int port) const
{
    if (!listed(port) && KMAppliance::bindProbe(port) != KMAppliance::Bind::InUse)
        return false;
    return !apacheHolds(port, true);
}

KMLiveSite::PortHolders KMLiveSite::portHolders() const
{
    QSet<int> ours;
    {
        std::lock_guard<std::mutex> locker(d->filesLock);
        ours = d->ownPorts();
    }
    return PortHolders(nullptr, ours);
}

QJsonObject KMLiveSite::status() const
{
    const QString apache = KMApacheSite::state();
    std::lock_guard<std::mutex> locker(d->stateLock);
    QJsonArray disabled;
    for (auto rule = d->disabled.cbegin(); rule != d->disabled.cend(); ++rule)
        disabled.append(QJsonObject{{QStringLiteral("pxyno"), rule.key()},
                                    {QStringLiteral("name"), rule->name},
                                    {QStringLiteral("reason"), rule->reason}});
    QString state = d->pending || (d->reloading && d->requested) ? QStringLiteral("pending") : d->state;
    QString message = d->message;
    if (state == QLatin1String("ok") && (apache == QLatin1String("inactive") || apache == QLatin1String("failed"))) {
        state = QStringLiteral("failed");
        message = QStringLiteral("Apache is not running");
    }
    return {{QStringLiteral("reload"), QJsonObject{{QStringLiteral("state"), state},
                                                   {QStringLiteral("time"), d->time},
                                                   {QStringLiteral("message"), message}}},
            {QStringLiteral("apache"), apache},
            {QStringLiteral("disabled"), disabled}};
}

KMLiveSite::Change::Change(KMLiveSitePrivate *owner, bool dry)
    : site(owner), lock(owner->filesLock), dryRun(dry)
{
}

KMLiveSite::Change::~Change()
{
    if (!transaction || kept)
        return;
    const bool undone = transaction->undo();
    ++site->generation;
    bool reloading = false;
    {
        std::lock_guard<std::mutex> locker(site->stateLock);
        reloading = site->reloading;
    }
    // A reload under way may have read the candidate files: Apache reads
    // the live ones again.
    if (undone) {
        if (reloading)
            site->schedule(std::chrono::steady_clock::now() + kReloadDelay);
        return;
    }
    // The old files could not all be put back: the live table's files are
    // what Apache should read, so write them again from it.
    ZX2StatePrintln(4, QStringLiteral("cannot put back ") + transaction->failedPath());
    ZX2Journals journals;
    const KMApacheFiles repaired = KMApacheConf::generate(without(site->live, site->served.holding(site->live)),
                                                          KMAppliance::webPorts());
    if (!KMApacheSite::write(journals, repaired))
        ZX2StatePrintln(4, QStringLiteral("cannot repair the files: ") + journals.errmsg());
    site->schedule(std::chrono::steady_clock::now());
}

bool KMLiveSite::Change::write(ZX2Journals &journals, const QList<KMRule> &candidate, int freshRule,
                               const KMAppliancePorts &webPorts)
{
    fresh = freshRule;
    ports = webPorts;
    rules = candidate;
    return place(journals);
}

bool KMLiveSite::Change::place(ZX2Journals &journals)
{
    QMap<int, QString> out = site->served.holding(rules);
    out.remove(fresh);
    for (auto rule = stored.cbegin(); rule != stored.cend(); ++rule)
        out.insert(rule.key(), rule.value());
    files = KMApacheConf::generate(without(rules, out), ports);
    if (KMApacheSite::larger(files, kMaxConfiguration)) {
        journals.setErr(ZX2Error::ERR_NOT_ENOUGH, QStringLiteral("规则总量超出上限(配置文件超过16 MiB)"));
        return false;
    }
    if (dryRun)
        return true; // tested apart, never put in place
    if (transaction && !transaction->undo()) {
        journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("配置文件恢复失败：") + transaction->failedPath());
        return false;
    }
    transaction.reset(new KMFileTransaction);
    if (!KMApacheSite::stage(journals, files, *transaction) || !KMApacheSite::apply(journals, *transaction))
        return false;
    ++site->generation;
    return true;
}

bool KMLiveSite::Change::test(ZX2Journals &journals)
{
    for (;;) {
        const KMApacheVerdict verdict = dryRun ? KMApacheSite::configTestApart(files, ports, &site->stopping)
                                               : KMApacheSite::configTest(&site->stopping);
        if (verdict.accepted)
            return true;
        // Only a refusal located in a generated file is a rule's fault.
        refused = verdict.ran ? files.ownerOf(verdict.file, verdict.line) : 0;
        // A stored rule the caller did not send is no fault of the caller's:
        // it stays out (named in the status) and the change is tested again.
        if (refused > 0 && refused != fresh && !stored.contains(refused)) {
            stored.insert(refused, kApache + verdict.reason);
            if (!place(journals))
                return false;
            continue;
        }
        if (verdict.ran && !verdict.file.isEmpty())
            journals.setErr(ZX2Error::ERR_PARAMS, QStringLiteral("参数内容错误(httpheaders): ") + verdict.reason);
        else
            journals.setErr(ZX2Error::ERR_FAILED, QStringLiteral("Apache 配置测试无法完成: ") + verdict.reason);
        return false;
    }
}

void KMLiveSite::Change::keep(const QList<KMRule> &table)
{
    kept = true;
    if (transaction)
        transaction->finish();
    site->live = table;
    KMServedRecord &served = site->served;
    // The rule changed is tried anew; the stored rules Apache refused in
    // this change's test stay out in the versions tested.
    served.leftOut.remove(fresh);
    QMap<int, KMLiveSitePrivate::Disabled> found;
    for (const KMRule &rule : table) {
        if (stored.contains(rule.pxyno)) {
            const QString version = KMServedRecord::version(rule);
            served.leftOut.insert(rule.pxyno, {version, stored.value(rule.pxyno), 0, 0, false});
            found.insert(rule.pxyno, {rule.name, stored.value(rule.pxyno), version});
        }
    }
    // Rules the change took away (all of them, when an import replaced the
    // table) or rewrote are no longer left out of anything.
    served.forgetStale(table);
    site->saveRecord(false);
    {
        std::lock_guard<std::mutex> locker(site->stateLock);
        QMap<int, KMLiveSitePrivate::Disabled> listed = found;
        for (const KMRule &rule : table) {
            const auto entry = site->disabled.constFind(rule.pxyno);
            if (rule.pxyno != fresh && entry != site->disabled.cend() && !listed.contains(rule.pxyno)
                && entry->version == KMServedRecord::version(rule))
                listed.insert(rule.pxyno, *entry);
        }
        site->disabled = listed;
    }
    site->schedule(std::chrono::steady_clock::now() + kReloadDelay);
}
