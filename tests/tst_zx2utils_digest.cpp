#include "zx2utils.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestZX2UtilsDigest : public QObject
{
    Q_OBJECT

private slots:
    void sha256_data()
    {
        // Computed independently from the framework's base-36 rules.
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QByteArray()
                               << "nrgs46211e5w4gp6ogcwj40absi0xmr95k07mix4kw7p3ksulp8f7ge18pf2";
        QTest::newRow("abc") << QByteArray("abc")
                             << "iqgs46211e5woarnr1ljv26xpmwyjpqp2vlwjtlzm8b7icw0003hgqo6phb1";
        QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << "brgs46211e5wwvj7br7oucxmuaogwokm6n5uy1d8r5s07qnhqywjbr5xheh2";
    }
    void sha256()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, text);
        QCOMPARE(::sha256(data), text);
    }

    void md5hex()
    {
        QCOMPARE(::md5hex(QString()), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
        QCOMPARE(::md5hex(QByteArray("abc")), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(::md5hex(QStringLiteral("代")), ::md5hex(QStringLiteral("代").toUtf8()));
    }

    void fileMd5hex()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("data"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(10000, 'a'));
        file.close();
        QCOMPARE(::fileMd5hex(file.fileName()), QByteArray("0d0c9c4db6953fee9e03f528cafd7d3e"));
        QVERIFY(::fileMd5hex(dir.filePath("missing")).isEmpty());
    }

    void hmacSha1_data()
    {
        // RFC 2202, section 3.
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("digest");
        QTest::newRow("case 1") << QByteArray(20, '\x0b') << QByteArray("Hi There")
                                << "b617318655057264e28bc0b6fb378c8ef146be00";
        QTest::newRow("case 2") << QByteArray("Jefe") << QByteArray("what do ya want for nothing?")
                                << "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79";
        QTest::newRow("case 3") << QByteArray(20, '\xaa') << QByteArray(50, '\xdd')
                                << "125d7342b9ac11cd91a39af48aa17b4f63f175d3";
        QTest::newRow("case 6 long key")
            << QByteArray(80, '\xaa')
            << QByteArray("Test Using Larger Than Block-Size Key - Hash Key First")
            << "aa4ae5e15272d00e95705637ce8a3b55ed402112";
    }
    void hmacSha1()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, message);
        QFETCH(QString, digest);
        QCOMPARE(::hmacSha1(message, key), digest);
    }

    void hmacSha1LongKeyIsHashedFirst()
    {
        const QByteArray key(100, 'k');
        QCOMPARE(::hmacSha1("message", key),
                 ::hmacSha1("message", QCryptographicHash::hash(key, QCryptographicHash::Sha1)));
    }

    void crc32_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint32>("crc");
        QTest::newRow("check value") << QByteArray("123456789") << quint32(0xCBF43926);
        QTest::newRow("empty") << QByteArray() << quint32(0);
        QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << quint32(0x414FA339);
    }
    void crc32()
    {
        QFETCH(QByteArray, data);
        QFETCH(quint32, crc);
        QCOMPARE(::crc32(data), crc);
    }

    void gnuzip_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("hello hello hello hello\n");
        QByteArray binary;
        for (int i = 0; i < 300000; ++i)
            binary += char((quint32(i) * 7919u) % 251u);
        QTest::newRow("large binary") << binary;
    }
    void gnuzip()
    {
        QFETCH(QByteArray, data);
        const QByteArray packed = ::gnuzip(data);
        QCOMPARE(packed.left(10), QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x0b", 10));
        const quint32 size = quint32(quint8(packed.at(packed.size() - 4)))
            | quint32(quint8(packed.at(packed.size() - 3))) << 8
            | quint32(quint8(packed.at(packed.size() - 2))) << 16
            | quint32(quint8(packed.at(packed.size() - 1))) << 24;
        QCOMPARE(size, quint32(data.size()));

        QProcess gzip;
        gzip.start("gzip", {"-dc"});
        QVERIFY(gzip.waitForStarted());
        gzip.write(packed);
        gzip.closeWriteChannel();
        QVERIFY(gzip.waitForFinished(60000));
        QCOMPARE(gzip.exitCode(), 0);
        QCOMPARE(gzip.readAllStandardOutput(), data);
    }
};

QTEST_GUILESS_MAIN(TestZX2UtilsDigest)
#include "tst_zx2utils_digest.moc"
