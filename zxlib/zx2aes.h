#ifndef ZX2AES_H
#define ZX2AES_H

#include <QByteArray>

class ZX2AesPrivate;

// AES encryption of byte arrays under a key set by the caller. Blocks are
// encrypted one by one (no chaining). Data is always padded before encryption
// with pad bytes whose count and value is (K - length mod K), K being the
// normalised key length (16, 24 or 32 bytes); with a 16-byte key this is
// PKCS#7. Keys shorter than 16 bytes are filled up with zero bytes, longer keys
// are cut to 16, 24 or 32 bytes.
class ZX2Aes
{
public:
    ZX2Aes();
    ~ZX2Aes();

    // A key that is empty after trimming leaves the helper without a key; any
    // other key is used as given (not trimmed).
    void setKey(QByteArray key);
    bool hasKey() const;
    QByteArray key() const;

    // Without a key both return their input unchanged. decrypt returns an empty
    // array for input whose length is not a positive multiple of 16; it strips
    // the zero fill that follows the pad with a 24-byte key, and a pad that is
    // not well formed stays in place.
    QByteArray encrypt(QByteArray data);
    QByteArray decrypt(QByteArray data);

private:
    friend class ZX2AesPrivate;
    ZX2AesPrivate *const d;
    Q_DISABLE_COPY(ZX2Aes)
};

#endif // ZX2AES_H
