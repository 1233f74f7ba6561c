#include "zx2aes.h"

#include <QRandomGenerator>
#include <QtTest>

#include <openssl/evp.h>

namespace {

QByteArray countingBytes(int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char(i));
    return b;
}

// AES-128-ECB through OpenSSL, with PKCS#7 padding or none.
QByteArray opensslAes128(const QByteArray &key, const QByteArray &data, bool encrypt, bool pad)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    QByteArray out(data.size() + 32, '\0');
    int len = 0;
    int total = 0;
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    const auto *k = reinterpret_cast<const unsigned char *>(key.constData());
    const auto *in = reinterpret_cast<const unsigned char *>(data.constData());
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, k, nullptr, encrypt ? 1 : 0) == 1;
    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
    ok = ok && EVP_CipherUpdate(ctx, o, &len, in, data.size()) == 1;
    total = len;
    ok = ok && EVP_CipherFinal_ex(ctx, o + total, &len) == 1;
    total += len;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? out.left(total) : QByteArray("openssl failed");
}

} // namespace

class TestZX2Aes : public QObject
{
    Q_OBJECT
private slots:
    void fips197_data()
    {
        QTest::addColumn<int>("keyLength");
        QTest::addColumn<QByteArray>("cipherHex");
        QTest::newRow("AES-128") << 16 << QByteArray("69c4e0d86a7b0430d8cdb78070b4c55a");
        QTest::newRow("AES-192") << 24 << QByteArray("dda97ca4864cdfe06eaf70a0ec0d7191");
        QTest::newRow("AES-256") << 32 << QByteArray("8ea2b7ca516745bfeafc49904b496089");
    }
    void fips197()
    {
        QFETCH(int, keyLength);
        QFETCH(QByteArray, cipherHex);
        const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        ZX2Aes aes;
        aes.setKey(countingBytes(keyLength));
        const QByteArray encrypted = aes.encrypt(plain);
        QCOMPARE(encrypted.left(16).toHex(), cipherHex);
        QCOMPARE(aes.decrypt(encrypted), plain);
        // The single block decrypts as is: its last byte 0xff is no pad.
        QCOMPARE(aes.decrypt(QByteArray::fromHex(cipherHex)), plain);
    }

    void roundTrip_data()
    {
        QTest::addColumn<int>("keyLength");
        QTest::addColumn<int>("dataLength");
        QTest::addColumn<int>("encryptedLength");
        for (int keyLength : {5, 16, 20, 24, 28, 32, 40}) {
            const int k = keyLength >= 32 ? 32 : (keyLength >= 24 ? 24 : 16);
            for (int n : {0, 1, 15, 16, 17, 23, 24, 25, 31, 32, 47, 48, 71, 72, 100}) {
                const int padded = n + k - n % k;
                QTest::addRow("key %d, data %d", keyLength, n)
                    << keyLength << n << (padded + 15) / 16 * 16;
            }
        }
    }
    void roundTrip()
    {
        QFETCH(int, keyLength);
        QFETCH(int, dataLength);
        QFETCH(int, encryptedLength);
        ZX2Aes aes;
        aes.setKey(QByteArray(keyLength, 'k'));
        const QByteArray plain = QByteArray(dataLength, 'a');
        const QByteArray encrypted = aes.encrypt(plain);
        QCOMPARE(encrypted.size(), encryptedLength);
        QCOMPARE(aes.decrypt(encrypted), plain);
    }

    void keyNormalisation_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("sameAs");
        QTest::newRow("short key is zero filled") << QByteArray("abcde")
                                                  << QByteArray("abcde") + QByteArray(11, '\0');
        QTest::newRow("20 bytes use 16") << QByteArray("0123456789abcdefWXYZ")
                                         << QByteArray("0123456789abcdef");
        QTest::newRow("30 bytes use 24") << QByteArray("0123456789abcdefghijklmnWXYZ12")
                                         << QByteArray("0123456789abcdefghijklmn");
        QTest::newRow("40 bytes use 32") << QByteArray(32, 'x') + "12345678" << QByteArray(32, 'x');
    }
    void keyNormalisation()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, sameAs);
        ZX2Aes a;
        ZX2Aes b;
        a.setKey(key);
        b.setKey(sameAs);
        const QByteArray plain("some text that spans more than one block");
        QCOMPARE(a.encrypt(plain), b.encrypt(plain));
        QCOMPARE(a.key(), key);
    }

    void keyHandling()
    {
        ZX2Aes aes;
        QVERIFY(!aes.hasKey());
        QCOMPARE(aes.encrypt("plain"), QByteArray("plain"));
        aes.setKey(" key ");
        QVERIFY(aes.hasKey());
        QCOMPARE(aes.key(), QByteArray(" key ")); // used untrimmed
        ZX2Aes trimmed;
        trimmed.setKey("key");
        QVERIFY(aes.encrypt("plain") != trimmed.encrypt("plain"));
        aes.setKey(" \t\n ");
        QVERIFY(!aes.hasKey());
        QCOMPARE(aes.key(), QByteArray());
        QCOMPARE(aes.encrypt("plain"), QByteArray("plain"));
        QCOMPARE(aes.decrypt("0123456789abcde"), QByteArray("0123456789abcde"));
    }

    void decryptBadLength_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << 0;
        QTest::newRow("15") << 15;
        QTest::newRow("17") << 17;
        QTest::newRow("33") << 33;
    }
    void decryptBadLength()
    {
        QFETCH(int, length);
        ZX2Aes aes;
        aes.setKey("0123456789abcdef");
        QCOMPARE(aes.decrypt(QByteArray(length, 'c')), QByteArray());
    }

    // Plaintexts whose end is no valid pad keep every byte after decryption.
    void decryptKeepsUnpadded_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("last byte 0") << QByteArray(15, 'a') + QByteArray(1, '\0');
        QTest::newRow("last byte 0x80") << QByteArray(15, 'a') + "\x80";
        QTest::newRow("pad bytes differ") << QByteArray(13, 'a') + "\x01\x03\x03";
        QTest::newRow("pad longer than data") << QByteArray(15, 'a') + "\x11";
    }
    void decryptKeepsUnpadded()
    {
        QFETCH(QByteArray, plain);
        const QByteArray key("0123456789abcdef");
        ZX2Aes aes;
        aes.setKey(key);
        QCOMPARE(aes.decrypt(opensslAes128(key, plain, true, false)), plain);
    }

    void matchesOpenssl()
    {
        auto *rng = QRandomGenerator::global();
        for (int i = 0; i < 300; ++i) {
            QByteArray key(16, '\0');
            QByteArray plain(int(rng->bounded(200)), '\0');
            rng->fillRange(reinterpret_cast<quint32 *>(key.data()), 4);
            for (char &c : plain)
                c = char(rng->bounded(256));
            ZX2Aes aes;
            aes.setKey(key);
            const QByteArray expected = opensslAes128(key, plain, true, true);
            QCOMPARE(aes.encrypt(plain), expected);
            QCOMPARE(aes.decrypt(expected), plain);
        }
    }
};

QTEST_GUILESS_MAIN(TestZX2Aes)
#include "tst_zx2aes.moc"
