#ifndef LNX2UTILS_CURL_H
#define LNX2UTILS_CURL_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

// HTTP transfers over libcurl, one easy handle per call. The results are true
// when the transfer succeeded.

// GET accepting gzip encoding, with a total time limit in seconds.
bool curlHttpGet(QByteArray &reply, QString url, int timeoutSeconds);
// The body must be JSON text whose top level is an object.
bool curlHttpGet(QJsonObject &reply, QString url, int timeoutSeconds);
// The GET on a thread of its own; its result is dropped.
void curlHttpGet(QString url, int timeoutSeconds);

// POST of the compact JSON text of body, without a time limit. A reply holding
// "\r\n\r\n" after its first byte is cut after the first such sequence; the
// rest must be a JSON object. *raw* gets the (cut) reply after any successful
// transfer.
bool curlHttpPost(QJsonObject &reply, QString url, QJsonObject body, QByteArray *raw = nullptr);
// The POST on a thread of its own; its result is dropped.
void curlHttpPost(QString url, QJsonObject body);

// Downloads into filePath (truncated first), with timeoutSeconds as connect
// and as total time limit; the peer is not verified. An HTTP error status
// (400 and above) fails the download.
bool curlHttpDownload(QString url, QString filePath, int timeoutSeconds);
// The same, calling callback with the byte count of every piece written; the
// transfer is aborted (and fails) when the callback answers false.
bool curlHttpDownloading(QString url, QString filePath, std::function<bool(qint64)> callback,
                         int timeoutSeconds);

#endif // LNX2UTILS_CURL_H
