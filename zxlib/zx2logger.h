#ifndef ZX2LOGGER_H
#define ZX2LOGGER_H

#include <QObject>
#include <QString>

class ZX2LoggerPrivate;

// Leveled log lines in a text file with size-based rotation into numbered
// backups (app.log -> app.1.log ... app.10.log, 1 the oldest). A line is
// appended by the calling thread (immediate mode, the default) or queued for a
// writer thread that the logger starts on demand and that ends when the queue
// is empty. Nothing is written until a file path is set. Failures are silent:
// write() always returns the line.
class ZX2Logger : public QObject
{
    Q_OBJECT
public:
    enum LogLevel {
        Trace = 0,
        Debug = 1,
        Info = 2,
        Warn = 3,
        Error = 4,
        Fatal = 5,
        MemTrace = 11,
        Script = 12,
        DB = 13
    };
    Q_ENUM(LogLevel)

    // Becomes the current instance.
    ZX2Logger();
    // Waits for a running writer thread, which writes the lines queued so far.
    // When it is the current instance, the most recently created remaining
    // logger becomes current.
    ~ZX2Logger() override;

    static ZX2Logger *i();
    void setCurrentInstance();

    QString filePath() const;
    void setFilePath(const QString &filePath);
    // Rotation threshold in bytes; 0 or less never rotates.
    qint64 maxSize() const;
    void setMaxSize(qint64 maxSize);
    // False suppresses all file output.
    bool output() const;
    void setOutput(bool output);
    // False hands lines to the writer thread.
    bool immediate() const;
    void setImmediate(bool immediate);

    // Removes the log file and all its backups.
    void clean();

    // "yyyy-MM-dd HH:mm:ss Level tag subtag #line message", trimmed; the
    // message is format filled in by printf rules.
    QString write(int level, const QString &tag, const QString &subtag, int line,
                  QString format, ...);

private:
    friend class ZX2LoggerPrivate;
    ZX2LoggerPrivate *const d;
    Q_DISABLE_COPY(ZX2Logger)
};

#endif // ZX2LOGGER_H
