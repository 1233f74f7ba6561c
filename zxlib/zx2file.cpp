#include "zx2file.h"

#include "zx2utils_digest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QResource>
#include <QTextCodec>
#include <QTextStream>

namespace {

// A codec name the registry does not know leaves the stream on its default.
void applyCodec(QTextStream &stream, const QString &codecName)
{
    if (codecName.isEmpty())
        return;
    if (QTextCodec *codec = QTextCodec::codecForName(codecName.toLatin1()))
        stream.setCodec(codec);
}

bool makeParentDir(const QString &path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

// Flushes and closes; false when the device refused any of the bytes.
bool closeChecked(QFile &file)
{
    const bool flushed = file.flush();
    file.close();
    return flushed && file.error() == QFileDevice::NoError;
}

} // namespace

QByteArray ZX2File::readAll(const QString &path)
{
    QByteArray bytes;
    if (!loadBinary(bytes, path) || bytes.isNull())
        return QByteArray("");
    return bytes;
}

QJsonObject ZX2File::readJsonObject(const QString &path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

QJsonArray ZX2File::readJsonArray(const QString &path)
{
    return QJsonDocument::fromJson(readAll(path)).array();
}

bool ZX2File::loadBinary(QByteArray &out, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    out = file.readAll();
    return true;
}

bool ZX2File::loadJson(QJsonObject &out, const QString &path)
{
    QByteArray bytes;
    if (!loadBinary(bytes, path))
        return false;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return false;
    out = doc.object();
    return true;
}

bool ZX2File::loadText(QString &out, const QString &path, const QString &codecName)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    applyCodec(stream, codecName);
    out = stream.readAll();
    return true;
}

bool ZX2File::saveText(const QString &text, const QString &path, const QString &codecName)
{
    if (path.contains(QLatin1Char('/')))
        makeParentDir(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    applyCodec(stream, codecName);
    stream << text;
    stream.flush();
    const bool streamed = stream.status() == QTextStream::Ok;
    return closeChecked(file) && streamed;
}

bool ZX2File::saveBinary(const QByteArray &data, const QString &path)
{
    makeParentDir(path);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(data) == data.size();
    return closeChecked(file) && written;
}

bool ZX2File::saveJson(const QString &path, const QJsonValue &value, bool compact)
{
    if (!makeParentDir(path))
        return false;
    QJsonDocument doc;
    if (value.isObject())
        doc.setObject(value.toObject());
    else if (value.isArray())
        doc.setArray(value.toArray());
    else
        return false;
    return saveBinary(doc.toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented), path);
}

QString ZX2File::toMd5(const QString &path)
{
    return QString::fromLatin1(fileMd5hex(path));
}

QString ZX2File::fileMd5(const QString &path)
{
    return toMd5(path);
}

QString ZX2File::toBase64(const QString &path, QString *md5)
{
    QByteArray bytes;
    if (!loadBinary(bytes, path))
        return QString();
    if (md5)
        *md5 = QString::fromLatin1(md5hex(bytes));
    return QString::fromLatin1(bytes.toBase64());
}

QString ZX2File::autoRename(const QString &path)
{
    const QFileInfo info(path);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix();
    const QDir dir = info.absoluteDir();
    QString candidate = info.absoluteFilePath();
    for (int n = 2; QFileInfo::exists(candidate); ++n) {
        QString name = base + QLatin1Char('(') + QString::number(n) + QLatin1Char(')');
        if (!suffix.isEmpty())
            name += QLatin1Char('.') + suffix;
        candidate = dir.absoluteFilePath(name);
    }
    return candidate;
}

QString ZX2File::tempFileName(const QString &prefix, const QString &suffix)
{
    const QDir tempDir(QDir::tempPath());
    quint32 number = QRandomGenerator::global()->generate();
    for (;; ++number) {
        QString name = prefix + QString::number(number);
        if (!suffix.isEmpty())
            name += QLatin1Char('.') + suffix;
        const QString candidate = tempDir.absoluteFilePath(name);
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

QStringList ZX2File::search(const QString &dir, const QStringList &nameFilters, bool recursive)
{
    qint64 totalSize = 0;
    return search(totalSize, dir, nameFilters, recursive);
}

QStringList ZX2File::search(qint64 &totalSize, const QString &dir,
                            const QStringList &nameFilters, bool recursive)
{
    QStringList found;
    const QDir base(dir);
    if (recursive) {
        // Linked directories are not entered: a link cycle would never end.
        const QStringList subdirs =
            base.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (const QString &name : subdirs)
            found += search(totalSize, base.filePath(name), nameFilters, recursive);
    }
    const QStringList filters = nameFilters.isEmpty()
        ? QStringList{QStringLiteral("*.*"), QStringLiteral("*")} : nameFilters;
    const QFileInfoList files = base.entryInfoList(filters, QDir::Files, QDir::Name);
    for (const QFileInfo &file : files) {
        found << file.absoluteFilePath();
        totalSize += file.size();
    }
    return found;
}

bool ZX2File::removeDirs(const QString &dir, bool removeSelf)
{
    const QFileInfo self(dir);
    if (!self.exists())
        return true;
    const QDir base(dir);
    const QFileInfoList entries = base.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::Readable | QDir::Writable
            | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        // A link is removed as a link, never followed out of the tree.
        if (entry.isDir() && !entry.isSymLink())
            removeDirs(entry.absoluteFilePath(), true);
        else
            QFile::remove(entry.absoluteFilePath());
    }
    // Resolved against the working directory, so a relative top-level path
    // goes as well.
    if (removeSelf)
        QDir().rmdir(self.absoluteFilePath());
    return !QFileInfo::exists(dir);
}

bool ZX2File::loadResource(const QString &path)
{
    QString file = path;
    if (path.trimmed().isEmpty() || !QFileInfo::exists(path))
        file = QCoreApplication::applicationDirPath() + QLatin1Char('/') + path;
    if (!QFileInfo::exists(file))
        return false;
    return QResource::registerResource(file, QStringLiteral("/"));
}

bool ZX2File::isUtf8(const char *text)
{
    int pending = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        const unsigned char c = *p;
        if (pending > 0) {
            if (c < 0x80 || c > 0xBF)
                return false;
            --pending;
        } else if (c >= 0x80) {
            if (c <= 0xBF)
                return false;
            if (c <= 0xDF)
                pending = 1;
            else if (c <= 0xEF)
                pending = 2;
            else if (c <= 0xF7)
                pending = 3;
            else if (c == 0xFC || c == 0xFD)
                pending = 5;
            else
                pending = 4;
        }
    }
    return pending == 0;
}

bool ZX2File::isGbk(const char *text)
{
    bool expectSecond = false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        const unsigned char c = *p;
        if (expectSecond) {
            if (c < 0x40 || c > 0xFE)
                return false;
            expectSecond = false;
        } else if (c >= 0x80) {
            if (c == 0x80 || c == 0xFF)
                return false;
            expectSecond = true;
        }
    }
    return !expectSecond;
}

QString ZX2File::version(const QString &, int *, int *, int *, int *)
{
    return QString();
}

bool ZX2File::setTime(const QString &, const QDateTime &)
{
    return false;
}
