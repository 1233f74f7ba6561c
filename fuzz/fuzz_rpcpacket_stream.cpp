// ZX2RpcPacket::fromDatagram on arbitrary byte streams.
//
// The input is a stream as a connection would receive it. It is decoded once
// as a whole and once as it would arrive in pieces (the first byte picks the
// piece size), and both ways must yield the same packets. Each result must
// leave the buffer as its contract says, and every decoded packet must
// survive toDatagram/fromDatagram unchanged.
#include "zx2rpcpacket.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>

#include <cstdint>
#include <cstdlib>
#include <cstdio>

namespace {

struct Decoded
{
    QJsonObject object;
    QByteArray attachment;
    bool keepAlive = false;
    bool operator==(const Decoded &other) const
    {
        return object == other.object && attachment == other.attachment
               && keepAlive == other.keepAlive;
    }
};

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Decodes as the connection loop does; false once the front is malformed.
bool drain(QByteArray &buffer, QList<Decoded> &out)
{
    ZX2RpcPacket packet;
    for (;;) {
        const QByteArray before = buffer;
        const int result = packet.fromDatagram(buffer);
        switch (result) {
        case ZX2RpcPacket::DecodeOk:
            check(buffer.size() < before.size(), "result 0 consumed nothing");
            check(before.endsWith(buffer), "result 0 removed bytes other than the front");
            check(packet.expectedLength() == 0, "expected length not reset after a decode");
            out << Decoded{packet, packet.attachment(), false};
            break;
        case ZX2RpcPacket::DecodeKeepAlive:
            check(before.size() - buffer.size() == 4, "keep-alive did not consume 4 bytes");
            check(packet.isEmpty(), "keep-alive left members in the packet");
            out << Decoded{QJsonObject(), QByteArray(), true};
            break;
        case ZX2RpcPacket::DecodeIncomplete:
            check(buffer == before, "result 2 changed the buffer");
            check(packet.expectedLength() == 0 || packet.expectedLength() > buffer.size(),
                  "expected length not above what the buffer holds");
            return true;
        case ZX2RpcPacket::DecodeMalformed:
            check(buffer == before, "result 4 changed the buffer");
            return false;
        default:
            check(false, "unknown result");
        }
    }
}

void checkRoundTrip(const Decoded &decoded)
{
    if (decoded.keepAlive)
        return;
    ZX2RpcPacket original(decoded.object);
    original.setAttachment(decoded.attachment);
    QByteArray datagram = original.toDatagram();
    ZX2RpcPacket copy;
    const int result = copy.fromDatagram(datagram);
    if (decoded.object.isEmpty()) {
        check(result == ZX2RpcPacket::DecodeKeepAlive, "empty object not framed as keep-alive");
        return;
    }
    check(result == ZX2RpcPacket::DecodeOk, "re-encoded packet does not decode");
    check(datagram.isEmpty(), "re-encoded packet left bytes behind");
    check(copy == decoded.object, "object changed by a round trip");
    check(copy.attachment() == decoded.attachment, "attachment changed by a round trip");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Keep declared lengths within what the fuzzer's memory limit allows.
    ZX2RpcPacket::setMaximumLength(1 << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int piece = 1 + data[0] % 32;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    QByteArray whole = stream;
    QList<Decoded> all;
    const bool wholeOk = drain(whole, all);

    QByteArray buffer;
    QList<Decoded> pieces;
    bool piecesOk = true;
    int offset = 0;
    while (offset < stream.size() && piecesOk) {
        buffer.append(stream.mid(offset, piece));
        offset += piece;
        piecesOk = drain(buffer, pieces);
    }
    buffer.append(stream.mid(offset)); // a connection keeps appending behind a malformed front
    check(wholeOk == piecesOk, "piecewise arrival changed whether the stream is malformed");
    check(all == pieces, "piecewise arrival changed the decoded packets");
    check(whole == buffer, "piecewise arrival left other bytes behind");

    for (const Decoded &decoded : qAsConst(all))
        checkRoundTrip(decoded);
    return 0;
}
