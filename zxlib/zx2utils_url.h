#ifndef ZX2UTILS_URL_H
#define ZX2UTILS_URL_H

#include <QHash>
#include <QString>

// The scheme before the first "://" as written; a null string when there is
// none or it is empty.
QString ZX2UrlProtocol(const QString &url);

// Splits "scheme://host:port/path?query". False (nothing changed) without
// "://". protocol is lower-cased; path has no leading "/" unless the URL has
// no host; port is left alone when the URL gives none; host is "localhost"
// when empty; an IPv4 address in IPv6 form ("::ffff:10.0.0.1") loses its
// prefix and an IPv6 address in brackets is given without them. query, when
// given, receives the percent-decoded key=value pairs.
bool ZX2UrlSplit(const QString &url, QString &protocol, QString &host, int &port, QString &path,
                 QHash<QString, QString> *query = nullptr);

#endif // ZX2UTILS_URL_H
