#ifndef ZX2UTILS_FORMAT_H
#define ZX2UTILS_FORMAT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Checks of identifiers written by people, the GBK encoding and INI text.

bool ipv4Valid(const QString &text);
bool iqnValid(const QString &text);
// 18-character national identity number, ISO 7064 MOD 11-2 check character.
bool idcardValidate(const QByteArray &number, bool checkBirthDate);
QString GbkToUtf8(const QByteArray &gbk);
QByteArray Utf8ToGbk(const QString &text);
// INI lines to {section: {key: value}}; "#" lines are comments.
QJsonObject iniToJson(const QStringList &lines);

#endif // ZX2UTILS_FORMAT_H
