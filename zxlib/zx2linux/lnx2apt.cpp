#include "lnx2apt.h"

#include "lnx2host.h"
#include "lnx2utils.h"
#include "zx2utils_process.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QPair>

#include <algorithm>

namespace {

constexpr int kReinstallStartMs = 5000;  // a reinstall is started at once or not at all
constexpr int kReinstallMs = 7200000;    // it may download and unpack for two hours

QStringList toolLines(const QByteArray &output)
{
    return QString::fromLatin1(output.constData()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QJsonObject packageRecord(const QStringList &row)
{
    return QJsonObject{{QStringLiteral("status"), row[0]},
                       {QStringLiteral("package"), row[1]},
                       {QStringLiteral("version"), row[2]}};
}

// Counts the lines that begin with prefix once every ignored text is taken
// out of them; package gets the word at nameAt of the last one that has it.
int countReports(QString &package, const QStringList &lines, const QString &prefix, int nameAt,
                 const QString &ignored)
{
    package.clear();
    int count = 0;
    for (QString line : lines) {
        if (!ignored.isEmpty())
            line.remove(ignored);
        if (!line.startsWith(prefix))
            continue;
        ++count;
        const QStringList parts = stringSplit(line.trimmed());
        if (parts.size() > nameAt)
            package = parts[nameAt];
    }
    return count;
}

// Moves the progress of a running apt on by one step of its phases: summary
// (0), download (1, up to 30 %), unpack (2, up to 60 %), set up (3, up to 100 %).
struct InstallProgress
{
    int phase = 0;
    int value = 0;
    int amount = 0;

    void advance(const QByteArray &output)
    {
        const QStringList lines = toolLines(output);
        QString package;
        switch (phase) {
        case 0:
            phase = LNX2Apt::aptAmounts(amount, lines) ? 1 : 0;
            raise(1);
            break;
        case 1:
            if (amount > 0) {
                int percent = 0;
                const bool unpacking = LNX2Apt::aptDownloading(percent, package, output);
                raise(std::max(percent * 30 / 100, 1));
                if (unpacking)
                    phase = 2;
            } else {
                phase = 2;
                raise(30);
            }
            break;
        case 2:
            if (amount > 0) {
                const int done = LNX2Apt::aptUnpacking(package, lines);
                raise(done * 30 / amount + 30);
                if (done >= amount)
                    phase = 3;
            } else {
                phase = 3;
                raise(60);
            }
            break;
        default:
            if (amount > 0) {
                const int done = LNX2Apt::aptSettingUp(package, lines);
                raise(done * 40 / amount + 60);
                if (done >= amount)
                    phase = 2;
            } else {
                raise(100);
            }
            break;
        }
    }

    void raise(int to) { value = std::min(100, std::max(value, to)); }
};

} // namespace

QString LNX2Apt::takePackageName(const QString &text)
{
    if (!text.contains(QLatin1Char('/')))
        return text;
    QString name = text.mid(text.lastIndexOf(QLatin1Char('/')) + 1);
    const int underscore = name.indexOf(QLatin1Char('_'));
    if (underscore > 0)
        name.truncate(underscore);
    return name;
}

bool LNX2Apt::isBusy()
{
    QByteArray output;
    if (!hostRun(QStringLiteral("ps"), {QStringLiteral("-e")}, kToolStartMs, kToolQueryMs, false, &output))
        return false;
    return hostPackageToolListed(QString::fromLatin1(output.constData()));
}

QList<QJsonObject> LNX2Apt::dpkgPackages()
{
    QByteArray output;
    if (!hostRun(QStringLiteral("dpkg"), {QStringLiteral("-l"), QStringLiteral("--no-pager")},
                 kToolStartMs, kToolQueryMs, false, &output))
        return {};
    QList<QJsonObject> records;
    for (const QStringList &row : dpkgListingRows(toolLines(output)))
        records << packageRecord(row);
    return records;
}

QList<QJsonObject> LNX2Apt::dpkgBrokens()
{
    QList<QJsonObject> brokens;
    for (const QJsonObject &record : dpkgPackages())
        if (record.value(QStringLiteral("status")).toString() != QLatin1String("ii"))
            brokens << record;
    return brokens;
}

bool LNX2Apt::dpkgStatus(const QString &package, QString &status, QString &version)
{
    QByteArray output;
    if (!hostRun(QStringLiteral("dpkg"), {QStringLiteral("-l"), package}, kToolStartMs, kToolQueryMs, false, &output))
        return false;
    for (const QStringList &row : dpkgListingRows(toolLines(output))) {
        // dpkg lists multi-arch packages with their architecture (libc6:amd64).
        if (row[1] == package || row[1].section(QLatin1Char(':'), 0, 0) == package) {
            status = row[0];
            version = row[2];
            return true;
        }
    }
    return false;
}

int LNX2Apt::aptUnpacking(QString &package, const QStringList &lines)
{
    return countReports(package, lines, QStringLiteral("Unpacking "), 1, QString());
}

int LNX2Apt::aptSettingUp(QString &package, const QStringList &lines)
{
    return countReports(package, lines, QStringLiteral("Setting up "), 2,
                        QStringLiteral("[Waiting for headers]"));
}

bool LNX2Apt::aptAmounts(int &amount, const QStringList &lines)
{
    bool found = false;
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String("upgraded,")) || !line.contains(QLatin1String("newly installed,"))
            || !line.contains(QLatin1String("to remove and")) || !line.contains(QLatin1String("not upgraded.")))
            continue;
        const QStringList parts = stringSplit(line.trimmed());
        if (parts.size() > 2) {
            amount = parts[0].toInt() + parts[2].toInt();
            found = true;
        }
    }
    return found;
}

bool LNX2Apt::aptDownloading(int &percent, QString &package, const QByteArray &output)
{
    percent = 0;
    package.clear();
    const int at = output.lastIndexOf("% [");
    if (at > 3) {
        QByteArray number = output.mid(at - 3, 3).trimmed();
        number.replace("%", "");
        const QList<QByteArray> parts = number.split('\r');
        for (int i = parts.size() - 1; i >= 0; --i) {
            if (!parts[i].isEmpty()) {
                percent = parts[i].trimmed().toInt();
                break;
            }
        }
        QByteArray rest = output.mid(at + 2).trimmed();
        rest.replace("[Waiting for headers]", "");
        const int open = rest.indexOf('[');
        const int close = open < 0 ? -1 : rest.indexOf(']', open);
        if (close > open) {
            const QStringList words = stringSplit(QString::fromLatin1(rest.mid(open + 1, close - open - 1)).trimmed());
            if (words.size() > 1)
                package = words[1];
        }
    }
    return output.contains("(Reading database ... ");
}

bool LNX2Apt::aptPurge(const QString &package)
{
    PRINTVAR(package);
    // Maintainer scripts that dpkg names in its error output when they stop a purge.
    QMap<QString, QString> scripts;
    if (!package.contains(QLatin1Char('/'))) {
        const QString info = hostPath(QStringLiteral("/var/lib/dpkg/info")) + QLatin1Char('/') + package;
        scripts.insert(QStringLiteral(" pre-removal "), info + QLatin1String(".prerm"));
        scripts.insert(QStringLiteral(" post-removal "), info + QLatin1String(".postrm"));
        scripts.insert(QStringLiteral(" pre-installation "), info + QLatin1String(".preinst"));
        scripts.insert(QStringLiteral(" post-installation "), info + QLatin1String(".postinst"));
    }
    bool ok = false;
    for (;;) {
        QByteArray error;
        if (hostRun(QStringLiteral("apt"), {QStringLiteral("purge"), QStringLiteral("-y"), package},
                    kToolStartMs, kToolWorkMs, false, nullptr, &error)) {
            ok = true;
            break;
        }
        const QString output = QString::fromLocal8Bit(error);
        auto it = scripts.begin();
        for (; it != scripts.end(); ++it)
            if (output.contains(it.key()))
                break;
        if (it == scripts.end()) {
            PRINTVAR(output);
            break;
        }
        PRINTVAR(it.key());
        PRINTVAR(it.value());
        if (QFile::exists(it.value()))
            QFile::remove(it.value());
        scripts.erase(it);
    }
    PRINTVAR();
    return ok;
}

int LNX2Apt::aptPurge(const QList<QJsonObject> &packages)
{
    int purged = 0;
    for (const QJsonObject &record : packages)
        purged += aptPurge(record.value(QStringLiteral("package")).toString()) ? 1 : 0;
    return purged;
}

bool LNX2Apt::aptReinstall(const QString &package)
{
    return hostRun(QStringLiteral("apt"),
                   {QStringLiteral("reinstall"), QStringLiteral("--fix-missing"),
                    QStringLiteral("--allow-unauthenticated"), QStringLiteral("-o"),
                    QString::fromLatin1(kAptForceConfmiss), QStringLiteral("-y"), package},
                   kReinstallStartMs, kReinstallMs, true);
}

int LNX2Apt::aptReinstall(const QList<QJsonObject> &packages)
{
    int reinstalled = 0;
    for (const QJsonObject &record : packages)
        reinstalled += aptReinstall(record.value(QStringLiteral("package")).toString()) ? 1 : 0;
    return reinstalled;
}

bool LNX2Apt::aptRepair()
{
    PRINTVAR();
    if (isBusy())
        return false;
    PRINTVAR();
    emit progress(0);
    hostRemoveFiles({QStringLiteral("/var/lib/dpkg/lock"), QStringLiteral("/var/lib/dpkg/lock-frontend"),
                     QStringLiteral("/var/lib/dpkg/updates/*"), QStringLiteral("/var/cache/apt/archives/lock"),
                     QStringLiteral("/var/cache/apt/archives/*.deb")});
    emit progress(5);
    PRINTVAR();
    emit progress(10);
    hostRun(QStringLiteral("hwclock"), {}, kToolStartMs, kToolQueryMs);
    emit progress(15);
    PRINTVAR();
    emit progress(30);
    const QList<QJsonObject> brokens = dpkgBrokens();
    if (!brokens.isEmpty())
        aptPurge(brokens);
    PRINTVAR();
    emit progress(40);
    reinstallBrokens();
    PRINTVAR();
    emit progress(50);

    // Each command and the progress reached after it (-1: none yet).
    const QString apt = QStringLiteral("apt");
    const QList<QPair<QStringList, int>> steps = {
        {{apt, QStringLiteral("clean"), QStringLiteral("-y")}, -1},
        {{apt, QStringLiteral("autoclean"), QStringLiteral("-y")}, 60},
        {{QStringLiteral("dpkg"), QStringLiteral("--configure"), QStringLiteral("-a")}, 70},
        {{apt, QStringLiteral("autoremove"), QStringLiteral("-y")}, 80},
        {{apt, QStringLiteral("--fix-broken"), QStringLiteral("-y"), QStringLiteral("install")}, 90},
        {{apt, QStringLiteral("--fix-broken"), QStringLiteral("-o"), QString::fromLatin1(kAptForceConfmiss),
          QStringLiteral("-y"), QStringLiteral("install")}, 95},
    };
    for (const auto &step : steps) {
        hostRun(step.first.first(), step.first.mid(1), kToolStartMs, kToolWorkMs, true);
        if (step.second < 0)
            continue;
        emit progress(step.second);
        PRINTVAR();
    }
    emit progress(100);
    PRINTVAR();
    return true;
}

// Reinstalls the broken packages until none is left. A round that leaves the
// same packages broken (a held package stays "hi" however often it is
// reinstalled) also ends it, which would otherwise loop for ever.
void LNX2Apt::reinstallBrokens()
{
    QList<QJsonObject> previous;
    for (QList<QJsonObject> current = dpkgBrokens();
         !current.isEmpty() && current != previous && aptReinstall(current) > 0; current = dpkgBrokens())
        previous = current;
}

bool LNX2Apt::aptExecute(QJsonObject &result, const QJsonObject &request)
{
    const QString argument = toString(request.value(QStringLiteral("package")));
    const QString name = takePackageName(argument);
    int action = toInt(request.value(QStringLiteral("exec")));
    if (action < 1 || action > 4)
        action = 1;
    // The command line goes through the shell that "script" starts: the
    // package comes from the request and is quoted as one word.
    QString command;
    if (action == 4)
        command = QStringLiteral("apt purge -y ") + toShellArgEscaped(name);
    else
        command = QStringLiteral("apt %1 --fix-missing --allow-unauthenticated "
                                 "-o Dpkg::Options::=\"--force-confmiss\" -y ")
                      .arg(action == 3 ? QStringLiteral("reinstall") : QStringLiteral("install"))
                  + toShellArgEscaped(argument);

    emit progress(0);
    QString oldStatus, oldVersion, newStatus, newVersion;
    dpkgStatus(name, oldStatus, oldVersion);
    QElapsedTimer timer;
    timer.start();

    ProcessRequest script;
    script.program = QStringLiteral("script");
    script.arguments = QStringList{QStringLiteral("-c"), command};
    script.environment = hostNoninteractiveEnvironment();
    script.channels = QProcess::MergedChannels;
    script.startMs = kToolStartMs;
    InstallProgress install;
    script.onOutput = [&](const QByteArray &output) {
        install.advance(output);
        emit progress(install.value);
    };
    const ProcessRun run = runProcess(script);
    if (run.succeeded())
        emit progress(100);
    else if (run.started)
        // The channels are merged, so apt's messages are in the output.
        result[QStringLiteral("errmsg")] = QString::fromLocal8Bit(run.standardOutput);

    dpkgStatus(name, newStatus, newVersion);
    if (argument != name)
        result[QStringLiteral("filepath")] = argument;
    result[QStringLiteral("package")] = name;
    result[QStringLiteral("action")] = action;
    result[QStringLiteral("times")] = timer.elapsed();
    result[QStringLiteral("oldstatus")] = oldStatus;
    result[QStringLiteral("oldversion")] = oldVersion;
    result[QStringLiteral("newstatus")] = newStatus;
    result[QStringLiteral("newversion")] = newVersion;
    return run.succeeded();
}
