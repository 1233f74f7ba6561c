#ifndef ZX2UTILS_IDENTIFIER_H
#define ZX2UTILS_IDENTIFIER_H

#include <QString>

// Short identifiers and random codes in the framework's own encodings, which
// other programs store: their output must never change.

// A base-36 identifier folded from the seed's UTF-8 bytes ("{", "-" and "}"
// removed); a fresh random one for an empty seed; empty when nothing is left.
QString ZX2Uuid(const QString &seed);
// The same in base 62 (digits, lower case, upper case).
QString ZX2Uuid62(const QString &seed);
// The framework's base-62 transcription of a text, least significant digit
// first.
QString ZX2ToBase62(const QString &text);
// length characters drawn from digits, upper case and lower case letters.
QString randCode(int length);

#endif // ZX2UTILS_IDENTIFIER_H
