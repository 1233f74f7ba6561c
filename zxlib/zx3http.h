#ifndef ZX3HTTP_H
#define ZX3HTTP_H

#include "zx2http.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QRunnable>
#include <QString>

class ZX3HttpPool;
class ZX3HttpPrivate;

// One HTTP request run on a thread pool (see ZX3HttpPool), and blocking
// request operations usable on their own. Every operation follows a non-empty
// "Location" header of a reply with the same request, and reports the final
// reply's QNetworkReply error code through *error* when given.
class ZX3Http : public QObject, public QRunnable
{
    Q_OBJECT
public:
    enum Method { Post = 1, Get = 2 }; // any method other than Get is a POST

    // userObject, when given, is copied; run() then reports a successful
    // reply through pool's onRespond.
    explicit ZX3Http(int timeoutMs = 30000, int method = Get, QString url = QString(),
                     QByteArray body = QByteArray(), const QJsonObject *userObject = nullptr,
                     ZX3HttpPool *pool = nullptr);
    ~ZX3Http() override;

    int timeout() const; // milliseconds

    // A GET of the URL, or a form POST of the body without extra headers.
    void run() override;

    bool get(QByteArray &reply, QString url, int *error = nullptr);
    bool post(QByteArray &reply, QString url, QByteArray body, int *error = nullptr,
              QString contentType = QString::fromLatin1(kHttpFormContentType),
              ZX2HttpHeaders headers = ZX2HttpHeaders());
    // JSON POST whose reply must be a JSON object; *raw* gets the reply bytes
    // whenever the POST succeeded.
    bool post(QJsonObject &reply, QString url, QJsonObject body, QByteArray *raw = nullptr);
    // HEAD: info gets "contentlength" and "lastmodified"; raw gets the body.
    bool getHead(QJsonObject &info, QString url, int *error = nullptr, QByteArray *raw = nullptr);

private:
    friend class ZX3HttpPrivate;
    ZX3HttpPrivate *const d;
    Q_DISABLE_COPY(ZX3Http)
};

#endif // ZX3HTTP_H
