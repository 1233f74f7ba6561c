#include "zx2utils_trace.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Constant-initialised: usable from static constructors of other modules.
QBasicMutex printMutex;

void writeOut(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

void writeLine(const QString &text)
{
    writeOut(text + QLatin1Char('\n'));
    fflush(stdout);
}

QString indentedJson(const QJsonDocument &document)
{
    return QString::fromUtf8(document.toJson(QJsonDocument::Indented).constData());
}

QString timeStamp(const char *format)
{
    return QTime::currentTime().toString(QLatin1String(format));
}

} // namespace

QBasicMutex *PRINTMUTEX()
{
    return &printMutex;
}

QString toPrintString(const QVariant &value)
{
    const QByteArray type = value.typeName();
    if (type == "QJsonValue") {
        const QJsonValue json = value.toJsonValue();
        if (json.isObject())
            return indentedJson(QJsonDocument(json.toObject()));
        if (json.isArray())
            return indentedJson(QJsonDocument(json.toArray()));
        return json.toString();
    }
    if (type == "QJsonObject")
        return indentedJson(QJsonDocument(value.toJsonObject()));
    if (type == "QJsonArray")
        return indentedJson(QJsonDocument(value.toJsonArray()));
    if (type == "QStringList")
        return QLatin1String("QStringList(") + value.toStringList().join(QLatin1String("; "))
               + QLatin1Char(')');
    if (type == "QRect") {
        const QRect r = value.toRect();
        return QStringLiteral("QRect(%1, %2, %3, %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    if (type == "QSize") {
        const QSize s = value.toSize();
        return QStringLiteral("QSize(%1, %2)").arg(s.width()).arg(s.height());
    }
    if (type == "QPoint") {
        const QPoint p = value.toPoint();
        return QStringLiteral("QPoint(%1, %2)").arg(p.x()).arg(p.y());
    }
    if (type == "QByteArray")
        return QString::fromLatin1(value.toByteArray().constData());
    return value.toString();
}

void PRINT(const char *text)
{
    writeOut(QString::fromUtf8(text));
}

void PRINT(const QVariant &value)
{
    writeOut(toPrintString(value));
}

void PRINTLN(const QVariant &value)
{
    writeLine(toPrintString(value));
}

void PRINTLN(const QList<QString> &items)
{
    PRINTLN(QVariant(QStringList(items).join(QLatin1String("; "))));
}

void PRINTLN(const QList<int> &numbers)
{
    QStringList texts;
    for (int n : numbers)
        texts << QString::number(n);
    writeLine(QLatin1String("int(") + texts.join(QLatin1Char(',')) + QLatin1Char(')'));
}

void PRINTLN(const QList<QJsonObject> &objects)
{
    QJsonArray array;
    for (const QJsonObject &object : objects)
        array.append(object);
    writeLine(indentedJson(QJsonDocument(array)));
}

void PRINTPOS(const char *file, int line, const char *function)
{
    QString name = QString::fromLocal8Bit(file);
    const int cut = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    name = name.mid(cut + 1);
    writeOut(QLatin1String(">>-->") + timeStamp("HH:mm:ss.zzz ") + name + QLatin1Char('#')
             + QString::number(line) + QLatin1String(" => ") + QString::fromLatin1(function)
             + QLatin1String(": "));
}

void PRINTNAME(const QVariant &name)
{
    const QString text = name.toString();
    writeOut(text.isEmpty() ? QStringLiteral("~~ ~~ ~~") : text + QLatin1String(" = "));
}

void PRINTLN_WITHTIME(const QVariant &value)
{
    writeLine(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "))
              + toPrintString(value));
}

void PRINTLN_WITHTIMEPOS(const QVariant &value, const char *file, int line, const char *function)
{
    QString text = timeStamp("HH:mm:ss.zzz ");
    const QString path = QString::fromLocal8Bit(file);
    text += path.mid(path.lastIndexOf(QDir::separator()) + 1);
    if (line > 0)
        text += QLatin1Char('#') + QString::number(line);
    if (function && *function)
        text += QLatin1String("=>") + QString::fromLatin1(function);
    writeLine(text + QLatin1String(": ") + toPrintString(value));
}

void TRACELN(const QVariant &value)
{
    writeOut(timeStamp("HH:mm:ss.zzz ") + toPrintString(value));
}

namespace {

// Whether standard output is the journal's stream: systemd names it in
// JOURNAL_STREAM as "device:inode"; children that inherit the variable but
// write elsewhere are not.
bool toJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat info{};
    if (stream.isEmpty() || ::fstat(STDOUT_FILENO, &info) != 0)
        return false;
    return stream == QByteArray::number(quint64(info.st_dev)) + ':' + QByteArray::number(quint64(info.st_ino));
}

} // namespace

void ZX2StatePrintln(int state, const QString &text)
{
    struct Row { const char *tagColour; const char *tag; const char *after; const char *priority; };
    static const Row kRows[] = {
        {"\x1b[1m\x1b[32m", "SUCCEED", "\x1b[0m", "<6>"},
        {"\x1b[1m\x1b[37m", "IGNORE ", "\x1b[0m", "<6>"},
        {"\x1b[1m\x1b[33m", "WARNING", "\x1b[33m", "<4>"},
        {"\x1b[1m\x1b[35m", "NOT CFG", "\x1b[1m\x1b[30m", "<5>"},
        {"\x1b[1m\x1b[31m", "FAILED ", "\x1b[0m", "<3>"},
    };
    static const Row kOthers = {"\x1b[35m", "OTHERS ", "\x1b[0m", "<6>"};
    const Row &row = (state >= 0 && state < 5) ? kRows[state] : kOthers;
    // A journal or a pipe would keep the escape sequences as text; the
    // journal reads a line's priority from a "<N>" in front (systemd names
    // the stream it connected in JOURNAL_STREAM).
    if (!::isatty(STDOUT_FILENO)) {
        const QString priority = toJournal() ? QLatin1String(row.priority) : QString();
        writeLine(priority + QLatin1Char('[') + QLatin1String(row.tag) + QLatin1String("] ") + text);
        return;
    }
    writeLine(QLatin1String("\x1b[1m\x1b[30m[") + QLatin1String(row.tagColour)
              + QLatin1String(row.tag) + QLatin1String("\x1b[1m\x1b[30m] ")
              + QLatin1String(row.after) + text + QLatin1String("\x1b[0m"));
}

QString PRETTY(const char *prettyFunction, int line)
{
    QString name = QString::fromLatin1(prettyFunction);
    const int paren = name.indexOf(QLatin1Char('('));
    if (paren > 0)
        name.truncate(paren);
    const int blank = name.lastIndexOf(QLatin1Char(' '));
    if (blank > 0)
        name = name.mid(blank + 1);
    if (line > 0)
        name += QLatin1Char('#') + QString::number(line);
    return name;
}

const char *MyClassName(const char *typeName)
{
    if (!typeName || !*typeName)
        return typeName;
    const char *p = typeName + 1;
    while (*p >= '0' && *p <= '9')
        ++p;
    return p;
}

QString currentThreadId()
{
    std::ostringstream out;
    out << std::this_thread::get_id();
    return QString::fromStdString(out.str());
}

qint64 cpuElapsedSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
