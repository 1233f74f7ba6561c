#include "lnx2utils_process.h"

#include "zx2utils_process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

namespace {

QString programOf(const QStringList &programAndArguments, bool asRoot, QStringList &arguments)
{
    arguments = programAndArguments;
    if (asRoot)
        return QStringLiteral("sudo");
    return arguments.isEmpty() ? QString() : arguments.takeFirst();
}

QByteArray readProcFile(const QString &pid, const char *name)
{
    QFile file(QStringLiteral("/proc/") + pid + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString commandName(const QString &pid)
{
    return QString::fromLatin1(readProcFile(pid, "comm")).trimmed();
}

QStringList commandArguments(const QByteArray &cmdline)
{
    QStringList arguments;
    for (const QByteArray &part : cmdline.split('\0')) {
        const QString argument = QString::fromLatin1(part);
        if (!argument.trimmed().isEmpty())
            arguments << argument;
    }
    return arguments;
}

using ProcessMatch = bool (*)(const QString &pid, const QString &name, const QStringList &arguments);

QJsonArray scanProcesses(const QString &name, ProcessMatch match)
{
    QJsonArray found;
    // The links "self" and "thread-self" would list the calling process a
    // second and third time, with pid 0.
    const QStringList entries =
        QDir(QStringLiteral("/proc/"))
            .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (const QString &pid : entries) {
        const QByteArray cmdline = readProcFile(pid, "cmdline");
        const QStringList arguments = commandArguments(cmdline);
        if (!match(pid, name, arguments))
            continue;
        QByteArray line = cmdline;
        line.replace('\0', ' ');
        found.append(QJsonObject{{QStringLiteral("pid"), pid.toInt()},
                                 {QStringLiteral("cmdargs"), QJsonArray::fromStringList(arguments)},
                                 {QStringLiteral("cmdline"), QString::fromLatin1(line).trimmed()}});
    }
    return found;
}

bool matchesNameOrExe(const QString &pid, const QString &name, const QStringList &)
{
    if (name.contains(QLatin1Char('/')))
        return QFile::symLinkTarget(QStringLiteral("/proc/") + pid + QStringLiteral("/exe")) == name;
    return commandName(pid) == name;
}

bool matchesNameOrArgument(const QString &pid, const QString &name, const QStringList &arguments)
{
    if (!name.contains(QLatin1Char('/')) && commandName(pid) == name)
        return true;
    return arguments.contains(name);
}

} // namespace

int linuxCmdExec(const QStringList &programAndArguments, bool asRoot)
{
    ProcessRequest request;
    request.program = programOf(programAndArguments, asRoot, request.arguments);
    request.channels = QProcess::ForwardedChannels;
    const ProcessRun run = runProcess(request);
    if (!run.started)
        return -2;
    return run.crashed ? -1 : run.exitCode;
}

void linuxCmdStart(QProcess &process, const QStringList &programAndArguments, bool asRoot)
{
    QStringList arguments;
    const QString program = programOf(programAndArguments, asRoot, arguments);
    process.start(program, arguments, QIODevice::ReadWrite);
}

QJsonArray findProcess(const QString &name)
{
    return scanProcesses(name, matchesNameOrExe);
}

QJsonArray findProcessWith(const QString &name)
{
    return scanProcesses(name, matchesNameOrArgument);
}
