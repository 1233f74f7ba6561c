#include "zx2http.h"

#include "zx2utils.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <thread>

const char *const kHttpFormContentType = "application/x-www-form-urlencoded; charset=UTF-8";
const char *const kHttpJsonContentType = "application/json";

namespace {

const int kMaxFollowUps = 10;
const char *const kUserAgent = "ZX2Http/1.0 (zxlib)";

QNetworkRequest makeRequest(QNetworkAccessManager::Operation operation, const QString &url,
                            const QByteArray &body, const QString &contentType,
                            const ZX2HttpHeaders &headers)
{
    QNetworkRequest request{QUrl(url)};
    if (url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) {
        // Appliances talk to peers with self-signed certificates; the protocol
        // range stays Qt's secure default.
        QSslConfiguration tls = request.sslConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls.setProtocol(QSsl::SecureProtocols);
        request.setSslConfiguration(tls);
    }
    if (operation == QNetworkAccessManager::GetOperation)
        request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(kUserAgent));
    if (operation == QNetworkAccessManager::PostOperation) {
        for (const auto &header : headers)
            request.setRawHeader(header.first, header.second);
        if (!contentType.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    }
    return request;
}

QNetworkReply *send(QNetworkAccessManager &manager, QNetworkAccessManager::Operation operation,
                    const QNetworkRequest &request, const QByteArray &body)
{
    switch (operation) {
    case QNetworkAccessManager::HeadOperation:
        return manager.head(request);
    case QNetworkAccessManager::PostOperation:
        return manager.post(request, body);
    default:
        return manager.get(request);
    }
}

ZX2HttpReply exchange(QNetworkAccessManager::Operation operation, const QString &url, int timeoutMs,
                      const QByteArray &body, const QString &contentType,
                      const ZX2HttpHeaders &headers)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = send(manager, operation,
                                makeRequest(operation, url, body, contentType, headers), body);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec();

    ZX2HttpReply result;
    result.body = reply->readAll();
    if (reply->isFinished()) {
        result.error = reply->error();
    } else {
        reply->abort();
        result.error = QNetworkReply::TimeoutError;
    }
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString location = QString::fromUtf8(reply->rawHeader("Location")).trimmed();
    if (!location.isEmpty())
        result.location = reply->url().resolved(QUrl(location)).toString();
    result.contentLength = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    result.lastModified = reply->header(QNetworkRequest::LastModifiedHeader).toDateTime();
    delete reply;
    return result;
}

bool followUp(const ZX2HttpReply &reply, ZX2HttpFollow follow)
{
    if (reply.location.isEmpty() || follow == ZX2HttpFollow::Never)
        return false;
    if (follow == ZX2HttpFollow::AnyLocation)
        return true;
    const int s = reply.status;
    return s == 301 || s == 302 || s == 303 || s == 307 || s == 308;
}

} // namespace

ZX2HttpReply httpRequest(QNetworkAccessManager::Operation operation, const QString &url,
                         int timeoutMs, ZX2HttpFollow follow, const QByteArray &body,
                         const QString &contentType, const ZX2HttpHeaders &headers)
{
    ZX2HttpReply reply = exchange(operation, url, timeoutMs, body, contentType, headers);
    for (int hops = 0; followUp(reply, follow); ++hops) {
        if (hops == kMaxFollowUps) {
            reply.error = QNetworkReply::TooManyRedirectsError;
            break;
        }
        reply = exchange(operation, reply.location, timeoutMs, body, contentType, headers);
    }
    return reply;
}

void httpHeadInfo(QJsonObject &info, const ZX2HttpReply &reply)
{
    QDateTime modified = reply.lastModified;
    modified.setTimeSpec(Qt::UTC);
    info.insert(QStringLiteral("contentlength"), double(reply.contentLength));
    info.insert(QStringLiteral("lastmodified"),
                modified.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

class ZX2HttpPrivate
{
public:
    // The outcome of a request: stores its error code, hands over the body.
    bool finish(const ZX2HttpReply &reply, QByteArray &body)
    {
        error = reply.error;
        if (error == QNetworkReply::NoError || error == QNetworkReply::TimeoutError)
            body = reply.body;
        return error == QNetworkReply::NoError;
    }
    bool post(QByteArray &reply, const QString &url, const QByteArray &body, const char *contentType)
    {
        return finish(httpRequest(QNetworkAccessManager::PostOperation, url, timeoutMs,
                                  ZX2HttpFollow::AnyLocation, body,
                                  QString::fromLatin1(contentType)),
                      reply);
    }

    int timeoutMs = 30000;
    int error = 0;
};

ZX2Http::ZX2Http(QObject *parent)
    : QObject(parent), d(new ZX2HttpPrivate)
{
}

ZX2Http::~ZX2Http()
{
    delete d;
}

int ZX2Http::timeout() const
{
    return d->timeoutMs;
}

void ZX2Http::setTimeout(int timeoutMs)
{
    d->timeoutMs = timeoutMs;
}

int ZX2Http::replyError() const
{
    return d->error;
}

QByteArray ZX2Http::post(QString url, QByteArray body)
{
    QByteArray reply;
    return post(reply, url, body) ? reply : QByteArray();
}

QByteArray ZX2Http::post(QString url, QJsonObject body)
{
    QByteArray reply;
    return post(reply, url, body) ? reply : QByteArray();
}

bool ZX2Http::post(QByteArray &reply, QString url, QByteArray body)
{
    return d->post(reply, url, body, kHttpFormContentType);
}

bool ZX2Http::post(QByteArray &reply, QString url, QJsonObject body)
{
    return d->post(reply, url, QJsonDocument(body).toJson(QJsonDocument::Compact),
                   kHttpJsonContentType);
}

bool ZX2Http::post(QJsonObject &reply, QString url, QJsonObject body, QByteArray *raw)
{
    QByteArray bytes;
    if (!post(bytes, url, body))
        return false;
    if (raw)
        *raw = bytes;
    return toJsonObject(reply, bytes);
}

void ZX2Http::posting(QString url, QJsonObject body)
{
    const int timeoutMs = d->timeoutMs;
    std::thread([url, body, timeoutMs] {
        ZX2Http http;
        http.setTimeout(timeoutMs);
        http.post(url, body);
    }).detach();
}

QByteArray ZX2Http::get(QString url)
{
    QByteArray reply;
    return get(reply, url) ? reply : QByteArray();
}

bool ZX2Http::get(QByteArray &reply, QString url)
{
    return d->finish(httpRequest(QNetworkAccessManager::GetOperation, url, d->timeoutMs,
                                 ZX2HttpFollow::RedirectStatus),
                     reply);
}

bool ZX2Http::get(QJsonObject &reply, QString url)
{
    QByteArray bytes;
    return get(bytes, url) && toJsonObject(reply, bytes);
}

bool ZX2Http::getHead(QString url, QJsonObject &info, QByteArray *raw)
{
    const ZX2HttpReply reply = httpRequest(QNetworkAccessManager::HeadOperation, url,
                                           d->timeoutMs, ZX2HttpFollow::Never);
    d->error = reply.error;
    if (d->error != QNetworkReply::NoError)
        return false;
    if (raw)
        *raw = reply.body;
    httpHeadInfo(info, reply);
    return true;
}

void ZX2Http::geting(QString url)
{
    // The request outlives the call on a thread of its own.
    const int timeoutMs = d->timeoutMs;
    std::thread([url, timeoutMs] {
        ZX2Http http;
        http.setTimeout(timeoutMs);
        http.get(url);
    }).detach();
}
