#ifndef ZX2UTILS_TRACE_H
#define ZX2UTILS_TRACE_H

#include <QBasicMutex>
#include <QJsonObject>
#include <QList>
#include <QMutexLocker>
#include <QString>
#include <QVariant>

// Console tracing: diagnostic text on standard output, converted to the local
// 8-bit encoding when written. Nothing here takes a lock except PRINTVAR, so
// plain calls from several threads may interleave. Functions whose name ends
// in LN end the line and flush; the others do neither.

// The process-wide console print mutex (non-recursive, statically initialised).
QBasicMutex *PRINTMUTEX();

void PRINT(const char *text);
void PRINT(const QVariant &value);
void PRINTLN(const QVariant &value);
// The items joined by "; ".
void PRINTLN(const QList<QString> &items);
// "int(1,2,3)".
void PRINTLN(const QList<int> &numbers);
// The objects as one indented JSON array.
void PRINTLN(const QList<QJsonObject> &objects);

// ">>-->" time, base name of file, "#" line, " => " function, ": ".
void PRINTPOS(const char *file, int line, const char *function);
// The name followed by " = "; "~~ ~~ ~~" alone for an empty name.
void PRINTNAME(const QVariant &name);
// The rendering of a value as PRINT writes it.
QString toPrintString(const QVariant &value);
void PRINTLN_WITHTIME(const QVariant &value);
void PRINTLN_WITHTIMEPOS(const QVariant &value, const char *file, int line, const char *function);
// Time stamp and value, without a line feed.
void TRACELN(const QVariant &value);
// A status line: 0 succeeded, 1 ignored, 2 warning, 3 not configured,
// 4 failed, any other value "others". Coloured only when standard output is a
// terminal; elsewhere (the journal, a pipe, a file) plain "[TAG    ] text".
void ZX2StatePrintln(int state, const QString &text);

// "Class::method#line" from a compiler's pretty function signature.
QString PRETTY(const char *prettyFunction, int line);
// The class name inside a compiler type name such as "7AppData".
const char *MyClassName(const char *typeName);
QString currentThreadId();
// Wall-clock seconds since the Unix epoch.
qint64 cpuElapsedSeconds();

namespace zx2trace {
// Lets PRINTVAR() without an expression print an empty value.
inline QVariant printedValue() { return QVariant(); }
template <typename T>
inline const T &printedValue(const T &value) { return value; }
}

// One whole trace record (position, expression text, value) under the console
// print mutex. The expression is evaluated while the mutex is held, so it must
// not reach another PRINTVAR.
#define PRINTVAR(...)                                                         \
    do {                                                                      \
        QMutexLocker printVarLocker(PRINTMUTEX());                            \
        PRINTPOS(__FILE__, __LINE__, __func__);                               \
        PRINTNAME(QVariant(QStringLiteral(#__VA_ARGS__)));                    \
        PRINTLN(zx2trace::printedValue(__VA_ARGS__));                         \
    } while (false)

#endif // ZX2UTILS_TRACE_H
