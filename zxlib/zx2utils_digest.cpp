#include "zx2utils_digest.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>

#include <zlib.h>

namespace {

const char kBase36Digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// Files are digested piece by piece so that a large one never sits in memory
// whole.
constexpr qint64 kDigestPieceBytes = 32 * 1024 * 1024;

void appendLittleEndian32(QByteArray &out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out += char((value >> shift) & 0xFF);
}

} // namespace

QString sha256(const QByteArray &data)
{
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    QString text;
    quint64 carry = 0;
    for (const char byte : digest) {
        quint64 value = carry * 256 + quint64(qint64(qint8(byte)));
        if (value <= 35) {
            carry = value;
            continue;
        }
        for (;;) {
            text += QLatin1Char(kBase36Digits[value % 36]);
            carry = value / 36;
            if (value <= 1295)
                break;
            value = carry;
        }
    }
    if (carry != 0)
        text += QLatin1Char(kBase36Digits[carry]);
    return text;
}

QByteArray md5hex(const QString &text)
{
    return md5hex(text.toUtf8());
}

QByteArray md5hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray fileMd5hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (;;) {
        const QByteArray piece = file.read(kDigestPieceBytes);
        if (piece.isEmpty())
            break;
        hash.addData(piece);
    }
    return hash.result().toHex();
}

QString hmacSha1(const QByteArray &message, const QByteArray &key)
{
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha1).toHex());
}

quint32 crc32(const QByteArray &data)
{
    const uLong initial = ::crc32(0L, Z_NULL, 0);
    return quint32(::crc32(initial, reinterpret_cast<const Bytef *>(data.constData()),
                           uInt(data.size())));
}

QByteArray gnuzip(const QByteArray &data)
{
    z_stream stream{};
    // Negative window bits: a raw deflate stream without zlib header and trailer.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x0b", 10);
    const int header = out.size();
    out.resize(header + int(deflateBound(&stream, uLong(data.size()))));
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data() + header);
    stream.avail_out = uInt(out.size() - header);
    const int result = deflate(&stream, Z_FINISH);
    out.resize(header + int(stream.total_out));
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        return QByteArray();
    appendLittleEndian32(out, crc32(data));
    appendLittleEndian32(out, quint32(data.size()));
    return out;
}
