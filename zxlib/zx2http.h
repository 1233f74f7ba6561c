#ifndef ZX2HTTP_H
#define ZX2HTTP_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QString>

// Extra raw request headers, sent in this order.
using ZX2HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// Content types of the framework's POST requests.
extern const char *const kHttpFormContentType; // "application/x-www-form-urlencoded; charset=UTF-8"
extern const char *const kHttpJsonContentType; // "application/json"

// Which replies' "Location" header a request follows with a new request.
enum class ZX2HttpFollow { Never, AnyLocation, RedirectStatus };

// The outcome of one blocking request made with httpRequest().
struct ZX2HttpReply
{
    int error = 0;          // QNetworkReply::NetworkError; TimeoutError when the time limit cut it off
    int status = 0;         // HTTP status code, 0 without one
    QByteArray body;        // the reply body; what had arrived when the time limit cut it off
    QString location;       // the "Location" header, trimmed, resolved against the request URL
    qint64 contentLength = 0;
    QDateTime lastModified; // invalid without the header
};

// One blocking request of the Qt-based clients: its own network access manager
// and event loop, so no running event loop of the caller is needed. https URLs
// are not verified against the peer's certificate; GET requests carry a fixed
// User-Agent; a POST carries the headers, the content type (when not empty) and
// the content length. A reply still running at the time limit is read as far
// as it has arrived, aborted and reported as QNetworkReply::TimeoutError.
// The "Location" header is followed as *follow* says, at most 10 times in a row
// (then QNetworkReply::TooManyRedirectsError); the last reply is returned.
ZX2HttpReply httpRequest(QNetworkAccessManager::Operation operation, const QString &url, int timeoutMs,
                         ZX2HttpFollow follow, const QByteArray &body = QByteArray(),
                         const QString &contentType = QString(),
                         const ZX2HttpHeaders &headers = ZX2HttpHeaders());

// Puts "contentlength" and "lastmodified" (the header taken as UTC, in local
// time, "yyyy-MM-dd HH:mm:ss") of a HEAD reply into *info*.
void httpHeadInfo(QJsonObject &info, const ZX2HttpReply &reply);

class ZX2HttpPrivate;

// A blocking HTTP client: every call waits for its reply or its time limit.
// The operations returning bool are true exactly when the final reply has no
// error; replyError() gives that reply's QNetworkReply error code. After a
// time-out the bool operations hand over what had arrived and return false.
class ZX2Http : public QObject
{
    Q_OBJECT
public:
    explicit ZX2Http(QObject *parent = nullptr);
    ~ZX2Http() override;

    int timeout() const; // milliseconds, 30000 at first
    void setTimeout(int timeoutMs);
    int replyError() const;

    // POSTs follow any "Location" header of the reply with the same POST.
    QByteArray post(QString url, QByteArray body);
    QByteArray post(QString url, QJsonObject body);
    bool post(QByteArray &reply, QString url, QByteArray body);
    bool post(QByteArray &reply, QString url, QJsonObject body);
    // The reply must be a JSON object; *raw* gets the reply bytes whenever the POST succeeded.
    bool post(QJsonObject &reply, QString url, QJsonObject body, QByteArray *raw = nullptr);
    // The JSON POST on a thread of its own; its result is dropped.
    void posting(QString url, QJsonObject body);

    // GETs follow redirects (3xx replies with a "Location" header).
    QByteArray get(QString url);
    bool get(QByteArray &reply, QString url);
    bool get(QJsonObject &reply, QString url); // the reply must be a JSON object
    // HEAD: info gets "contentlength" and "lastmodified"; raw gets the body.
    bool getHead(QString url, QJsonObject &info, QByteArray *raw = nullptr);
    // The GET on a thread of its own; its result is dropped.
    void geting(QString url);

private:
    friend class ZX2HttpPrivate;
    ZX2HttpPrivate *const d;
    Q_DISABLE_COPY(ZX2Http)
};

#endif // ZX2HTTP_H
