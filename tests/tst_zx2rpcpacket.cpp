#include "zx2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using Results = QList<int>;
Q_DECLARE_METATYPE(Results)

namespace {

QByteArray datagram(const QJsonObject &object, const QByteArray &attachment = QByteArray())
{
    ZX2RpcPacket packet(object);
    packet.setAttachment(attachment);
    return packet.toDatagram();
}

QByteArray header(quint32 textLength, quint32 attachmentLength)
{
    QByteArray out("\x00zx\x01\x01", 5);
    for (quint32 v : {textLength, attachmentLength})
        for (int i = 0; i < 4; ++i)
            out.append(char((v >> (8 * i)) & 0xFF));
    return out + QByteArray("\xFF\xFF\xFF", 3);
}

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestZX2RpcPacket : public QObject
{
    Q_OBJECT
private slots:
    void datagramHeaderIsByteExact()
    {
        const QByteArray expected = QByteArray::fromHex("007A7801010B00000000000000FFFFFF")
            + QByteArray("{\"cmd\":\"x\"}");
        QCOMPARE(datagram(object("{\"cmd\":\"x\"}")), expected);
        QCOMPARE(datagram(object("{\"cmd\":\"x\"}"), "AB").mid(9, 4), QByteArray("\x02\x00\x00\x00", 4));
    }

    void emptyPacketIsKeepAlive()
    {
        QCOMPARE(datagram(QJsonObject(), "ignored"), QByteArray("\x00ka\x00", 4));
        QCOMPARE(ZX2RpcPacket::keepAlive(), QByteArray("\x00ka\x00", 4));
        QVERIFY(ZX2RpcPacket().isKeepAlive());
    }

    void decodeSequence_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<Results>("results");
        QTest::addColumn<int>("left");
        const QByteArray one = datagram(object("{\"cmd\":\"a\",\"seq\":1}"));
        const QByteArray two = datagram(object("{\"cmd\":\"b\"}"), "bin");
        const QByteArray keep = ZX2RpcPacket::keepAlive();
        QTest::newRow("empty") << QByteArray() << Results{2} << 0;
        QTest::newRow("two datagrams") << one + two << Results{0, 0, 2} << 0;
        QTest::newRow("keep-alive then datagram") << keep + one << Results{1, 0, 2} << 0;
        QTest::newRow("datagram then partial")
            << one + two.left(20) << Results{0, 2} << 20;
        QTest::newRow("three stray bytes") << QByteArray("abc") << Results{2} << 3;
        QTest::newRow("four stray bytes") << QByteArray("abcd") << Results{4} << 4;
        QTest::newRow("datagram then garbage")
            << one + QByteArray("garbage") << Results{0, 4} << 7;
        QTest::newRow("bad json")
            << header(5, 0) + QByteArray("{nope") << Results{4} << 21;
        QTest::newRow("empty object") << datagram(QJsonObject()) << Results{1, 2} << 0;
        QTest::newRow("array top level")
            << header(2, 0) + QByteArray("[]") << Results{0, 2} << 0;
        QTest::newRow("over maximum")
            << header(64 * 1024 * 1024, 0) << Results{4} << 16;
        QTest::newRow("32-bit overflow")
            << header(0xFFFFFFF0u, 0x20) << Results{4} << 16;
    }
    void decodeSequence()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(Results, results);
        QFETCH(int, left);
        ZX2RpcPacket packet;
        Results got;
        int result;
        do {
            const QByteArray before = buffer;
            result = packet.fromDatagram(buffer);
            got << result;
            if (result >= 2)
                QCOMPARE(buffer, before); // nothing consumed
        } while (result < 2);
        QCOMPARE(got, results);
        QCOMPARE(buffer.size(), left);
    }

    void decodeContents()
    {
        QByteArray buffer = datagram(object("{\"cmd\":\"a\",\"n\":[1,2]}"), QByteArray("\x00\x01\x02", 3))
            + datagram(object("{\"cmd\":\"b\"}"));
        ZX2RpcPacket packet;
        QCOMPARE(packet.fromDatagram(buffer), 0);
        QCOMPARE(QJsonObject(packet), object("{\"cmd\":\"a\",\"n\":[1,2]}"));
        QCOMPARE(packet.attachment(), QByteArray("\x00\x01\x02", 3));
        QCOMPARE(packet.fromDatagram(buffer), 0);
        QCOMPARE(QJsonObject(packet), object("{\"cmd\":\"b\"}"));
        QVERIFY(packet.attachment().isEmpty());
    }

    void decodeByteByByte()
    {
        const QByteArray whole = datagram(object("{\"cmd\":\"abc\"}"), "xyz");
        ZX2RpcPacket packet;
        QByteArray buffer;
        for (int i = 0; i < whole.size() - 1; ++i) {
            buffer.append(whole.at(i));
            QCOMPARE(packet.fromDatagram(buffer), 2);
            QCOMPARE(buffer.size(), i + 1);
        }
        QCOMPARE(packet.expectedLength(), whole.size());
        buffer.append(whole.at(whole.size() - 1));
        QCOMPARE(packet.fromDatagram(buffer), 0);
        QCOMPARE(packet.expectedLength(), 0);
        QCOMPARE(packet.value("cmd").toString(), QString("abc"));
        QCOMPARE(packet.attachment(), QByteArray("xyz"));
    }

    void maximumIsSettable()
    {
        QByteArray buffer = datagram(object("{\"cmd\":\"long enough\"}"));
        ZX2RpcPacket packet;
        ZX2RpcPacket::setMaximumLength(buffer.size() - 1);
        const int limited = packet.fromDatagram(buffer);
        ZX2RpcPacket::setMaximumLength(64 * 1024 * 1024);
        QCOMPARE(limited, 4);
        QCOMPARE(packet.fromDatagram(buffer), 0);
    }

    void copyKeepsAttachment()
    {
        ZX2RpcPacket a(object("{\"cmd\":\"a\"}"));
        a.setAttachment("bytes");
        ZX2RpcPacket b(a);
        ZX2RpcPacket c;
        c = a;
        QCOMPARE(b.attachment(), QByteArray("bytes"));
        QCOMPARE(c.attachment(), QByteArray("bytes"));
        c = object("{\"x\":1}");
        QCOMPARE(c.attachment(), QByteArray("bytes"));
        QCOMPARE(c.value("x").toInt(), 1);
    }

    void compactText()
    {
        ZX2RpcPacket packet(object("{\"b\":1}"));
        packet.setAttachment("keep");
        QCOMPARE(packet.fromCompact("[1]"), 4);
        QCOMPARE(packet.fromCompact("{bad"), 4);
        QCOMPARE(packet.toCompact(), QByteArray("{\"b\":1}"));
        QCOMPARE(packet.fromCompact("{ \"a\" : [1, 2] }"), 0);
        QCOMPARE(packet.toCompact(), QByteArray("{\"a\":[1,2]}"));
        QCOMPARE(packet.attachment(), QByteArray("keep"));
    }

    void helpers()
    {
        QCOMPARE(QJsonObject(ZX2RpcPacket::make("x", 0, {})), object("{\"cmd\":\"x\",\"err\":0}"));
        QCOMPARE(QJsonObject(ZX2RpcPacket::make("x", 5, object("{\"a\":1}"))),
                 object("{\"cmd\":\"x\",\"err\":5,\"params\":{\"a\":1}}"));

        const QJsonObject request = object(
            "{\"seq\":1,\"cno\":2,\"cmd\":\"c\",\"routers\":[],\"_a\":3,\"b\":4}");
        ZX2RpcPacket packet(request);
        packet.shrink();
        QCOMPARE(QJsonObject(packet), object("{\"seq\":1,\"cno\":2,\"cmd\":\"c\",\"_a\":3}"));
        packet.shrink(request);
        QCOMPARE(QJsonObject(packet),
                 object("{\"seq\":1,\"cno\":2,\"cmd\":\"c\",\"routers\":[],\"_a\":3}"));

        QJsonObject to = object("{\"seq\":9,\"keep\":true,\"errmsg\":\"old\"}");
        ZX2RpcPacket::copyResponsed(to, request, 7, QString());
        QCOMPARE(to, object("{\"seq\":1,\"cno\":2,\"cmd\":\"c\",\"routers\":[],\"_a\":3,"
                            "\"keep\":true,\"err\":7,\"errmsg\":\"old\"}"));
        QCOMPARE(ZX2RpcPacket::copyResponsed(request, 1, "m").value("errmsg").toString(), QString("m"));
        QVERIFY(!ZX2RpcPacket::copyResponsed(request).contains("b"));
    }

    void takeRouter_data()
    {
        QTest::addColumn<QJsonObject>("input");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<int>("fd");
        QTest::addColumn<int>("session");
        QTest::addColumn<QJsonObject>("after");
        QTest::newRow("last hop") << object("{\"routers\":[{\"fd\":3,\"session\":7}]}")
                                  << true << 3 << 7 << QJsonObject();
        QTest::newRow("innermost of two")
            << object("{\"routers\":[{\"fd\":1,\"session\":2},{\"fd\":3,\"session\":4}]}")
            << true << 3 << 4 << object("{\"routers\":[{\"fd\":1,\"session\":2}]}");
        QTest::newRow("no routers") << object("{\"a\":1}") << false << -1 << -1 << object("{\"a\":1}");
        QTest::newRow("not integral") << object("{\"routers\":[{\"fd\":\"3\",\"session\":1.5}]}")
                                      << true << 0 << 0 << QJsonObject();
    }
    void takeRouter()
    {
        QFETCH(QJsonObject, input);
        QFETCH(bool, taken);
        int fd = -1, session = -1;
        QCOMPARE(ZX2RpcPacket::takeRouter(fd, session, input), taken);
        QTEST(fd, "fd");
        QTEST(session, "session");
        QTEST(input, "after");
    }

    void taggedEncoding_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("true") << QJsonValue(true) << QByteArray("?t\0", 3);
        QTest::newRow("false") << QJsonValue(false) << QByteArray("?f\0", 3);
        QTest::newRow("string") << QJsonValue("ab") << QByteArray("|ab\0", 4);
        QTest::newRow("empty string") << QJsonValue("") << QByteArray("|\0", 2);
        QTest::newRow("array") << QJsonValue(QJsonArray{1, "a"}) << QByteArray(":=1\0|a\0\0", 8);
        QTest::newRow("half") << QJsonValue(0.5) << QByteArray("=0.5\0", 5);
        QTest::newRow("1e20") << QJsonValue(1e20) << QByteArray("=1e+20\0", 7);
        QTest::newRow("object") << QJsonValue(object("{\"b\":{\"c\":[]},\"a\":\"x\"}"))
                                << QByteArray(">a|x\0b>c:\0\0\0", 12);
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << QByteArray("?n\0", 3);
        QTest::newRow("nulls inside") << QJsonValue(object("{\"a\":null,\"b\":[null,1]}"))
                                      << QByteArray(">a?n\0b:?n\0=1\0\0\0", 15);
    }
    void taggedEncoding()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QByteArray, encoded);
        ZX2RpcPacket packet;
        QCOMPARE(packet.toCompactValue(value), encoded);
        QByteArray bytes = encoded.mid(1);
        QJsonValue decoded;
        QVERIFY(packet.fromCompactValue(decoded, encoded.at(0), bytes));
        QCOMPARE(decoded, value);
        QVERIFY(bytes.isEmpty());
    }

    void taggedDecodingFailures_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("stray byte in array") << QByteArray(":x=1\0\0", 6);
        QTest::newRow("unterminated array") << QByteArray(":=1\0", 4);
        QTest::newRow("empty number") << QByteArray("=\0", 2);
        QTest::newRow("unterminated string") << QByteArray("|abc", 4);
        QTest::newRow("unknown tag") << QByteArray("#x\0", 3);
    }
    void taggedDecodingFailures()
    {
        QFETCH(QByteArray, bytes);
        ZX2RpcPacket packet;
        QJsonValue value;
        const char tag = bytes.at(0);
        bytes.remove(0, 1);
        QVERIFY(!packet.fromCompactValue(value, tag, bytes));
    }

    void taggedObjectStopsAtBadMember()
    {
        ZX2RpcPacket packet;
        QByteArray bytes("a=1\0a=2\0b=\0c=3\0\0", 17);
        const QJsonObject decoded = packet.fromCompactObject(bytes);
        QCOMPARE(decoded, object("{\"a\":2}"));
    }
};

QTEST_GUILESS_MAIN(TestZX2RpcPacket)
#include "tst_zx2rpcpacket.moc"
