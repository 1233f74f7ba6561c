#include "lnx2host.h"

#include "lnx2utils.h"
#include "zx2utils_process.h"

#include <QDir>
#include <QFileInfo>

const char kHostTimeServer[] = "pool.ntp.org";
const char kAptForceConfmiss[] = "Dpkg::Options::=--force-confmiss";

QString hostPath(const QString &fixedPath)
{
    const QByteArray root = qgetenv("LNX2_SYSROOT");
    if (root.isEmpty())
        return fixedPath;
    return QDir::cleanPath(QString::fromLocal8Bit(root) + QLatin1Char('/') + fixedPath);
}

QProcessEnvironment hostNoninteractiveEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    return environment;
}

bool hostRun(const QString &program, const QStringList &arguments, int startMs, int finishMs,
             bool noninteractive, QByteArray *output, QByteArray *errorOutput)
{
    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    if (noninteractive)
        request.environment = hostNoninteractiveEnvironment();
    request.startMs = startMs;
    request.finishMs = finishMs;
    const ProcessRun run = runProcess(request);
    if (output)
        *output = run.standardOutput;
    if (errorOutput)
        *errorOutput = run.standardError;
    return run.succeeded();
}

void hostRemoveFiles(const QStringList &fixedPaths)
{
    for (const QString &fixedPath : fixedPaths) {
        const QString path = hostPath(fixedPath);
        const QFileInfo info(path);
        QStringList targets;
        if (info.fileName().contains(QLatin1Char('*'))) {
            // No shell expands the pattern for rm, so it is expanded here as
            // the shell would: letter case counts, dot files are left out.
            const QDir dir = info.dir();
            for (const QString &name : dir.entryList(QStringList(info.fileName()),
                                                     QDir::Files | QDir::System | QDir::CaseSensitive))
                targets << dir.filePath(name);
            if (targets.isEmpty())
                continue;
        } else {
            targets << path;
        }
        hostRun(QStringLiteral("rm"), QStringList(QStringLiteral("-f")) + targets, -1, -1);
    }
}

bool hostPackageToolListed(const QString &psOutput)
{
    static const QStringList kPackageToolMarks = {QStringLiteral(" dpkg "), QStringLiteral("/dpkg "),
                                      QStringLiteral(" apt "), QStringLiteral("/apt ")};
    for (const QString &line : psOutput.split(QLatin1Char('\n'))) {
        const QString command = line.trimmed().section(QLatin1Char(' '), -1);
        if (command == QLatin1String("dpkg") || command == QLatin1String("apt"))
            return true;
        for (const QString &mark : kPackageToolMarks)
            if (line.contains(mark))
                return true;
    }
    return false;
}

QList<QStringList> dpkgListingRows(const QStringList &lines)
{
    int first = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed().startsWith(QLatin1String("+++-==="))) {
            first = i;
            break;
        }
    }
    QList<QStringList> rows;
    for (int i = first; i < lines.size(); ++i) {
        const QStringList parts = stringSplit(lines[i].trimmed());
        if (parts.size() > 2)
            rows << parts;
    }
    return rows;
}
