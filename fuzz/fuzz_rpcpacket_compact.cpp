// The compact tagged decoder of ZX2RpcPacket (fromCompactValue and
// fromCompactObject), reached through the class's test hook.
//
// The first input byte is the tag, the rest the encoded bytes. Decoding must
// end, consume only from the front, and what it yields must be stable under
// re-encoding: encode(decode(encode(v))) == encode(v).
#include "zx2rpcpacket.h"

#include <QByteArray>
#include <QJsonValue>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

// The packet class grants this name access to its private encoding.
class TestZX2RpcPacket
{
public:
    static void run(char tag, const QByteArray &input)
    {
        ZX2RpcPacket packet;
        QByteArray bytes = input;
        QJsonValue value;
        if (packet.fromCompactValue(value, tag, bytes)) {
            check(input.endsWith(bytes), "decoder consumed bytes other than the front");
            checkStable(packet, value);
        }

        QByteArray objectBytes = input;
        const QJsonObject object = packet.fromCompactObject(objectBytes);
        check(input.endsWith(objectBytes), "object decoder consumed bytes other than the front");
        checkStable(packet, object);
    }

private:
    static void checkStable(const ZX2RpcPacket &packet, const QJsonValue &value)
    {
        const QByteArray encoded = packet.toCompactValue(value);
        if (encoded.isEmpty())
            return; // undefined writes nothing
        QByteArray rest = encoded.mid(1);
        QJsonValue again;
        check(packet.fromCompactValue(again, encoded.at(0), rest), "own encoding does not decode");
        check(rest.isEmpty(), "own encoding left bytes behind");
        check(packet.toCompactValue(again) == encoded, "encoding not stable across a round trip");
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    TestZX2RpcPacket::run(char(data[0]),
                          QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1)));
    return 0;
}
