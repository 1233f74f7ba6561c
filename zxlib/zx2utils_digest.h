#ifndef ZX2UTILS_DIGEST_H
#define ZX2UTILS_DIGEST_H

#include <QByteArray>
#include <QString>

// Digests, checksums and gzip wrapping of byte data.

// SHA-256 of data in the framework's own base-36 text (not hexadecimal).
QString sha256(const QByteArray &data);
// MD5 as 32 lower-case hex digits; the text form digests its UTF-8 bytes.
QByteArray md5hex(const QString &text);
QByteArray md5hex(const QByteArray &data);
// MD5 of a whole file as lower-case hex; empty when it cannot be opened.
QByteArray fileMd5hex(const QString &path);
// HMAC-SHA1 (RFC 2104) as 40 lower-case hex digits.
QString hmacSha1(const QByteArray &message, const QByteArray &key);
// CRC-32 of ISO 3309 / IEEE 802.3; 0 for no data.
quint32 crc32(const QByteArray &data);
// data as one gzip member with modification time 0.
QByteArray gnuzip(const QByteArray &data);

#endif // ZX2UTILS_DIGEST_H
