// Keeps the live site's record of what Apache serves and why on disk, in one
// file, so that every writer and every start read the same truth.
#include "kmservedrecord.h"

#include "kmfiletransaction.h"
#include "kmpaths.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString fileText(const QStringList &lines)
{
    return lines.join(QLatin1Char('\n'));
}

QStringList fileLines(const QJsonValue &text)
{
    const QString joined = text.toString();
    return joined.isEmpty() ? QStringList() : joined.split(QLatin1Char('\n'));
}

QJsonObject goodObject(const KMServedRecord &record)
{
    QJsonArray hosts;
    for (const KMVirtualHostFile &host : record.good.virtualHosts)
        hosts.append(QJsonObject{{QStringLiteral("file"), host.fileName}, {QStringLiteral("text"), fileText(host.lines)}});
    QJsonArray rules;
    for (const QString &rule : record.goodRules)
        rules.append(rule);
    return {{QStringLiteral("http"), fileText(record.good.http)},
            {QStringLiteral("https"), fileText(record.good.https)},
            {QStringLiteral("virtualHosts"), hosts},
            {QStringLiteral("rules"), rules}};
}

void readGood(KMServedRecord &record, const QJsonObject &good)
{
    record.haveGood = true;
    record.good.http = fileLines(good.value(QStringLiteral("http")));
    record.good.https = fileLines(good.value(QStringLiteral("https")));
    for (const QJsonValue &value : good.value(QStringLiteral("virtualHosts")).toArray()) {
        const QJsonObject host = value.toObject();
        const QString name = host.value(QStringLiteral("file")).toString();
        if (KMApacheConf::virtualHostPort(name) > 0)
            record.good.virtualHosts.append({name, fileLines(host.value(QStringLiteral("text"))), {}});
    }
    for (const QJsonValue &rule : good.value(QStringLiteral("rules")).toArray())
        record.goodRules.insert(rule.toString());
}

QJsonObject readObject(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

} // namespace

QString KMServedRecord::version(const KMRule &rule)
{
    const QByteArray text = QByteArray::number(rule.pxyno) + ' ' + QJsonDocument(rule.params).toJson(QJsonDocument::Compact);
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex());
}

QMap<int, QString> KMServedRecord::holding(const QList<KMRule> &rules) const
{
    QMap<int, QString> out;
    if (leftOut.isEmpty())
        return out;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const KMRule &rule : rules) {
        const auto entry = leftOut.constFind(rule.pxyno);
        if (entry == leftOut.cend() || entry->version != version(rule))
            continue;
        if (entry->retryAt <= 0 || entry->retryAt > now) // else its port is looked at again
            out.insert(rule.pxyno, entry->reason);
    }
    return out;
}

void KMServedRecord::forgetStale(const QList<KMRule> &rules)
{
    QMap<int, KMLeftOut> kept;
    for (const KMRule &rule : rules) {
        const auto entry = leftOut.constFind(rule.pxyno);
        if (entry != leftOut.cend() && entry->version == version(rule))
            kept.insert(rule.pxyno, *entry);
    }
    leftOut = kept;
}

QSet<int> KMServedRecord::goodPorts() const
{
    QSet<int> ports;
    for (const KMVirtualHostFile &host : good.virtualHosts)
        ports.insert(KMApacheConf::virtualHostPort(host.fileName));
    return ports;
}

bool KMServedRecord::load()
{
    *this = KMServedRecord();
    const QJsonObject record = readObject(orbaPath(QLatin1String(kReverseproxyServed)));
    for (const QJsonValue &value : record.value(QStringLiteral("leftOut")).toArray()) {
        const QJsonObject entry = value.toObject();
        leftOut.insert(entry.value(QStringLiteral("pxyno")).toInt(),
                       {entry.value(QStringLiteral("version")).toString(), entry.value(QStringLiteral("reason")).toString(),
                        qint64(entry.value(QStringLiteral("retryAt")).toDouble()),
                        entry.value(QStringLiteral("strikes")).toInt(), entry.value(QStringLiteral("screened")).toBool()});
    }
    const QJsonObject lastGood = readObject(orbaPath(QLatin1String(kReverseproxyLastGood)));
    if (!lastGood.isEmpty())
        readGood(*this, lastGood);
    return !record.isEmpty();
}

bool KMServedRecord::save(QString &failure, bool withGood) const
{
    QJsonArray out;
    for (auto entry = leftOut.cbegin(); entry != leftOut.cend(); ++entry)
        out.append(QJsonObject{{QStringLiteral("pxyno"), entry.key()},
                               {QStringLiteral("version"), entry->version},
                               {QStringLiteral("reason"), entry->reason},
                               {QStringLiteral("retryAt"), double(entry->retryAt)},
                               {QStringLiteral("strikes"), entry->strikes},
                               {QStringLiteral("screened"), entry->screened}});
    KMFileTransaction transaction;
    const QString served = orbaPath(QLatin1String(kReverseproxyServed));
    const QString goodPath = orbaPath(QLatin1String(kReverseproxyLastGood));
    const bool staged = QDir().mkpath(QFileInfo(served).absolutePath())
                        && transaction.stage(served, QJsonDocument(QJsonObject{{QStringLiteral("leftOut"), out}}).toJson(QJsonDocument::Compact))
                        && (!withGood || !haveGood || transaction.stage(goodPath, QJsonDocument(goodObject(*this)).toJson(QJsonDocument::Compact)));
    if (staged && transaction.apply()) {
        transaction.finish();
        return true;
    }
    failure = QStringLiteral("cannot write ") + served;
    return false;
}
