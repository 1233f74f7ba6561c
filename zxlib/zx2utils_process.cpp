#include "zx2utils_process.h"

#include "zx2error.h"

#include <QProcessEnvironment>
#include <QStandardPaths>

#include <csignal>
#include <limits>
#include <sys/types.h>
#include <unistd.h>

namespace {

// How often a watcher of a child's output hears of it; fine enough for a
// progress bar without waking the caller needlessly.
constexpr int kOutputPollMs = 500;
// How soon a cancelled run ends its child.
constexpr int kCancelPollMs = 50;

// exeCommand's result for a command that did not start or not finish in time,
// as its callers have always been told.
constexpr int kCommandNotRun = 62;

// A child in a process group of its own, so that a time-out can end
// everything it started; killed and reaped when it goes out of scope.
class ChildProcess : public QProcess
{
public:
    ChildProcess() { setStandardInputFile(QProcess::nullDevice()); }
    ~ChildProcess() override { stop(); }

    void stop()
    {
        if (state() == QProcess::NotRunning)
            return;
        const qint64 pid = processId();
        if (pid > 0)
            ::kill(-pid_t(pid), SIGKILL);
        kill();
        waitForFinished(-1);
    }

protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

// The process class looks a bare program name up in this process's PATH, so
// a PATH given to the child is applied to the look-up here.
QString resolvedProgram(const QString &program, const QProcessEnvironment &environment)
{
    if (program.contains(QLatin1Char('/')) || !environment.contains(QStringLiteral("PATH")))
        return program;
    const QStringList dirs =
        environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    const QString found = QStandardPaths::findExecutable(program, dirs);
    return found.isEmpty() ? program : found;
}

int waitMs(const QDeadlineTimer &deadline)
{
    return int(qMin<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max()));
}

// Waits for the end until finishBy, telling a watcher of the output between
// the waits; true when the child ended in time and was not cancelled.
bool awaitEnd(ChildProcess &process, const QDeadlineTimer &finishBy, const ProcessRequest &request,
              QByteArray &seen)
{
    if (!request.onOutput && !request.cancel)
        return process.waitForFinished(waitMs(finishBy));
    const int poll = request.cancel ? kCancelPollMs : kOutputPollMs;
    for (;;) {
        if (request.cancel && request.cancel->load())
            return false;
        const int slice = finishBy.isForever() ? poll : qMin(poll, waitMs(finishBy));
        if (process.waitForFinished(slice) || process.state() == QProcess::NotRunning)
            return true;
        if (finishBy.hasExpired())
            return false;
        if (request.onOutput) {
            seen += process.readAllStandardOutput();
            request.onOutput(seen);
        }
    }
}

QString utf8UpToZero(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData());
}

QString latin1UpToZero(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData());
}

ProcessRequest commandLineRequest(const QString &command, int timeoutMs)
{
    ProcessRequest request;
    request.arguments = QProcess::splitCommand(command);
    request.program = request.arguments.isEmpty() ? QString() : request.arguments.takeFirst();
    request.startMs = qMax(timeoutMs, 0);
    request.deadline = QDeadlineTimer(qMax(timeoutMs, 0), Qt::PreciseTimer);
    return request;
}

bool captured(const ProcessRun &run, QString &output)
{
    output = utf8UpToZero(run.succeeded() ? run.standardOutput : run.standardError);
    return run.succeeded();
}

QProcessEnvironment extendedEnvironment(const QHash<QString, QString> &environment)
{
    QProcessEnvironment extended = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.cbegin(); it != environment.cend(); ++it) {
        if (!extended.contains(it.key())) {
            extended.insert(it.key(), it.value());
            continue;
        }
        QStringList parts = extended.value(it.key()).split(QLatin1Char(':'), Qt::SkipEmptyParts);
        parts << it.value();
        extended.insert(it.key(), parts.join(QLatin1Char(':')));
    }
    return extended;
}

QString quotedArgument(const QString &argument)
{
    if (!argument.contains(QLatin1Char(' ')))
        return argument;
    if (!argument.contains(QLatin1Char('\'')))
        return QLatin1Char('\'') + argument + QLatin1Char('\'');
    if (!argument.contains(QLatin1Char('"')))
        return QLatin1Char('"') + argument + QLatin1Char('"');
    return argument;
}

int runDetached(const QString &command)
{
    QStringList arguments = QProcess::splitCommand(command);
    const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    return QProcess::startDetached(program, arguments) ? 0 : kCommandNotRun;
}

int runWithoutLimit(const QString &command, QByteArray *output)
{
    ProcessRequest request = commandLineRequest(command, 0);
    request.startMs = -1;
    request.deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    const ProcessRun run = runProcess(request);
    if (!run.started)
        return -2;
    const int result = run.crashed ? -1 : run.exitCode;
    if (output)
        *output = result != 0 ? run.standardError : run.standardOutput;
    return result;
}

int runWithLimit(const QString &command, int timeoutMs, QByteArray *output)
{
    const ProcessRun run = runProcess(commandLineRequest(command, timeoutMs));
    if (!run.finished)
        return kCommandNotRun;
    if (output)
        *output = run.crashed || run.exitCode != 0 ? run.standardError : run.standardOutput;
    return run.exitCode;
}

} // namespace

ProcessRun runProcess(const ProcessRequest &request)
{
    ChildProcess process;
    if (!request.environment.isEmpty())
        process.setProcessEnvironment(request.environment);
    process.setProcessChannelMode(request.channels);
    process.start(resolvedProgram(request.program, process.processEnvironment()), request.arguments);
    ProcessRun run;
    run.started = process.waitForStarted(request.startMs);
    if (run.started) {
        QDeadlineTimer finishBy(request.finishMs, Qt::PreciseTimer);
        if (request.deadline < finishBy)
            finishBy = request.deadline;
        run.finished = awaitEnd(process, finishBy, request, run.standardOutput);
        if (!run.finished)
            process.stop();
        run.crashed = run.finished && process.exitStatus() == QProcess::CrashExit;
        run.exitCode = process.exitCode();
    }
    run.standardOutput += process.readAllStandardOutput();
    run.standardError = process.readAllStandardError();
    return run;
}

bool cmdExec(const QString &command, QString &output, int timeoutMs)
{
    return cmdExec(QHash<QString, QString>(), command, output, timeoutMs);
}

bool cmdExec(const QString &command, int timeoutMs)
{
    QString output;
    return cmdExec(command, output, timeoutMs);
}

bool cmdExec(const QHash<QString, QString> &environment, const QString &command,
             QString &output, int timeoutMs)
{
    ProcessRequest request = commandLineRequest(command, timeoutMs);
    if (!environment.isEmpty())
        request.environment = extendedEnvironment(environment);
    return captured(runProcess(request), output);
}

bool cmdExec(const QHash<QString, QString> &environment, const QString &command, int timeoutMs)
{
    QString output;
    return cmdExec(environment, command, output, timeoutMs);
}

bool cmdsExec(const QStringList &commands, QJsonArray &errors, int timeoutMs)
{
    const QDeadlineTimer batchEnd(qMax(timeoutMs, 0), Qt::PreciseTimer);
    bool ranOne = false;
    for (const QString &entry : commands) {
        const QString command = entry.trimmed();
        if (command.isEmpty())
            continue;
        ProcessRequest request = commandLineRequest(command, timeoutMs);
        request.deadline = batchEnd;
        const ProcessRun run = runProcess(request);
        if (!run.succeeded()) {
            errors.append(latin1UpToZero(run.standardError));
            return ranOne;
        }
        ranOne = true;
    }
    return ranOne;
}

bool cmdsExec(const QStringList &commands, int timeoutMs)
{
    QJsonArray errors;
    return cmdsExec(commands, errors, timeoutMs);
}

int cmdExecute(QString &output, const QStringList &programAndArguments, int timeoutMs,
               const std::atomic_bool *cancel)
{
    ProcessRequest request = commandLineRequest(QString(), timeoutMs);
    request.arguments = programAndArguments;
    request.program = request.arguments.isEmpty() ? QString() : request.arguments.takeFirst();
    request.cancel = cancel;
    const ProcessRun run = runProcess(request);
    if (!run.finished || run.crashed)
        return ZX2Error::ERR_TIMEOUT;
    output = utf8UpToZero(run.exitCode == 0 ? run.standardOutput : run.standardError);
    return run.exitCode;
}

bool execBash(const QString &script, QString &output, int timeoutMs)
{
    ProcessRequest request = commandLineRequest(QString(), timeoutMs);
    request.program = QStringLiteral("sudo");
    request.arguments = QStringList{QStringLiteral("/bin/bash"), QStringLiteral("-c"), script};
    return captured(runProcess(request), output);
}

bool execBash(const QString &script, int timeoutMs)
{
    QString output;
    return execBash(script, output, timeoutMs);
}

int exeCommand(const QString &command, int timeoutMs, QByteArray *output)
{
    if (timeoutMs < 0)
        return runDetached(command);
    if (timeoutMs == 0)
        return runWithoutLimit(command, output);
    return runWithLimit(command, timeoutMs, output);
}

QString PROCESS_COMMAND(const QProcess &process)
{
    QString line = process.program();
    for (const QString &argument : process.arguments())
        line += QLatin1Char(' ') + quotedArgument(argument);
    return line;
}

QString toShellArgEscaped(const QString &argument)
{
    QString escaped = argument;
    escaped.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

QStringList cmdOutputs(const QByteArray &output)
{
    QByteArray text(output.constData());
    text.replace('\r', QByteArray());
    text.replace('\t', ' ');
    return QString::fromLatin1(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QHash<QString, QString> cmdArguments(const QStringList &arguments)
{
    QHash<QString, QString> pairs;
    QString pendingKey;
    bool pending = false;
    for (const QString &entry : arguments) {
        if (entry.startsWith(QLatin1Char('-'))) {
            if (pending)
                pairs.insert(pendingKey, QString());
            pendingKey = entry;
            pending = true;
        } else if (pending) {
            pairs.insert(pendingKey, entry);
            pending = false;
        }
    }
    if (pending)
        pairs.insert(pendingKey, QString());
    return pairs;
}
