#include "zx2aes.h"

#include <array>
#include <cstdint>

namespace {

using Block = std::array<uint8_t, 16>;

constexpr uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// The inverse S-box is the S-box read backwards, so it cannot disagree with it.
constexpr std::array<uint8_t, 256> makeInvSbox()
{
    std::array<uint8_t, 256> inv{};
    for (int i = 0; i < 256; ++i)
        inv[kSbox[i]] = uint8_t(i);
    return inv;
}
constexpr std::array<uint8_t, 256> kInvSbox = makeInvSbox();

constexpr uint8_t xtime(uint8_t b)
{
    return uint8_t((b << 1) ^ ((b & 0x80) ? 0x1b : 0x00));
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t gmul(uint8_t a, uint8_t b)
{
    uint8_t p = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1)
            p ^= a;
    return p;
}

} // namespace

class ZX2AesPrivate
{
public:
    void setKey(const QByteArray &rawKey);
    void encryptBlock(uint8_t *block) const;
    void decryptBlock(uint8_t *block) const;

    bool hasKey = false;
    QByteArray key;        // exactly as set
    QByteArray normalised; // 16, 24 or 32 bytes
    int keyLength = 0;
    int nk = 0;
    int nr = 0;
    std::array<uint8_t, 240> schedule{}; // 4 * Nb * (Nr + 1) bytes at most

private:
    void expandKey();
    void addRoundKey(Block &state, int round) const;
    static void subBytes(Block &state, const uint8_t *box);
    static void shiftRows(Block &state);
    static void invShiftRows(Block &state);
    static void mixColumns(Block &state);
    static void invMixColumns(Block &state);
};

void ZX2AesPrivate::setKey(const QByteArray &rawKey)
{
    hasKey = true;
    key = rawKey;
    const int len = rawKey.size();
    keyLength = len >= 32 ? 32 : (len >= 24 ? 24 : 16);
    normalised = rawKey.left(keyLength);
    normalised.append(keyLength - normalised.size(), '\0');
    nk = keyLength / 4;
    nr = nk + 6;
    expandKey();
}

void ZX2AesPrivate::expandKey()
{
    const int words = 4 * (nr + 1);
    for (int i = 0; i < 4 * nk; ++i)
        schedule[i] = uint8_t(normalised.at(i));
    uint8_t rcon = 0x01;
    for (int i = nk; i < words; ++i) {
        uint8_t t[4] = {schedule[4 * (i - 1)], schedule[4 * (i - 1) + 1],
                        schedule[4 * (i - 1) + 2], schedule[4 * (i - 1) + 3]};
        if (i % nk == 0) {
            const uint8_t first = t[0]; // RotWord, SubWord, Rcon
            t[0] = uint8_t(kSbox[t[1]] ^ rcon);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            for (uint8_t &b : t)
                b = kSbox[b];
        }
        for (int j = 0; j < 4; ++j)
            schedule[4 * i + j] = uint8_t(schedule[4 * (i - nk) + j] ^ t[j]);
    }
}

void ZX2AesPrivate::addRoundKey(Block &state, int round) const
{
    for (int i = 0; i < 16; ++i)
        state[i] ^= schedule[16 * round + i];
}

void ZX2AesPrivate::subBytes(Block &state, const uint8_t *box)
{
    for (uint8_t &b : state)
        b = box[b];
}

// The state is stored column by column: byte (row r, column c) is state[r + 4c].
void ZX2AesPrivate::shiftRows(Block &state)
{
    const Block s = state;
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            state[r + 4 * c] = s[r + 4 * ((c + r) % 4)];
}

void ZX2AesPrivate::invShiftRows(Block &state)
{
    const Block s = state;
    for (int r = 1; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            state[r + 4 * ((c + r) % 4)] = s[r + 4 * c];
}

void ZX2AesPrivate::mixColumns(Block &state)
{
    for (int c = 0; c < 4; ++c) {
        uint8_t *col = &state[4 * c];
        const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = uint8_t(gmul(a0, 2) ^ gmul(a1, 3) ^ a2 ^ a3);
        col[1] = uint8_t(a0 ^ gmul(a1, 2) ^ gmul(a2, 3) ^ a3);
        col[2] = uint8_t(a0 ^ a1 ^ gmul(a2, 2) ^ gmul(a3, 3));
        col[3] = uint8_t(gmul(a0, 3) ^ a1 ^ a2 ^ gmul(a3, 2));
    }
}

void ZX2AesPrivate::invMixColumns(Block &state)
{
    for (int c = 0; c < 4; ++c) {
        uint8_t *col = &state[4 * c];
        const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = uint8_t(gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9));
        col[1] = uint8_t(gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13));
        col[2] = uint8_t(gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11));
        col[3] = uint8_t(gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14));
    }
}

void ZX2AesPrivate::encryptBlock(uint8_t *block) const
{
    Block state;
    std::copy(block, block + 16, state.begin());
    addRoundKey(state, 0);
    for (int round = 1; round < nr; ++round) {
        subBytes(state, kSbox);
        shiftRows(state);
        mixColumns(state);
        addRoundKey(state, round);
    }
    subBytes(state, kSbox);
    shiftRows(state);
    addRoundKey(state, nr);
    std::copy(state.begin(), state.end(), block);
}

void ZX2AesPrivate::decryptBlock(uint8_t *block) const
{
    Block state;
    std::copy(block, block + 16, state.begin());
    addRoundKey(state, nr);
    for (int round = nr - 1; round > 0; --round) {
        invShiftRows(state);
        subBytes(state, kInvSbox.data());
        addRoundKey(state, round);
        invMixColumns(state);
    }
    invShiftRows(state);
    subBytes(state, kInvSbox.data());
    addRoundKey(state, 0);
    std::copy(state.begin(), state.end(), block);
}

ZX2Aes::ZX2Aes()
    : d(new ZX2AesPrivate)
{
}

ZX2Aes::~ZX2Aes()
{
    delete d;
}

void ZX2Aes::setKey(QByteArray key)
{
    *d = ZX2AesPrivate();
    if (!key.trimmed().isEmpty())
        d->setKey(key);
}

bool ZX2Aes::hasKey() const
{
    return d->hasKey;
}

QByteArray ZX2Aes::key() const
{
    return d->key;
}

QByteArray ZX2Aes::encrypt(QByteArray data)
{
    if (!d->hasKey)
        return data;
    const int pad = d->keyLength - data.size() % d->keyLength;
    data.append(pad, char(pad));
    // A final incomplete block (only possible with a 24-byte key) gets a zero fill.
    if (data.size() % 16)
        data.append(16 - data.size() % 16, '\0');
    auto *bytes = reinterpret_cast<uint8_t *>(data.data());
    for (int i = 0; i < data.size(); i += 16)
        d->encryptBlock(bytes + i);
    return data;
}

QByteArray ZX2Aes::decrypt(QByteArray data)
{
    if (!d->hasKey)
        return data;
    if (data.size() < 16 || data.size() % 16)
        return QByteArray();
    auto *bytes = reinterpret_cast<uint8_t *>(data.data());
    for (int i = 0; i < data.size(); i += 16)
        d->decryptBlock(bytes + i);
    // With a 24-byte key, padded data of an odd number of 24-byte units was
    // filled with 8 zero bytes up to a block boundary: drop that fill first.
    if (d->keyLength == 24 && data.size() % 48 == 32 && data.endsWith(QByteArray(8, '\0')))
        data.chop(8);
    const int pad = static_cast<signed char>(data.at(data.size() - 1));
    if (pad >= 1 && pad <= data.size() && data.endsWith(QByteArray(pad, char(pad))))
        data.chop(pad);
    return data;
}
