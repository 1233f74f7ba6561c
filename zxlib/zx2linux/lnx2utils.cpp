#include "lnx2utils.h"

#include <apt-pkg/debversion.h>

int cmpVersion(const QString &a, const QString &b)
{
    return debVS.CmpVersion(a.toStdString(), b.toStdString());
}

QJsonObject iniToJsonObject(const QStringList &lines)
{
    return iniToJson(lines);
}

QStringList stringSplit(const QString &text)
{
    QStringList words;
    QString word;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r')) {
            if (!word.isEmpty())
                words.append(word);
            word.clear();
        } else {
            word.append(c);
        }
    }
    if (!word.isEmpty())
        words.append(word);
    return words;
}
