#include "zx2core.h"

#include "zx2logger.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

class ZX2CorePrivate
{
public:
    ZX2CorePrivate();

    ZX2Logger logger;
    bool debugging = false;
    QJsonObject configuration;
    QDir appDir;
    QDir dataDir;
};

ZX2CorePrivate::ZX2CorePrivate()
    : appDir(QCoreApplication::applicationDirPath())
{
    const QString etc = appDir.absoluteFilePath(QStringLiteral("etc"));
    dataDir.setPath(QFileInfo::exists(etc)
                        ? etc
                        : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
}

ZX2Core::ZX2Core()
    : d(new ZX2CorePrivate)
{
}

ZX2Core::~ZX2Core()
{
    delete d;
}

ZX2Logger *ZX2Core::logger() const
{
    return &d->logger;
}

bool ZX2Core::debugging() const
{
    return d->debugging;
}

void ZX2Core::setDebugging(bool debugging)
{
    d->debugging = debugging;
}

QJsonObject ZX2Core::configuration() const
{
    return d->configuration;
}

void ZX2Core::setConfiguration(const QJsonObject &configuration)
{
    d->configuration = configuration;
}

QDir ZX2Core::appDir() const
{
    return d->appDir;
}

QDir ZX2Core::dataDir() const
{
    return d->dataDir;
}

void ZX2Core::setDataDir(const QDir &dataDir)
{
    d->dataDir = dataDir;
}
