#include "zx2utils_process.h"

#include "zx2error.h"

#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

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

enum class Outcome { NotStarted, TimedOut, Crashed, Exited };

// Waits for the start up to startMs, then for the end until limitMs have
// passed on clock; a child still running then is stopped.
Outcome awaitChild(ChildProcess &process, int startMs, const QElapsedTimer &clock, int limitMs)
{
    if (!process.waitForStarted(qMax(startMs, 0)))
        return Outcome::NotStarted;
    const qint64 left = qMax<qint64>(limitMs - clock.elapsed(), 0);
    if (!process.waitForFinished(int(left))) {
        process.stop();
        return Outcome::TimedOut;
    }
    return process.exitStatus() == QProcess::NormalExit ? Outcome::Exited : Outcome::Crashed;
}

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

void startCommandLine(QProcess &process, const QString &command)
{
    QStringList arguments = QProcess::splitCommand(command);
    const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    process.start(resolvedProgram(program, process.processEnvironment()), arguments);
}

bool succeeded(Outcome outcome, const QProcess &process)
{
    return outcome == Outcome::Exited && process.exitCode() == 0;
}

QString utf8UpToZero(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData());
}

QString latin1UpToZero(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData());
}

bool runCaptured(ChildProcess &process, QString &output, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const bool ok = succeeded(awaitChild(process, timeoutMs, clock, timeoutMs), process);
    output = utf8UpToZero(ok ? process.readAllStandardOutput() : process.readAllStandardError());
    return ok;
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
    return QProcess::startDetached(program, arguments) ? 0 : 62;
}

int runWithoutLimit(const QString &command, QByteArray *output)
{
    ChildProcess process;
    startCommandLine(process, command);
    if (!process.waitForStarted(-1))
        return -2;
    process.waitForFinished(-1);
    const int result = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (output)
        *output = result != 0 ? process.readAllStandardError() : process.readAllStandardOutput();
    return result;
}

int runWithLimit(const QString &command, int timeoutMs, QByteArray *output)
{
    ChildProcess process;
    startCommandLine(process, command);
    QElapsedTimer clock;
    clock.start();
    const Outcome outcome = awaitChild(process, timeoutMs, clock, timeoutMs);
    if (outcome == Outcome::NotStarted || outcome == Outcome::TimedOut)
        return 62;
    const bool failed = outcome == Outcome::Crashed || process.exitCode() != 0;
    if (output)
        *output = failed ? process.readAllStandardError() : process.readAllStandardOutput();
    return process.exitCode();
}

} // namespace

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
    ChildProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(extendedEnvironment(environment));
    startCommandLine(process, command);
    return runCaptured(process, output, timeoutMs);
}

bool cmdExec(const QHash<QString, QString> &environment, const QString &command, int timeoutMs)
{
    QString output;
    return cmdExec(environment, command, output, timeoutMs);
}

bool cmdsExec(const QStringList &commands, QJsonArray &errors, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    bool ranOne = false;
    for (const QString &entry : commands) {
        const QString command = entry.trimmed();
        if (command.isEmpty())
            continue;
        ChildProcess process;
        startCommandLine(process, command);
        if (!succeeded(awaitChild(process, timeoutMs, clock, timeoutMs), process)) {
            errors.append(latin1UpToZero(process.readAllStandardError()));
            return false;
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

int cmdExecute(QString &output, const QStringList &programAndArguments, int timeoutMs)
{
    QStringList arguments = programAndArguments;
    const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    ChildProcess process;
    process.start(program, arguments);
    QElapsedTimer clock;
    clock.start();
    if (awaitChild(process, timeoutMs, clock, timeoutMs) != Outcome::Exited)
        return ZX2Error::ERR_TIMEOUT;
    const int exitCode = process.exitCode();
    output = utf8UpToZero(exitCode == 0 ? process.readAllStandardOutput()
                                        : process.readAllStandardError());
    return exitCode;
}

bool execBash(const QString &script, QString &output, int timeoutMs)
{
    ChildProcess process;
    process.start(QStringLiteral("sudo"), {QStringLiteral("/bin/bash"), QStringLiteral("-c"), script});
    return runCaptured(process, output, timeoutMs);
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
