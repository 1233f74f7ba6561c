#include "zx3http.h"

#include "zx2utils.h"
#include "zx3httppool.h"

#include <QJsonDocument>
#include <QNetworkReply>

class ZX3HttpPrivate
{
public:
    // Reports the reply's error code; true exactly without an error.
    static bool finish(const ZX2HttpReply &reply, int *error)
    {
        if (error)
            *error = reply.error;
        return reply.error == QNetworkReply::NoError;
    }

    int timeoutMs = 30000;
    int method = ZX3Http::Get;
    QString url;
    QByteArray body;
    bool hasUserObject = false;
    QJsonObject userObject;
    ZX3HttpPool *pool = nullptr;
};

ZX3Http::ZX3Http(int timeoutMs, int method, QString url, QByteArray body,
                 const QJsonObject *userObject, ZX3HttpPool *pool)
    : d(new ZX3HttpPrivate)
{
    d->timeoutMs = timeoutMs;
    d->method = method;
    d->url = url;
    d->body = body;
    d->hasUserObject = userObject != nullptr;
    if (userObject)
        d->userObject = *userObject;
    d->pool = pool;
}

ZX3Http::~ZX3Http()
{
    delete d;
}

int ZX3Http::timeout() const
{
    return d->timeoutMs;
}

void ZX3Http::run()
{
    QByteArray reply;
    const bool ok = d->method == Get ? get(reply, d->url) : post(reply, d->url, d->body);
    if (ok && d->hasUserObject && d->pool)
        emit d->pool->onRespond(d->userObject, reply);
}

bool ZX3Http::get(QByteArray &reply, QString url, int *error)
{
    const ZX2HttpReply r = httpRequest(QNetworkAccessManager::GetOperation, url, d->timeoutMs,
                                       ZX2HttpFollow::AnyLocation);
    if (!ZX3HttpPrivate::finish(r, error))
        return false;
    reply = r.body;
    return true;
}

bool ZX3Http::post(QByteArray &reply, QString url, QByteArray body, int *error,
                   QString contentType, ZX2HttpHeaders headers)
{
    const ZX2HttpReply r = httpRequest(QNetworkAccessManager::PostOperation, url, d->timeoutMs,
                                       ZX2HttpFollow::AnyLocation, body, contentType, headers);
    if (!ZX3HttpPrivate::finish(r, error))
        return false;
    reply = r.body;
    return true;
}

bool ZX3Http::post(QJsonObject &reply, QString url, QJsonObject body, QByteArray *raw)
{
    QByteArray bytes;
    if (!post(bytes, url, QJsonDocument(body).toJson(QJsonDocument::Compact), nullptr,
              QString::fromLatin1(kHttpJsonContentType)))
        return false;
    if (raw)
        *raw = bytes;
    return toJsonObject(reply, bytes);
}

bool ZX3Http::getHead(QJsonObject &info, QString url, int *error, QByteArray *raw)
{
    const ZX2HttpReply r = httpRequest(QNetworkAccessManager::HeadOperation, url, d->timeoutMs,
                                       ZX2HttpFollow::AnyLocation);
    if (!ZX3HttpPrivate::finish(r, error))
        return false;
    if (raw)
        *raw = r.body;
    httpHeadInfo(info, r);
    return true;
}
