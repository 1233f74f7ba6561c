#include "zx2utils_string.h"

namespace {

// Drops leading characters one at a time while text starts with separator.
template <typename S>
void skipSeparators(S &text, const S &separator)
{
    while (!text.isEmpty() && text.startsWith(separator))
        text.remove(0, 1);
}

template <typename S>
S takeToken(S &text, const S &separator)
{
    // An empty separator occurs everywhere and would never let the text shrink.
    if (separator.isEmpty()) {
        const S all = text;
        text.clear();
        return all;
    }
    skipSeparators(text, separator);
    const int index = text.indexOf(separator);
    if (index < 0) {
        const S all = text;
        text.clear();
        return all;
    }
    const S token = text.left(index);
    text.remove(0, index + 1);
    skipSeparators(text, separator);
    return token;
}

template <typename S>
S takeTokens(S &text, int count, const S &separator)
{
    S token;
    for (int i = 0; i < count; ++i)
        token = takeToken(text, separator);
    return token;
}

} // namespace

QStringList splitQuote(const QString &text, QChar separator, Qt::SplitBehavior behavior)
{
    QStringList parts;
    QString token;
    bool inQuotes = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
        } else if (c != separator || inQuotes) {
            token.append(c);
        } else {
            if (behavior == Qt::KeepEmptyParts || !token.isEmpty())
                parts.append(token);
            token.clear();
        }
    }
    if (!token.isEmpty())
        parts.append(token);
    return parts;
}

QString takeFirstString(QString &text, const QString &separator)
{
    return takeToken(text, separator);
}

QString takeFirstString(QString &text, int count, const QString &separator)
{
    return takeTokens(text, count, separator);
}

QByteArray takeFirstString(QByteArray &text, const QByteArray &separator)
{
    return takeToken(text, separator);
}

QByteArray takeFirstString(QByteArray &text, int count, const QByteArray &separator)
{
    return takeTokens(text, count, separator);
}

QString firstString(const QString &text, const QString &separator)
{
    const QStringList parts = text.split(separator, Qt::SkipEmptyParts, Qt::CaseSensitive);
    return parts.isEmpty() ? QString() : parts.first();
}

QString lastString(const QString &text, const QString &separator)
{
    const QStringList parts = text.split(separator, Qt::SkipEmptyParts, Qt::CaseSensitive);
    return parts.isEmpty() ? QString() : parts.last();
}

QString takeKeyValue(const QString &line, QString &value)
{
    const int equals = line.indexOf(QLatin1Char('='));
    if (equals < 0)
        return line;
    QString text = line.mid(equals + 1).trimmed();
    if (text.size() > 1 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
        text = text.mid(1, text.size() - 2);
    text.replace(QLatin1String("\\\""), QLatin1String("\""));
    text.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    value = text;
    return line.left(equals).trimmed();
}
