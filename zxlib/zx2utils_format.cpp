#include "zx2utils_format.h"

#include <QDate>
#include <QTextCodec>

#include <algorithm>

namespace {

// Looked up once; may be null on a platform without the codec.
QTextCodec *const kGbkCodec = QTextCodec::codecForName("GBK");

bool isDigits(const QString &text)
{
    return !text.isEmpty()
           && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

} // namespace

bool ipv4Valid(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String("0"))
            continue;
        // Digits only: a sign or blanks are no part of an address.
        const int number = part.toInt();
        if (!isDigits(part) || number < 1 || number > 255)
            return false;
    }
    return true;
}

bool iqnValid(const QString &text)
{
    static const QString kIqnCharacters = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789.:-");
    for (const QChar c : text) {
        if (!kIqnCharacters.contains(c))
            return false;
    }
    if (!text.startsWith(QLatin1String("iqn.")) || text.mid(4, 4).toInt() <= 1900)
        return false;
    if (text.mid(8, 1) != QLatin1String("-") || text.mid(11, 1) != QLatin1String("."))
        return false;
    const int month = text.mid(9, 2).toInt();
    return month >= 1 && month <= 12;
}

bool idcardValidate(const QByteArray &number, bool checkBirthDate)
{
    static const int kWeights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    static const char kCheckChars[] = "10X98765432";
    const QByteArray id = number.trimmed().toUpper();
    if (id.size() != 18)
        return false;
    int sum = 0;
    for (int i = 0; i < 17; ++i) {
        // A letter among the first 17 would otherwise weigh in as a large "digit".
        if (id.at(i) < '0' || id.at(i) > '9')
            return false;
        sum += (id.at(i) - '0') * kWeights[i];
    }
    if (id.at(17) != kCheckChars[sum % 11])
        return false;
    return !checkBirthDate || QDate(id.mid(6, 4).toInt(), id.mid(10, 2).toInt(), id.mid(12, 2).toInt()).isValid();
}

// Without the codec the text cannot be converted faithfully; give nothing
// rather than wrongly decoded text.
QString GbkToUtf8(const QByteArray &gbk)
{
    return kGbkCodec ? kGbkCodec->toUnicode(gbk) : QString();
}

QByteArray Utf8ToGbk(const QString &text)
{
    return kGbkCodec ? kGbkCodec->fromUnicode(text) : QByteArray();
}

QJsonObject iniToJson(const QStringList &lines)
{
    QJsonObject result;
    QString sectionName;
    QJsonObject section;
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int close = line.indexOf(QLatin1Char(']'));
        if (line.startsWith(QLatin1Char('[')) && close > 0) {
            if (!sectionName.isEmpty())
                result.insert(sectionName, section);
            sectionName = line.mid(1, close - 1).trimmed();
            section = QJsonObject();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (sectionName.isEmpty() || equals < 0)
            continue;
        section.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    if (!sectionName.isEmpty())
        result.insert(sectionName, section);
    return result;
}
