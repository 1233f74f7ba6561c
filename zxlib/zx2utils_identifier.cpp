#include "zx2utils_identifier.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QUuid>

#include <cstring>

namespace {

const char kBase36Digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
const char kBase62Digits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char kRandomCodeDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

QByteArray withoutBracesAndHyphens(QByteArray bytes)
{
    bytes.replace('{', QByteArray()).replace('-', QByteArray()).replace('}', QByteArray());
    return bytes;
}

// Each byte's code, taken as a signed 8-bit value, folded in decimal steps
// with 64-bit wrap-around.
quint64 foldBytes(const QByteArray &bytes)
{
    quint64 value = 0;
    for (const char byte : bytes)
        value = value * 10 + quint64(qint64(qint8(byte)));
    return value;
}

QString inBase(quint64 value, const char *digits, quint64 base)
{
    QString text;
    for (; value > 0; value /= base)
        text.prepend(QLatin1Char(digits[value % base]));
    return text;
}

QString seededIdentifier(const QString &seed, const char *digits, quint64 base)
{
    const QByteArray source = seed.isEmpty() ? QUuid::createUuid().toByteArray() : seed.toUtf8();
    const QByteArray bytes = withoutBracesAndHyphens(source);
    return bytes.isEmpty() ? QString() : inBase(foldBytes(bytes), digits, base);
}

} // namespace

QString ZX2Uuid(const QString &seed)
{
    return seededIdentifier(seed, kBase36Digits, 36);
}

QString ZX2Uuid62(const QString &seed)
{
    return seededIdentifier(seed, kBase62Digits, 62);
}

QString ZX2ToBase62(const QString &text)
{
    const QByteArray bytes = withoutBracesAndHyphens(text.trimmed().toUtf8());
    QString out;
    quint64 carry = 0;
    for (const char byte : bytes) {
        const char *found = byte ? strchr(kBase62Digits, byte) : nullptr;
        if (!found)
            continue;
        carry = carry * 10 + quint64(found - kBase62Digits);
        for (; carry >= 62; carry /= 62)
            out += QLatin1Char(kBase62Digits[carry % 62]);
    }
    for (; carry > 0; carry /= 62)
        out += QLatin1Char(kBase62Digits[carry % 62]);
    return out;
}

QString randCode(int length)
{
    QString code;
    for (int i = 0; i < length; ++i) {
        const quint64 r = QRandomGenerator::global()->generate();
        code += QLatin1Char(kRandomCodeDigits[(r * 62) >> 32]);
    }
    return code;
}
