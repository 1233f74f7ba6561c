#ifndef ZX2UTILS_PROCESS_H
#define ZX2UTILS_PROCESS_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// The runner that every child process of this library goes through (except a
// detached start). The child runs in a process group of its own and reads
// end-of-file on its standard input. It may take startMs to start, then
// finishMs to end (-1: no limit), never past deadline. A child still running
// then is killed together with every process of its group, and reaped, before
// runProcess returns. While the child runs, onOutput (when set) is called
// about twice a second with all it has written to standard output so far.
// When cancel (optional) becomes true the child is ended the same way, at
// most some 50 ms later, and the run counts as not finished.
struct ProcessRequest
{
    QString program; // a bare name is looked up in the child's PATH
    QStringList arguments;
    QProcessEnvironment environment; // empty: this process's own
    QProcess::ProcessChannelMode channels = QProcess::SeparateChannels;
    int startMs = -1;
    int finishMs = -1;
    QDeadlineTimer deadline{QDeadlineTimer::Forever};
    std::function<void(const QByteArray &outputSoFar)> onOutput;
    const std::atomic_bool *cancel = nullptr; // must outlive the run
};

// What became of one run. The outputs are the raw bytes the child wrote, also
// after a time-out; merged channels fill standardOutput only, forwarded
// channels neither.
struct ProcessRun
{
    bool started = false;  // it started within startMs
    bool finished = false; // it ended by itself within the limits
    bool crashed = false;  // it ended through a signal (finished is true)
    int exitCode = 0;      // as the process class reports it once finished
    QByteArray standardOutput;
    QByteArray standardError;

    // Started, finished in time, no crash and exit code 0.
    bool succeeded() const { return finished && !crashed && exitCode == 0; }
};

ProcessRun runProcess(const ProcessRequest &request);

// Child processes with time limits, each run through runProcess except the
// detached start of exeCommand. A command line is split into program and
// arguments at blanks, honouring double quotes; it is not given to a shell.
// A limit in milliseconds covers starting and finishing together. A run
// succeeds when the child started, finished in time, did not crash and
// returned 0. A child that outlives its limit is killed together with the
// processes it started, and reaped, before the call returns. Children read
// end-of-file on their standard input.

// True on success with output = standard output; otherwise false with
// output = standard error. Output is UTF-8 up to its first zero byte.
bool cmdExec(const QString &command, QString &output, int timeoutMs);
bool cmdExec(const QString &command, int timeoutMs);
// The same with each variable of environment appended with ":" to the value
// it has in this process, or set when it has none.
bool cmdExec(const QHash<QString, QString> &environment, const QString &command,
             QString &output, int timeoutMs);
bool cmdExec(const QHash<QString, QString> &environment, const QString &command, int timeoutMs);

// Runs the non-blank commands in order within one limit for the whole batch
// and stops at the first failure, whose standard error (Latin-1) is appended
// to errors. True when at least one command succeeded, also when a later one
// failed: callers that need all of them read errors.
bool cmdsExec(const QStringList &commands, QJsonArray &errors, int timeoutMs);
bool cmdsExec(const QStringList &commands, int timeoutMs);

// The first entry is the program, the rest its arguments, unsplit. Returns
// ERR_TIMEOUT (output unchanged) when the child did not start, ran out of
// time or crashed; else its exit code, with output = standard output for 0
// and standard error otherwise.
// A child still running when cancel (optional) turns true ends as after a
// time-out.
int cmdExecute(QString &output, const QStringList &programAndArguments, int timeoutMs,
               const std::atomic_bool *cancel = nullptr);

// Runs script with "/bin/bash -c" as the privileged user ("sudo"); result and
// output as cmdExec.
bool execBash(const QString &script, QString &output, int timeoutMs);
bool execBash(const QString &script, int timeoutMs);

// timeoutMs < 0: starts the command detached and returns 0 (62 when it could
// not be started). > 0: runs it with that limit; 62 when it did not start or
// finish in time, else the exit code. 0: runs it to its end; the exit code,
// -1 for a crash, -2 when it could not start. output receives the raw
// standard error for a failed run, else the raw standard output.
int exeCommand(const QString &command, int timeoutMs, QByteArray *output = nullptr);

// Program and arguments as one readable line; arguments with blanks quoted.
QString PROCESS_COMMAND(const QProcess &process);
// argument as one POSIX shell word in single quotes.
QString toShellArgEscaped(const QString &argument);
// Non-empty lines of captured output: Latin-1 up to the first zero byte,
// carriage returns removed, tabs made blanks; lines are not trimmed.
QStringList cmdOutputs(const QByteArray &output);
// Options ("-" first) paired with the entry after them; an option without a
// value gets the empty value, a value without an option is ignored.
QHash<QString, QString> cmdArguments(const QStringList &arguments);

#endif // ZX2UTILS_PROCESS_H
