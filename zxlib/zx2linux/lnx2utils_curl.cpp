#include "lnx2utils_curl.h"

#include "zx2utils.h"

#include <QFile>
#include <QJsonDocument>

#include <curl/curl.h>

#include <memory>
#include <thread>

namespace {

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using CurlHeaders = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// curl_global_init is not thread-safe: run it once, before the first handle.
CurlHandle newHandle()
{
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    CurlHandle handle(ready ? curl_easy_init() : nullptr, &curl_easy_cleanup);
    if (handle) // time limits must not use signals in a threaded process
        curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
    return handle;
}

size_t appendBytes(char *data, size_t size, size_t count, void *target)
{
    static_cast<QByteArray *>(target)->append(data, int(size * count));
    return size * count;
}

struct DownloadTarget
{
    QFile *file;
    const std::function<bool(qint64)> &callback;
};

// A short write or a refusing callback returns less than given, which aborts.
size_t writeFile(char *data, size_t size, size_t count, void *target)
{
    auto *download = static_cast<DownloadTarget *>(target);
    const qint64 length = qint64(size * count);
    if (download->file->write(data, length) != length)
        return 0;
    if (download->callback && !download->callback(length))
        return 0;
    return size * count;
}

bool download(const QString &url, const QString &filePath,
              const std::function<bool(qint64)> &callback, int timeoutSeconds)
{
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    CurlHandle handle = newHandle();
    if (!handle)
        return false;
    CURL *h = handle.get();
    CurlHeaders headers(curl_slist_append(nullptr, "User-Agent: Mozilla/5.0 (Windows NT 10.0; "
                                                   "WOW64; Trident/7.0; rv:11.0) like Gecko"),
                        &curl_slist_free_all);
    DownloadTarget target{&file, callback};
    const QByteArray address = url.toUtf8();
    curl_easy_setopt(h, CURLOPT_URL, address.constData());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, long(timeoutSeconds));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, long(timeoutSeconds));
    // An error page is no download.
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &writeFile);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &target);
    return curl_easy_perform(h) == CURLE_OK;
}

} // namespace

bool curlHttpGet(QByteArray &reply, QString url, int timeoutSeconds)
{
    CurlHandle handle = newHandle();
    if (!handle)
        return false;
    CURL *h = handle.get();
    QByteArray body;
    const QByteArray address = url.toUtf8();
    curl_easy_setopt(h, CURLOPT_URL, address.constData());
    curl_easy_setopt(h, CURLOPT_TIMEOUT, long(timeoutSeconds));
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendBytes);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(h) != CURLE_OK)
        return false;
    reply = body;
    return true;
}

bool curlHttpGet(QJsonObject &reply, QString url, int timeoutSeconds)
{
    QByteArray body;
    return curlHttpGet(body, url, timeoutSeconds) && toJsonObject(reply, body);
}

void curlHttpGet(QString url, int timeoutSeconds)
{
    std::thread([url, timeoutSeconds] {
        QByteArray reply;
        curlHttpGet(reply, url, timeoutSeconds);
    }).detach();
}

bool curlHttpPost(QJsonObject &reply, QString url, QJsonObject body, QByteArray *raw)
{
    CurlHandle handle = newHandle();
    if (!handle)
        return false;
    CURL *h = handle.get();
    CurlHeaders headers(curl_slist_append(nullptr, "Content-Type:application/json"),
                        &curl_slist_free_all);
    const QByteArray address = url.toUtf8();
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    QByteArray answer;
    curl_easy_setopt(h, CURLOPT_URL, address.constData());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(json.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, json.constData());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendBytes);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer);
    if (curl_easy_perform(h) != CURLE_OK)
        return false;
    const int headEnd = answer.indexOf("\r\n\r\n");
    if (headEnd > 0)
        answer.remove(0, headEnd + 4);
    if (raw)
        *raw = answer;
    return toJsonObject(reply, answer);
}

void curlHttpPost(QString url, QJsonObject body)
{
    std::thread([url, body] {
        QJsonObject reply;
        curlHttpPost(reply, url, body);
    }).detach();
}

bool curlHttpDownload(QString url, QString filePath, int timeoutSeconds)
{
    return download(url, filePath, nullptr, timeoutSeconds);
}

bool curlHttpDownloading(QString url, QString filePath, std::function<bool(qint64)> callback,
                         int timeoutSeconds)
{
    return download(url, filePath, callback, timeoutSeconds);
}
