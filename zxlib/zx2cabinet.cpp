#include "zx2cabinet.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

class ZX2CabinetPrivate
{
public:
    bool local = false;
    mutable QMutex objectLock;
    QJsonObject object;
    mutable QMutex storeLock;
    QHash<QString, QJsonValue> store;
    QString token;
};

ZX2Cabinet::ZX2Cabinet()
    : d(new ZX2CabinetPrivate)
{
}

ZX2Cabinet::~ZX2Cabinet()
{
    delete d;
}

bool ZX2Cabinet::isLocal() const
{
    return d->local;
}

void ZX2Cabinet::setLocal(bool local)
{
    d->local = local;
}

QString ZX2Cabinet::token() const
{
    return d->token;
}

void ZX2Cabinet::setToken(QString token)
{
    d->token = token;
}

void ZX2Cabinet::insert(QString key, QJsonValue value)
{
    QMutexLocker locker(&d->objectLock);
    d->object.insert(key, value);
}

QJsonValue ZX2Cabinet::value(QString key) const
{
    QMutexLocker locker(&d->objectLock);
    return d->object.value(key);
}

QJsonObject ZX2Cabinet::object() const
{
    QMutexLocker locker(&d->objectLock);
    return d->object;
}

void ZX2Cabinet::set(QString key, QJsonValue value)
{
    QMutexLocker locker(&d->storeLock);
    d->store.insert(key, value);
}

bool ZX2Cabinet::get(QString key, QJsonValue &value) const
{
    QMutexLocker locker(&d->storeLock);
    const auto it = d->store.constFind(key);
    if (it == d->store.constEnd())
        return false;
    value = it.value();
    return true;
}

QString ZX2Cabinet::getString(QString key) const
{
    QMutexLocker locker(&d->storeLock);
    return d->store.value(key).toString();
}

bool ZX2Cabinet::contains(QString key) const
{
    QMutexLocker locker(&d->storeLock);
    return d->store.contains(key);
}

void ZX2Cabinet::remove(QString key)
{
    QMutexLocker locker(&d->storeLock);
    d->store.remove(key);
}

QStringList ZX2Cabinet::keys() const
{
    QMutexLocker locker(&d->storeLock);
    return d->store.keys();
}

void ZX2Cabinet::clear()
{
    QMutexLocker locker(&d->storeLock);
    d->store.clear();
}
