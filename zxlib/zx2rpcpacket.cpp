#include "zx2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <atomic>
#include <cmath>
#include <limits>

namespace {

// Never destroyed: detached connection threads may still decode while the
// process runs its exit handlers.
const QByteArray &PACKET_MARK = *new QByteArray("\x00zx", 3);
const QByteArray &PACKET_KEEPALIVE = *new QByteArray("\x00ka\x00", 4);

constexpr int kHeaderSize = 16;
constexpr qint32 kDefaultMaximum = 64 * 1024 * 1024;
std::atomic<qint32> maximumDatagram{kDefaultMaximum};

constexpr char kTagArray = ':';
constexpr char kTagObject = '>';
constexpr char kTagString = '|';
constexpr char kTagNumber = '=';
constexpr char kTagBool = '?';

bool isTag(char c)
{
    return c == kTagArray || c == kTagObject || c == kTagString || c == kTagNumber || c == kTagBool;
}

void appendLE32(QByteArray &out, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

quint32 readLE32(const QByteArray &in, int offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(in.at(offset + i));
    return value;
}

bool isRoutingKey(const QString &key)
{
    return key == QLatin1String("seq") || key == QLatin1String("cno") || key == QLatin1String("cmd")
        || key == QLatin1String("routers") || key.startsWith(QLatin1Char('_'));
}

// An integral JSON number that fits an int, else 0.
int integralOrZero(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::floor(number) != number || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return 0;
    return int(number);
}

} // namespace

class ZX2RpcPacketPrivate
{
public:
    QByteArray attachment;
    qint32 expectedLength = 0;
};

ZX2RpcPacket::ZX2RpcPacket()
    : d(new ZX2RpcPacketPrivate)
{
}

ZX2RpcPacket::ZX2RpcPacket(QJsonObject object)
    : QJsonObject(object)
    , d(new ZX2RpcPacketPrivate)
{
}

ZX2RpcPacket::ZX2RpcPacket(const ZX2RpcPacket &other)
    : QJsonObject(other)
    , d(new ZX2RpcPacketPrivate(*other.d))
{
}

ZX2RpcPacket::~ZX2RpcPacket()
{
    delete d;
}

ZX2RpcPacket &ZX2RpcPacket::operator=(const ZX2RpcPacket &other)
{
    if (this != &other) {
        QJsonObject::operator=(other);
        *d = *other.d;
    }
    return *this;
}

ZX2RpcPacket &ZX2RpcPacket::operator=(const QJsonObject &object)
{
    QJsonObject::operator=(object);
    return *this;
}

QByteArray ZX2RpcPacket::attachment() const
{
    return d->attachment;
}

void ZX2RpcPacket::setAttachment(QByteArray attachment)
{
    d->attachment = attachment;
}

qint32 ZX2RpcPacket::expectedLength() const
{
    return d->expectedLength;
}

qint32 ZX2RpcPacket::maximumLength()
{
    return maximumDatagram.load();
}

void ZX2RpcPacket::setMaximumLength(qint32 bytes)
{
    maximumDatagram.store(qMax(bytes, qint32(kHeaderSize)));
}

QByteArray ZX2RpcPacket::keepAlive()
{
    return PACKET_KEEPALIVE;
}

bool ZX2RpcPacket::isKeepAlive() const
{
    return isEmpty();
}

QByteArray ZX2RpcPacket::toDatagram() const
{
    if (isEmpty())
        return PACKET_KEEPALIVE;
    const QByteArray text = toCompact();
    QByteArray out;
    out.reserve(kHeaderSize + text.size() + d->attachment.size());
    out.append(PACKET_MARK);
    out.append("\x01\x01", 2);
    appendLE32(out, quint32(text.size()));
    appendLE32(out, quint32(d->attachment.size()));
    out.append("\xFF\xFF\xFF", 3);
    out.append(text);
    out.append(d->attachment);
    return out;
}

int ZX2RpcPacket::fromDatagram(QByteArray &buffer)
{
    d->attachment.clear();
    if (buffer.startsWith(PACKET_KEEPALIVE)) {
        buffer.remove(0, PACKET_KEEPALIVE.size());
        QJsonObject::operator=(QJsonObject());
        return DecodeKeepAlive;
    }
    if (!buffer.startsWith(PACKET_MARK))
        return buffer.size() < PACKET_KEEPALIVE.size() ? DecodeIncomplete : DecodeMalformed;
    if (buffer.size() < kHeaderSize)
        return DecodeIncomplete;

    const quint32 textLength = readLE32(buffer, 5);
    const quint32 attachmentLength = readLE32(buffer, 9);
    const quint64 total = quint64(kHeaderSize) + textLength + attachmentLength;
    if (total > quint64(maximumLength())) {
        d->expectedLength = 0;
        return DecodeMalformed;
    }
    if (quint64(buffer.size()) < total) {
        d->expectedLength = qint32(total);
        return DecodeIncomplete;
    }
    d->expectedLength = 0;

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(buffer.mid(kHeaderSize, int(textLength)), &error);
    if (error.error != QJsonParseError::NoError)
        return DecodeMalformed;
    QJsonObject::operator=(document.object());
    if (attachmentLength != 0)
        d->attachment = buffer.mid(kHeaderSize + int(textLength), int(attachmentLength));
    buffer.remove(0, int(total));
    return DecodeOk;
}

QByteArray ZX2RpcPacket::toCompact() const
{
    return QJsonDocument(static_cast<const QJsonObject &>(*this)).toJson(QJsonDocument::Compact);
}

int ZX2RpcPacket::fromCompact(QByteArray text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return DecodeMalformed;
    QJsonObject::operator=(document.object());
    return DecodeOk;
}

ZX2RpcPacket ZX2RpcPacket::make(QString cmd, int err, QJsonObject params)
{
    ZX2RpcPacket packet;
    packet.insert(QStringLiteral("cmd"), cmd);
    packet.insert(QStringLiteral("err"), err);
    if (!params.isEmpty())
        packet.insert(QStringLiteral("params"), params);
    return packet;
}

void ZX2RpcPacket::copyResponsed(QJsonObject &to, QJsonObject from)
{
    for (auto it = from.constBegin(); it != from.constEnd(); ++it) {
        if (isRoutingKey(it.key()))
            to.insert(it.key(), it.value());
    }
}

void ZX2RpcPacket::copyResponsed(QJsonObject &to, QJsonObject from, int err, QString errmsg)
{
    copyResponsed(to, from);
    to.insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        to.insert(QStringLiteral("errmsg"), errmsg);
}

ZX2RpcPacket ZX2RpcPacket::copyResponsed(QJsonObject from, int err, QString errmsg)
{
    ZX2RpcPacket packet;
    copyResponsed(packet, from, err, errmsg);
    return packet;
}

ZX2RpcPacket ZX2RpcPacket::copyResponsed(QJsonObject from)
{
    ZX2RpcPacket packet;
    copyResponsed(packet, from);
    return packet;
}

void ZX2RpcPacket::shrink(QJsonObject from)
{
    QJsonObject routing;
    copyResponsed(routing, from);
    QJsonObject::operator=(routing);
}

void ZX2RpcPacket::shrink()
{
    const QStringList names = keys();
    for (const QString &key : names) {
        if (!isRoutingKey(key) || key == QLatin1String("routers"))
            remove(key);
    }
}

bool ZX2RpcPacket::takeRouter(int &fd, int &session, QJsonObject &object)
{
    QJsonArray routers = object.value(QStringLiteral("routers")).toArray();
    if (routers.isEmpty())
        return false;
    const QJsonObject hop = routers.takeAt(routers.size() - 1).toObject();
    fd = integralOrZero(hop.value(QStringLiteral("fd")));
    session = integralOrZero(hop.value(QStringLiteral("session")));
    if (routers.isEmpty())
        object.remove(QStringLiteral("routers"));
    else
        object.insert(QStringLiteral("routers"), routers);
    return true;
}

QByteArray ZX2RpcPacket::toCompactValue(QJsonValue value) const
{
    QByteArray out;
    switch (value.type()) {
    case QJsonValue::Array:
        out.append(kTagArray);
        for (const QJsonValue &element : value.toArray())
            out.append(toCompactValue(element));
        break;
    case QJsonValue::Object: {
        out.append(kTagObject);
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            out.append(it.key().toUtf8());
            out.append(toCompactValue(it.value()));
        }
        break;
    }
    case QJsonValue::String:
        out.append(kTagString);
        out.append(value.toString().toUtf8());
        break;
    case QJsonValue::Double:
        out.append(kTagNumber);
        out.append(QByteArray::number(value.toDouble(), 'g', 15));
        break;
    case QJsonValue::Bool:
        out.append(kTagBool);
        out.append(value.toBool() ? 't' : 'f');
        break;
    case QJsonValue::Null:
        // Written as a boolean with the letter "n" so that it decodes back to
        // null and an object key never runs into the next member.
        out.append(kTagBool);
        out.append('n');
        break;
    case QJsonValue::Undefined:
        return out;
    }
    out.append('\0');
    return out;
}

bool ZX2RpcPacket::fromCompactValue(QJsonValue &value, char tag, QByteArray &bytes) const
{
    if (tag == kTagObject) {
        value = fromCompactObject(bytes);
        return true;
    }
    if (tag == kTagArray) {
        QJsonArray array;
        while (!bytes.isEmpty()) {
            const char next = bytes.at(0);
            bytes.remove(0, 1);
            if (next == '\0') {
                value = array;
                return true;
            }
            QJsonValue element;
            if (!isTag(next) || !fromCompactValue(element, next, bytes))
                return false;
            array.append(element);
        }
        return false;
    }
    if (tag != kTagString && tag != kTagNumber && tag != kTagBool)
        return false;

    const int end = bytes.indexOf('\0');
    if (end < 0 || (tag == kTagNumber && end == 0))
        return false;
    const QByteArray text = bytes.left(end);
    bytes.remove(0, end + 1);
    if (tag == kTagString)
        value = QString::fromUtf8(text);
    else if (tag == kTagNumber)
        value = text.toDouble();
    else if (text == "n")
        value = QJsonValue(QJsonValue::Null);
    else
        value = text.startsWith('t') || text.startsWith('T');
    return true;
}

QJsonObject ZX2RpcPacket::fromCompactObject(QByteArray &bytes) const
{
    QJsonObject object;
    while (!bytes.isEmpty()) {
        if (bytes.at(0) == '\0') {
            bytes.remove(0, 1);
            return object;
        }
        int position = 0;
        while (position < bytes.size() && !isTag(bytes.at(position)))
            ++position;
        if (position == bytes.size())
            return object;
        QByteArray key = bytes.left(position);
        const int nul = key.indexOf('\0');
        if (nul >= 0)
            key.truncate(nul);
        const char tag = bytes.at(position);
        bytes.remove(0, position + 1);
        QJsonValue value;
        if (!fromCompactValue(value, tag, bytes))
            return object;
        object.insert(QString::fromUtf8(key), value);
    }
    return object;
}
