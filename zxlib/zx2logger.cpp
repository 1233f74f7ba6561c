#include "zx2logger.h"

#include "zx2lfqueue.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMetaEnum>
#include <QMutex>
#include <QTextStream>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <thread>

class ZX2LoggerPrivate
{
public:
    static ZX2Logger *g_instance;
    static QList<ZX2Logger *> g_instances;

    QString filePath;
    qint64 maxSize = 10485760;
    int backupCount = 10;
    bool output = true;
    bool immediate = true;

    ZX2LFQueue<QByteArray> queue;
    std::atomic<bool> writerRunning{false};
    std::atomic<bool> writerStopped{false};

    // Guards the settings and serialises rotation and appends, so that
    // immediate writers and the writer thread never rotate at the same time.
    // Producers in queued mode do not take it.
    mutable QMutex fileMutex;

    template <typename T>
    T setting(const T &field) const
    {
        QMutexLocker locker(&fileMutex);
        return field;
    }

    template <typename T>
    void setSetting(T &field, const T &value)
    {
        QMutexLocker locker(&fileMutex);
        field = value;
    }

    // Writer threads still alive, so that destruction can wait for them.
    std::mutex threadsMutex;
    std::condition_variable threadsDone;
    int threads = 0;

    void writeLine(const QString &line);
    void appendNow(const QString &line);
    void pushLog(const QByteArray &line);
    void run();
    bool drain(const QString &path);
    void waitForWriters();
    bool needsRotation(qint64 size, qint64 length) const;
    void backupFile(const QString &path);
    void clean();
    QString backupName(const QString &path, int number) const;
};

ZX2Logger *ZX2LoggerPrivate::g_instance = nullptr;
QList<ZX2Logger *> ZX2LoggerPrivate::g_instances;

namespace {

bool ensureDirectory(const QString &path)
{
    const QDir dir = QFileInfo(path).absoluteDir();
    return dir.exists() || dir.mkpath(QStringLiteral("."));
}

void appendLine(QFile &file, const QString &line)
{
    QTextStream stream(&file);
    stream << line << '\n';
    stream.flush();
}

} // namespace

void ZX2LoggerPrivate::writeLine(const QString &line)
{
    QMutexLocker locker(&fileMutex);
    if (!output || filePath.isEmpty())
        return;
    if (immediate) {
        appendNow(line);
        return;
    }
    locker.unlock();
    pushLog(line.toUtf8());
}

// Called with fileMutex held.
void ZX2LoggerPrivate::appendNow(const QString &line)
{
    if (!ensureDirectory(filePath))
        return;
    if (needsRotation(QFileInfo(filePath).size(), line.toUtf8().size()))
        backupFile(filePath);
    QFile file(filePath);
    if (file.open(QIODevice::Append | QIODevice::Text))
        appendLine(file, line);
}

void ZX2LoggerPrivate::pushLog(const QByteArray &line)
{
    queue.enqueue(line);
    // Claiming the flag with one exchange lets exactly one pusher start a writer.
    if (writerRunning.exchange(true))
        return;
    {
        std::lock_guard<std::mutex> lock(threadsMutex);
        ++threads;
    }
    std::thread([this] {
        run();
        std::lock_guard<std::mutex> lock(threadsMutex);
        if (--threads == 0)
            threadsDone.notify_all();
    }).detach();
}

// The writer thread; it owns the running flag on entry.
void ZX2LoggerPrivate::run()
{
    writerStopped = false;
    QString path;
    {
        QMutexLocker locker(&fileMutex);
        path = filePath;
    }
    for (;;) {
        if (!drain(path))
            writerStopped = true;
        writerRunning = false;
        // A line pushed after the drain but before the flag was cleared found
        // the flag set and started no writer: take the flag back for it,
        // unless a new pusher already did.
        if (writerStopped || queue.isEmpty() || writerRunning.exchange(true))
            return;
        // The lines counted may still be in the middle of being linked.
        QThread::yieldCurrentThread();
    }
}

// Writes queued lines until the queue is empty (true) or the file cannot be
// written (false; the line at hand is lost, the ones behind it stay queued).
bool ZX2LoggerPrivate::drain(const QString &path)
{
    QFile file(path);
    qint64 size = QFileInfo(path).size();
    QByteArray line;
    while (queue.dequeue(line)) {
        QMutexLocker locker(&fileMutex);
        if (!ensureDirectory(path))
            return false;
        if (needsRotation(size, line.size())) {
            file.close();
            backupFile(path);
            size = 0;
        }
        if (!file.isOpen()) {
            if (!file.open(QIODevice::Append | QIODevice::Text))
                return false;
            size = file.size();
        }
        appendLine(file, QString::fromUtf8(line));
        size += line.size() + 1;
    }
    return true;
}

void ZX2LoggerPrivate::waitForWriters()
{
    std::unique_lock<std::mutex> lock(threadsMutex);
    threadsDone.wait(lock, [this] { return threads == 0; });
}

// An empty or missing log is never rotated: that would only push the oldest
// backup out for nothing.
bool ZX2LoggerPrivate::needsRotation(qint64 size, qint64 length) const
{
    return maxSize > 0 && size > 0 && size + length > maxSize;
}

// Called with fileMutex held and the log file closed.
void ZX2LoggerPrivate::backupFile(const QString &path)
{
    if (backupCount < 1)
        backupCount = 1;
    for (int n = 1; n <= backupCount; ++n) {
        if (!QFile::exists(backupName(path, n))) {
            QFile::rename(path, backupName(path, n));
            return;
        }
    }
    QFile::remove(backupName(path, 1));
    for (int n = 2; n <= backupCount; ++n)
        QFile::rename(backupName(path, n), backupName(path, n - 1));
    QFile::rename(path, backupName(path, backupCount));
}

void ZX2LoggerPrivate::clean()
{
    QMutexLocker locker(&fileMutex);
    if (filePath.isEmpty())
        return;
    QFile::remove(filePath);
    for (int n = 1; n <= backupCount; ++n)
        QFile::remove(backupName(filePath, n));
}

QString ZX2LoggerPrivate::backupName(const QString &path, int number) const
{
    const QFileInfo info(path);
    return info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('.')
           + QString::number(number) + QLatin1Char('.') + info.suffix();
}

ZX2Logger::ZX2Logger()
    : d(new ZX2LoggerPrivate)
{
    ZX2LoggerPrivate::g_instance = this;
    ZX2LoggerPrivate::g_instances.append(this);
}

ZX2Logger::~ZX2Logger()
{
    ZX2LoggerPrivate::g_instances.removeAll(this);
    // Another logger chosen with setCurrentInstance() stays current.
    if (ZX2LoggerPrivate::g_instance == this)
        ZX2LoggerPrivate::g_instance =
            ZX2LoggerPrivate::g_instances.isEmpty() ? nullptr : ZX2LoggerPrivate::g_instances.last();
    d->waitForWriters();
    delete d;
}

ZX2Logger *ZX2Logger::i()
{
    return ZX2LoggerPrivate::g_instance;
}

void ZX2Logger::setCurrentInstance()
{
    ZX2LoggerPrivate::g_instance = this;
}

QString ZX2Logger::filePath() const
{
    return d->setting(d->filePath);
}

void ZX2Logger::setFilePath(const QString &filePath)
{
    d->setSetting(d->filePath, filePath);
}

qint64 ZX2Logger::maxSize() const
{
    return d->setting(d->maxSize);
}

void ZX2Logger::setMaxSize(qint64 maxSize)
{
    d->setSetting(d->maxSize, maxSize);
}

bool ZX2Logger::output() const
{
    return d->setting(d->output);
}

void ZX2Logger::setOutput(bool output)
{
    d->setSetting(d->output, output);
}

bool ZX2Logger::immediate() const
{
    return d->setting(d->immediate);
}

void ZX2Logger::setImmediate(bool immediate)
{
    d->setSetting(d->immediate, immediate);
}

void ZX2Logger::clean()
{
    d->clean();
}

QString ZX2Logger::write(int level, const QString &tag, const QString &subtag, int line,
                         QString format, ...)
{
    va_list args;
    va_start(args, format);
    const QString message = QString::vasprintf(format.toUtf8().constData(), args);
    va_end(args);

    QString text = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    text += QLatin1String(QMetaEnum::fromType<LogLevel>().valueToKey(level));
    if (!tag.isEmpty())
        text += QLatin1Char(' ') + tag;
    if (!subtag.isEmpty())
        text += QLatin1Char(' ') + subtag;
    if (line > 0)
        text += QLatin1String(" #") + QString::number(line);
    text += QLatin1Char(' ') + message;
    text = text.trimmed();
    d->writeLine(text);
    return text;
}
