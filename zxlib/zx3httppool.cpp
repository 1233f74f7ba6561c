#include "zx3httppool.h"

#include "zx3http.h"

#include <QJsonDocument>
#include <QThreadPool>

class ZX3HttpPoolPrivate
{
public:
    QThreadPool threads;
    int timeoutSeconds = 30;
};

ZX3HttpPool::ZX3HttpPool(QObject *parent, int timeoutSeconds)
    : QObject(parent), d(new ZX3HttpPoolPrivate)
{
    d->timeoutSeconds = timeoutSeconds;
    d->threads.setMaxThreadCount(4);
}

ZX3HttpPool::~ZX3HttpPool()
{
    // Running requests emit through this object: let them end first.
    d->threads.clear();
    d->threads.waitForDone();
    delete d;
}

int ZX3HttpPool::timeout() const
{
    return d->timeoutSeconds;
}

void ZX3HttpPool::addPost(QString url, QJsonObject body, QJsonObject *userObject)
{
    addPost(url, QJsonDocument(body).toJson(QJsonDocument::Compact), userObject);
}

void ZX3HttpPool::addPost(QString url, QByteArray body, QJsonObject *userObject)
{
    d->threads.start(new ZX3Http(d->timeoutSeconds * 1000, ZX3Http::Post, url, body,
                                 userObject, this));
}

bool ZX3HttpPool::waitForDone(int msecs)
{
    return d->threads.waitForDone(msecs);
}
