// toDateTime on arbitrary texts, JSON values and serial numbers.
//
// The text is read as UTF-8, as Latin-1 and as UTF-16 so that both short
// ASCII texts (the lengths the parser picks formats by) and texts with any
// code unit at the tested indexes come up. A text whose length has no
// format must give the invalid date-time.
#include "zx2utils.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QSet>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void parse(const QString &text)
{
    static const QSet<int> withoutFormat = {0, 3, 9, 11, 13, 15, 17, 18};
    const QDateTime result = toDateTime(text);
    if (withoutFormat.contains(text.size()))
        check(!result.isValid(), "a text of a length without format gave a valid date-time");
    check(toDateTime(QJsonValue(text)) == result, "JSON string parsed differently from the text");
    toDate(QJsonValue(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    parse(QString::fromUtf8(bytes, int(size)));
    parse(QString::fromLatin1(bytes, int(size)));
    parse(QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes), int(size / 2)));
    if (size >= sizeof(double)) {
        double serial;
        std::memcpy(&serial, data, sizeof serial);
        toDateTime(serial);
        toDateTime(QJsonValue(serial));
    }
    return 0;
}
