#ifndef ZX2CORE_H
#define ZX2CORE_H

#include <QDir>
#include <QJsonObject>
#include <QtGlobal>

class ZX2Logger;
class ZX2CorePrivate;

// The base of a program's single application object: the process's file
// logger, the debugging switch, the parsed configuration and the program's
// directories. The core application must exist before a ZX2Core is built,
// since the directories are taken from it.
class ZX2Core
{
public:
    ZX2Core();
    virtual ~ZX2Core();

    // Constructing the core makes this logger the current logger instance.
    ZX2Logger *logger() const;

    bool debugging() const;
    void setDebugging(bool debugging);

    QJsonObject configuration() const;
    void setConfiguration(const QJsonObject &configuration);

    // The directory that holds the executable.
    QDir appDir() const;

    // The directory of the configuration file: "etc" beside the executable
    // when anything exists there, otherwise the platform's writable
    // application-data location, until a subclass sets its own.
    QDir dataDir() const;
    void setDataDir(const QDir &dataDir);

private:
    Q_DISABLE_COPY(ZX2Core)
    friend class ZX2CorePrivate;
    ZX2CorePrivate *const d;   // created by the constructor, deleted by the destructor
};

#endif // ZX2CORE_H
