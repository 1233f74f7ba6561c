#ifndef ZX2RPCPACKET_H
#define ZX2RPCPACKET_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

class ZX2RpcPacketPrivate;

// One unit of the local RPC protocol: a JSON object (request or answer) with an
// optional binary attachment, framed on a byte stream as one datagram:
//   00 'z' 'x' 01 01 | J (u32 LE) | A (u32 LE) | FF FF FF | JSON text (J) | attachment (A)
// A packet whose object is empty travels as the 4-byte keep-alive 00 'k' 'a' 00.
//
// The packet is a value type (copied with its attachment), so unlike the other
// framework classes its private part is copied rather than shared or forbidden.
class ZX2RpcPacket : public QJsonObject
{
    friend class ZX2RpcPacketPrivate;
    friend class TestZX2RpcPacket;

public:
    // fromDatagram() results
    enum { DecodeOk = 0, DecodeKeepAlive = 1, DecodeIncomplete = 2, DecodeMalformed = 4 };

    ZX2RpcPacket();
    ZX2RpcPacket(QJsonObject object);
    ZX2RpcPacket(const ZX2RpcPacket &other);
    ~ZX2RpcPacket();
    ZX2RpcPacket &operator=(const ZX2RpcPacket &other);
    ZX2RpcPacket &operator=(const QJsonObject &object);

    QByteArray attachment() const;
    void setAttachment(QByteArray attachment);
    // After a decode that met an incomplete datagram: the bytes that datagram
    // needs in total; 0 after a datagram was decoded.
    qint32 expectedLength() const;

    // Largest datagram (header, text and attachment) that fromDatagram accepts;
    // a larger declared length is malformed, so nobody waits for or allocates it.
    static qint32 maximumLength();
    static void setMaximumLength(qint32 bytes);

    static QByteArray keepAlive();
    bool isKeepAlive() const;
    QByteArray toDatagram() const;
    int fromDatagram(QByteArray &buffer);

    QByteArray toCompact() const;
    int fromCompact(QByteArray text);

    static ZX2RpcPacket make(QString cmd, int err, QJsonObject params);
    static void copyResponsed(QJsonObject &to, QJsonObject from);
    static void copyResponsed(QJsonObject &to, QJsonObject from, int err, QString errmsg);
    static ZX2RpcPacket copyResponsed(QJsonObject from, int err, QString errmsg);
    static ZX2RpcPacket copyResponsed(QJsonObject from);
    void shrink(QJsonObject from);
    void shrink();
    static bool takeRouter(int &fd, int &session, QJsonObject &object);

private:
    // Compact tagged encoding: ':' array, '>' object, '|' string, '=' number,
    // '?' boolean ("t"/"f"); a null value is written as "?n" and decodes back
    // to null; an undefined value writes nothing.
    QByteArray toCompactValue(QJsonValue value) const;
    bool fromCompactValue(QJsonValue &value, char tag, QByteArray &bytes) const;
    QJsonObject fromCompactObject(QByteArray &bytes) const;

    ZX2RpcPacketPrivate *const d;
};

Q_DECLARE_METATYPE(ZX2RpcPacket)

#endif // ZX2RPCPACKET_H
