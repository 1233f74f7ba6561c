#ifndef ZX2FILE_H
#define ZX2FILE_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Whole-file reads and writes, file digests, free names, search and removal.
// Stateless: every operation is static and reports failure by its return
// value only; reads give an empty value for a missing, unreadable or
// malformed file alike, so callers that need the difference test existence.
class ZX2File
{
public:
    ZX2File() = delete;

    static QByteArray readAll(const QString &path);
    static QJsonObject readJsonObject(const QString &path);
    static QJsonArray readJsonArray(const QString &path);
    static bool loadBinary(QByteArray &out, const QString &path);
    static bool loadJson(QJsonObject &out, const QString &path);
    static bool loadText(QString &out, const QString &path, const QString &codecName);

    // The writes return false when the file cannot be opened or the bytes
    // cannot all be written (a full disk, for instance).
    static bool saveText(const QString &text, const QString &path, const QString &codecName);
    static bool saveBinary(const QByteArray &data, const QString &path);
    static bool saveJson(const QString &path, const QJsonValue &value, bool compact);

    // Lower-case hexadecimal MD5; empty when the file cannot be opened.
    static QString toMd5(const QString &path);
    static QString fileMd5(const QString &path);
    static QString toBase64(const QString &path, QString *md5 = nullptr);

    static QString autoRename(const QString &path);
    static QString tempFileName(const QString &prefix, const QString &suffix);
    static QStringList search(const QString &dir, const QStringList &nameFilters, bool recursive);
    static QStringList search(qint64 &totalSize, const QString &dir,
                              const QStringList &nameFilters, bool recursive);
    static bool removeDirs(const QString &dir, bool removeSelf);
    static bool loadResource(const QString &path);

    static bool isUtf8(const char *text);
    static bool isGbk(const char *text);

    // Reserved: file version resources and time stamps are not supported on
    // this platform; version() returns an empty string and setTime() false.
    static QString version(const QString &path, int *major, int *minor, int *patch, int *build);
    static bool setTime(const QString &path, const QDateTime &time);
};

#endif // ZX2FILE_H
