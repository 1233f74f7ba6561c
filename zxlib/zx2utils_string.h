#ifndef ZX2UTILS_STRING_H
#define ZX2UTILS_STRING_H

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

// Splitting text into tokens and key-value pairs.

// Splits at separator except inside double quotes (the quotes are dropped).
// A trailing empty part is never added.
QStringList splitQuote(const QString &text, QChar separator,
                       Qt::SplitBehavior behavior = Qt::KeepEmptyParts);
// Removes and returns the first token of text, skipping leading separators
// before and after it. The count form takes count tokens and returns the last.
QString takeFirstString(QString &text, const QString &separator);
QString takeFirstString(QString &text, int count, const QString &separator);
QByteArray takeFirstString(QByteArray &text, const QByteArray &separator);
QByteArray takeFirstString(QByteArray &text, int count, const QByteArray &separator);
// The first / last non-empty part of text split at separator.
QString firstString(const QString &text, const QString &separator);
QString lastString(const QString &text, const QString &separator);
// Splits "key = value": returns the trimmed key and sets value (trimmed,
// surrounding quotes removed, \" and \\ unescaped). Without "=" the whole line
// is the key and value is left alone.
QString takeKeyValue(const QString &line, QString &value);

#endif // ZX2UTILS_STRING_H
