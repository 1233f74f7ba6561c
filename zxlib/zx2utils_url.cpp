#include "zx2utils_url.h"

#include <QByteArray>
#include <QStringList>

namespace {

const QString kSchemeSeparator = QStringLiteral("://");

QString hostOrLocalhost(const QString &host)
{
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

// The text after a port's ":": the port up to the next "/", the path after it.
void takePortAndPath(const QString &text, int &port, QString &path)
{
    const int slash = text.indexOf(QLatin1Char('/'));
    port = (slash < 0 ? text : text.left(slash)).toInt();
    if (slash >= 0)
        path = text.mid(slash + 1);
}

// "[address]", "[address]:port" or "[address]/path", brackets dropped.
bool splitBracketedHost(const QString &rest, QString &host, int &port, QString &path)
{
    const int close = rest.indexOf(QLatin1Char(']'));
    if (!rest.startsWith(QLatin1Char('[')) || close < 0)
        return false;
    host = hostOrLocalhost(rest.mid(1, close - 1));
    const QString after = rest.mid(close + 1);
    if (after.startsWith(QLatin1Char(':')))
        takePortAndPath(after.mid(1), port, path);
    else if (after.startsWith(QLatin1Char('/')))
        path = after.mid(1);
    return true;
}

void splitAuthority(const QString &rest, QString &host, int &port, QString &path)
{
    if (splitBracketedHost(rest, host, port, path))
        return;
    const int colon = rest.indexOf(QLatin1Char(':'));
    const int slash = rest.indexOf(QLatin1Char('/'));
    if (colon >= 0 && (slash < 0 || colon < slash)) {
        host = hostOrLocalhost(rest.left(colon));
        takePortAndPath(rest.mid(colon + 1), port, path);
    } else if (slash > 0) {
        host = rest.left(slash);
        path = rest.mid(slash + 1);
    } else if (slash == 0) {
        host = QStringLiteral("localhost");
        path = rest;
    } else {
        // A bare host name.
        host = hostOrLocalhost(rest);
    }
}

QHash<QString, QString> queryPairs(const QString &queryText)
{
    QHash<QString, QString> pairs;
    for (const QString &part : queryText.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const int equals = part.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QByteArray value = QByteArray::fromPercentEncoding(part.mid(equals + 1).toUtf8());
        pairs.insert(part.left(equals), QString::fromLatin1(value.constData()));
    }
    return pairs;
}

} // namespace

QString ZX2UrlProtocol(const QString &url)
{
    const int separator = url.indexOf(kSchemeSeparator);
    return separator > 0 ? url.left(separator) : QString();
}

bool ZX2UrlSplit(const QString &url, QString &protocol, QString &host, int &port, QString &path,
                 QHash<QString, QString> *query)
{
    QString text = url.trimmed();
    const int separator = text.indexOf(kSchemeSeparator);
    if (separator < 0)
        return false;
    protocol = text.left(separator).toLower();
    path = QStringLiteral("");
    QString queryText;
    const int question = text.indexOf(QLatin1Char('?'));
    if (question > 0) {
        queryText = text.mid(question + 1);
        text.truncate(question);
    }
    QString rest = text.mid(separator + kSchemeSeparator.size());
    if (rest.startsWith(QLatin1String("::ffff:")))
        rest.remove(0, 7);
    splitAuthority(rest, host, port, path);
    if (query)
        *query = queryPairs(queryText);
    return true;
}
