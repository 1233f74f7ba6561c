// Puts generated files where Apache reads them and asks Apache (its test,
// its unit, its listeners, its messages) what it made of them.
#include "kmapachesite.h"

#include "zx2error.h"
#include "zx2journals.h"
#include "kmpaths.h"
#include "kmappliance.h"
#include "zx2utils.h"
#include "kmfiletransaction.h"
#include "kmruleaccess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>

namespace {

const int kSystemctlTimeout = 60000;  // ms; a reload that hangs longer is abandoned
const int kConfigTestTimeout = 30000; // ms; the test takes some 20 ms, more on a loaded system
// Apache's error log as Debian's apache2 writes it; read from its end only.
const char kErrorLog[] = "/var/log/apache2/error.log";
const qint64 kErrorLogRead = 64 * 1024;

// An existing link or non-directory at the virtual-host path is not ours to
// write into or clean.
bool usableDirectory(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return false;
    if (info.exists() ? !info.isDir() : !QDir().mkpath(path))
        return false;
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                    | QFileDevice::ExeOwner | QFileDevice::ReadGroup
                                    | QFileDevice::ExeGroup);
    return true;
}

QByteArray fileText(const QStringList &lines)
{
    return lines.join(QLatin1Char('\n')).toUtf8();
}

bool stageVirtualHosts(ZX2Journals &journals, const QList<KMVirtualHostFile> &hosts,
                       KMFileTransaction &files)
{
    const QString path = orbaPath(QLatin1String(kReverseproxyVirtualHosts));
    if (!usableDirectory(path)) {
        journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("自定义端口配置文保存失败：") + path);
        return false;
    }
    const QDir directory(path);
    QSet<QString> written;
    for (const KMVirtualHostFile &host : hosts) {
        const QString file = directory.absoluteFilePath(host.fileName);
        if (!files.stage(file, fileText(host.lines))) {
            journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("自定义端口配置文保存失败：") + file);
            return false;
        }
        written.insert(host.fileName);
    }
    // Other files are not ours.
    const QStringList present = directory.entryList(QDir::Files);
    for (const QString &name : present) {
        if (KMApacheConf::virtualHostPort(name) > 0 && !written.contains(name))
            files.stageRemoval(directory.absoluteFilePath(name));
    }
    return true;
}

bool stageSiteFile(ZX2Journals &journals, const char *fixedPath, const QStringList &lines,
                   const QString &failure, KMFileTransaction &files)
{
    const QString path = orbaPath(QLatin1String(fixedPath));
    if (QDir().mkpath(QFileInfo(path).absolutePath()) && files.stage(path, fileText(lines)))
        return true;
    journals.setErr(ZX2Error::ERR_SAVE, failure + path);
    return false;
}

bool generatedFile(const QString &path)
{
    const QFileInfo info(path);
    return path == orbaPath(QLatin1String(kReverseproxyHttpConf))
           || path == orbaPath(QLatin1String(kReverseproxyHttpsConf))
           || (info.absolutePath() == orbaPath(QLatin1String(kReverseproxyVirtualHosts))
               && KMApacheConf::virtualHostPort(info.fileName()) > 0);
}

// Apache reports a syntax error as "... Syntax error on line N of FILE:"
// followed by the message on the next line.
KMApacheVerdict readVerdict(const QString &output)
{
    static const QRegularExpression located(
        QStringLiteral("Syntax error on line ([0-9]+) of (.+):$"));
    KMApacheVerdict verdict;
    verdict.reason = QStringLiteral("Apache refuses the configuration");
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = located.match(lines.at(i).trimmed());
        if (!match.hasMatch() || !generatedFile(match.captured(2)))
            continue;
        verdict.file = match.captured(2);
        verdict.line = match.captured(1).toInt();
        verdict.reason = QStringLiteral("line ") + match.captured(1) + QStringLiteral(": ")
                         + lines.value(i + 1).trimmed();
        break;
    }
    return verdict;
}

// Apache's own reasons in its messages, one line: the listener messages
// (an address and a port), and a syntax error's code, file and line, with
// Apache's words on it only for a file the service does not write (its own
// lines may carry a rule's credentials).
QStringList apacheReasons(const QString &output)
{
    static const QRegularExpression reason(
        QStringLiteral("(AH00072|AH00451|AH00015)[^\\n]{0,200}|(AH00526: Syntax error on line [0-9]+ of ([^\\n]{1,300})):[ \\t]*\\n([^\\n]{0,200})"));
    QStringList found;
    auto match = reason.globalMatch(output);
    while (match.hasNext() && found.size() < 3) {
        const QRegularExpressionMatch next = match.next();
        if (!next.captured(1).isEmpty())
            found << next.captured(0).trimmed();
        else if (generatedFile(next.captured(3).trimmed()))
            found << next.captured(2);
        else
            found << next.captured(2) + QStringLiteral(": ") + next.captured(4).trimmed();
    }
    found.removeDuplicates();
    return found;
}

bool systemctl(const QString &verb, QString &message, const std::atomic_bool *cancel)
{
    QString output;
    const int code = cmdExecute(output, {QStringLiteral("systemctl"), verb, QStringLiteral("apache2")},
                                kSystemctlTimeout, cancel);
    if (code == ZX2Error::ERR_TIMEOUT)
        message = QStringLiteral("systemctl %1 apache2: did not run or did not finish").arg(verb);
    else if (code != 0)
        message = QStringLiteral("systemctl %1 apache2: exit status %2").arg(verb).arg(code);
    const QStringList reasons = code != 0 ? apacheReasons(output) : QStringList();
    if (!reasons.isEmpty())
        message += QStringLiteral(": ") + reasons.join(QStringLiteral("; "));
    return code == 0;
}

// Runs a configuration test; a test of files apart (in dir) reports their
// errors as those of the live files they stand for.
KMApacheVerdict runTest(const QStringList &command, const std::atomic_bool *cancel,
                        const QString &dir = QString())
{
    QString output;
    const int code = cmdExecute(output, command, kConfigTestTimeout, cancel);
    KMApacheVerdict verdict;
    if (code == ZX2Error::ERR_TIMEOUT) {
        verdict.reason = QStringLiteral("Apache's configuration test did not run");
        return verdict;
    }
    if (!dir.isEmpty())
        output.replace(dir, orbaPath(QLatin1String(kReverseproxyDir)));
    if (code != 0)
        verdict = readVerdict(output);
    verdict.ran = true;
    verdict.accepted = code == 0;
    return verdict;
}

// LoadModule lines for the shared modules of "apache2ctl -M" output
// ("name_module (shared)"), from Apache's module directory.
QStringList moduleLines(const QString &listing)
{
    static const QRegularExpression shared(QStringLiteral("^\\s*([a-z0-9_]+)_module \\(shared\\)$"));
    QStringList lines;
    for (const QString &line : listing.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = shared.match(line);
        const QString file = QStringLiteral("/usr/lib/apache2/modules/mod_") + match.captured(1) + QStringLiteral(".so");
        if (match.hasMatch() && QFileInfo::exists(file))
            lines << QStringLiteral("LoadModule ") + match.captured(1) + QStringLiteral("_module ") + file;
    }
    return lines;
}

// The files included as the appliance's site includes them: the web ports'
// files inside virtual hosts of their own, the others at server level.
QStringList apartSiteLines(const QString &dir, const KMAppliancePorts &ports)
{
    const QString http = QString::number(ports.http > 0 ? ports.http : 80);
    const QString https = QString::number(ports.https > 0 ? ports.https : 443);
    return {QStringLiteral("<VirtualHost *:") + http + QLatin1Char('>'),
            QStringLiteral("    Include \"") + dir + QStringLiteral("/http.conf\""),
            QStringLiteral("</VirtualHost>"),
            QStringLiteral("<VirtualHost *:") + https + QLatin1Char('>'),
            QStringLiteral("    <IfModule ssl_module>"),
            QStringLiteral("        SSLEngine on"),
            QStringLiteral("        Include \"") + orbaPath(QLatin1String(kApacheSslSnippet)) + QLatin1Char('"'),
            QStringLiteral("    </IfModule>"),
            QStringLiteral("    Include \"") + dir + QStringLiteral("/https.conf\""),
            QStringLiteral("</VirtualHost>"),
            QStringLiteral("IncludeOptional \"") + dir + QStringLiteral("/virtualhost/*.conf\"")};
}

} // namespace

bool KMApacheSite::stage(ZX2Journals &journals, const KMApacheFiles &files,
                         KMFileTransaction &transaction)
{
    return stageVirtualHosts(journals, files.virtualHosts, transaction)
           && stageSiteFile(journals, kReverseproxyHttpConf, files.http,
                            QStringLiteral("http配置文保存失败："), transaction)
           && stageSiteFile(journals, kReverseproxyHttpsConf, files.https,
                            QStringLiteral("https配置文保存失败："), transaction)
           && KMRuleAccess::stage(journals, files.userFiles, transaction);
}

bool KMApacheSite::apply(ZX2Journals &journals, KMFileTransaction &transaction)
{
    if (transaction.apply())
        return true;
    const QString path = transaction.failedPath();
    const QString message = path == orbaPath(QLatin1String(kReverseproxyHttpConf))
                                ? QStringLiteral("http配置文保存失败：")
                            : path == orbaPath(QLatin1String(kReverseproxyHttpsConf))
                                ? QStringLiteral("https配置文保存失败：")
                                : QStringLiteral("自定义端口配置文保存失败：");
    journals.setErr(ZX2Error::ERR_SAVE, message + path);
    return false;
}

bool KMApacheSite::write(ZX2Journals &journals, const KMApacheFiles &files)
{
    KMFileTransaction transaction;
    if (!stage(journals, files, transaction) || !apply(journals, transaction))
        return false;
    transaction.finish();
    return true;
}

bool KMApacheSite::larger(const KMApacheFiles &files, qint64 limit)
{
    // A UTF-16 unit takes at most three bytes: most configurations are
    // settled without encoding them.
    qint64 units = 0;
    auto count = [&units](const QStringList &lines) {
        for (const QString &line : lines)
            units += line.size() + 1;
    };
    count(files.http);
    count(files.https);
    for (const KMVirtualHostFile &host : files.virtualHosts)
        count(host.lines);
    if (units * 3 <= limit)
        return false;
    qint64 bytes = fileText(files.http).size() + fileText(files.https).size();
    for (const KMVirtualHostFile &host : files.virtualHosts)
        bytes += fileText(host.lines).size();
    return bytes > limit;
}

void KMApacheSite::removeStrayFiles()
{
    // Left by a process killed between writing a file and renaming it, or
    // between replacing a file and letting its old content go.
    static const QRegularExpression stray(
        QStringLiteral("^(https?(_[0-9]+)?\\.conf|served\\.json|lastgood\\.json)\\.(old[0-9]+|[A-Za-z0-9]{6})$"));
    for (const char *fixedDir : {kReverseproxyDir, kReverseproxyVirtualHosts}) {
        const QDir directory(orbaPath(QLatin1String(fixedDir)));
        const QStringList names = directory.entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : names) {
            if (stray.match(name).hasMatch())
                QFile::remove(directory.absoluteFilePath(name));
        }
    }
    KMRuleAccess::removeStrayFiles();
    const QDir rules(orbaPath(QLatin1String(kReverseproxyDir)));
    for (const QString &name : rules.entryList({QStringLiteral(".test-*")}, QDir::Dirs | QDir::Hidden))
        QDir(rules.absoluteFilePath(name)).removeRecursively();
}

KMApacheVerdict KMApacheSite::configTest(const std::atomic_bool *cancel)
{
    return runTest({QStringLiteral("apache2ctl"), QStringLiteral("-t")}, cancel);
}

KMApacheVerdict KMApacheSite::configTestApart(const KMApacheFiles &files, const KMAppliancePorts &ports,
                                              const std::atomic_bool *cancel)
{
    KMApacheVerdict verdict;
    verdict.reason = QStringLiteral("Apache's configuration test did not run");
    QString modules;
    if (cmdExecute(modules, {QStringLiteral("apache2ctl"), QStringLiteral("-M")}, kConfigTestTimeout, cancel) != 0)
        return verdict;
    // Beside the live files, as closed to other users as they are.
    QTemporaryDir apart(orbaPath(QLatin1String(kReverseproxyDir)) + QStringLiteral("/.test-XXXXXX"));
    const QString dir = apart.path();
    QStringList lines = {QStringLiteral("ServerName localhost"), QStringLiteral("PidFile ") + dir + QStringLiteral("/pid"),
                         QStringLiteral("ErrorLog ") + dir + QStringLiteral("/error.log")};
    lines << moduleLines(modules) << apartSiteLines(dir, ports);
    KMFileTransaction transaction;
    const bool written = apart.isValid()
                         && transaction.stage(dir + QStringLiteral("/apache2.conf"), lines.join(QLatin1Char('\n')).toUtf8())
                         && transaction.stage(dir + QStringLiteral("/http.conf"), fileText(files.http))
                         && transaction.stage(dir + QStringLiteral("/https.conf"), fileText(files.https))
                         && QDir().mkpath(dir + QStringLiteral("/virtualhost"));
    bool staged = written;
    for (const KMVirtualHostFile &host : files.virtualHosts)
        staged = staged && transaction.stage(dir + QStringLiteral("/virtualhost/") + host.fileName, fileText(host.lines));
    if (!staged || !transaction.apply())
        return verdict;
    transaction.finish();
    return runTest({QStringLiteral("apache2ctl"), QStringLiteral("-f"), dir + QStringLiteral("/apache2.conf"),
                    QStringLiteral("-t")},
                   cancel, dir);
}

bool KMApacheSite::reload(QString &message, const std::atomic_bool *cancel)
{
    return systemctl(QStringLiteral("reload"), message, cancel);
}

bool KMApacheSite::start(QString &message, const std::atomic_bool *cancel)
{
    return systemctl(QStringLiteral("start"), message, cancel);
}

QString KMApacheSite::state(const std::atomic_bool *cancel)
{
    QString output;
    const int code = cmdExecute(output, {QStringLiteral("systemctl"), QStringLiteral("is-active"),
                                         QStringLiteral("apache2")},
                                kSystemctlTimeout, cancel);
    if (code == 0)
        return QStringLiteral("active");
    // is-active exits 3 for an inactive or failed unit, 4 for an unknown one.
    if (code != 3)
        return QStringLiteral("unknown");
    return cmdExecute(output, {QStringLiteral("systemctl"), QStringLiteral("is-failed"), QStringLiteral("apache2")},
                      kSystemctlTimeout, cancel)
                   == 0
               ? QStringLiteral("failed")
               : QStringLiteral("inactive");
}

bool KMApacheSite::listeningPorts(QSet<int> &ports, const std::atomic_bool *cancel)
{
    QString output;
    ports.clear();
    if (cmdExecute(output, {QStringLiteral("systemctl"), QStringLiteral("show"), QStringLiteral("-p"),
                            QStringLiteral("MainPID"), QStringLiteral("-p"), QStringLiteral("ControlGroup"),
                            QStringLiteral("-p"), QStringLiteral("ActiveState"), QStringLiteral("apache2")},
                   kSystemctlTimeout, cancel)
        != 0)
        return false;
    qint64 pid = 0;
    QString group;
    QString state;
    for (const QString &line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("MainPID=")))
            pid = line.mid(8).trimmed().toLongLong();
        else if (line.startsWith(QLatin1String("ControlGroup=")))
            group = line.mid(13).trimmed();
        else if (line.startsWith(QLatin1String("ActiveState=")))
            state = line.mid(12).trimmed();
    }
    if (pid <= 0 && (state == QLatin1String("inactive") || state == QLatin1String("failed")))
        return true; // a unit that does not run listens nowhere
    return pid > 0 && (KMAppliance::listeningPortsOf(pid, ports) || KMAppliance::listeningPortsOfGroup(group, ports));
}

KMApacheLogMark KMApacheSite::logMark()
{
    return {QDateTime::currentSecsSinceEpoch(), QFileInfo(QLatin1String(kErrorLog)).size()};
}

QString KMApacheSite::failureReason(const KMApacheLogMark &mark, const std::atomic_bool *cancel)
{
    // Apache writes why it could not start to its unit's journal, and once
    // it runs, to its error log: what either gained since the mark.
    QString output;
    if (cmdExecute(output, {QStringLiteral("journalctl"), QStringLiteral("-u"), QStringLiteral("apache2"),
                            QStringLiteral("-o"), QStringLiteral("cat"), QStringLiteral("--no-pager"),
                            QStringLiteral("--since"), QStringLiteral("@%1").arg(mark.time)},
                   kSystemctlTimeout, cancel)
        != 0)
        output.clear();
    QFile log{QString::fromLatin1(kErrorLog)};
    if (log.open(QIODevice::ReadOnly)) {
        const qint64 from = log.size() >= mark.errorLogSize ? mark.errorLogSize : 0; // rotated since
        if (log.seek(std::max(from, log.size() - kErrorLogRead)))
            output += QString::fromUtf8(log.read(kErrorLogRead));
    }
    return apacheReasons(output).join(QStringLiteral("; "));
}
