#include "ruletransfer.h"

#include "zx2utils.h"

#include <QJsonDocument>
#include <QVector>

#include <algorithm>

namespace RuleTransfer {

namespace {

const QString kPxyno = QStringLiteral("pxyno");

} // namespace

QByteArray exportDocument(const QJsonObject &rulesByName, const QDateTime &time)
{
    QVector<QJsonObject> records;
    for (const QJsonValue &record : rulesByName)
        records.append(record.toObject());
    std::sort(records.begin(), records.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return toInt(a.value(kPxyno)) < toInt(b.value(kPxyno));
    });
    QJsonArray rules;
    for (QJsonObject record : qAsConst(records)) {
        record.remove(kPxyno); // the importing service numbers its rules itself
        rules.append(record);
    }
    const QJsonObject document{{QStringLiteral("format"), kFormat},
                               {QStringLiteral("time"), time.toUTC().toString(Qt::ISODate)},
                               {QStringLiteral("rules"), rules}};
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

QString readDocument(const QByteArray &text, QJsonArray *rules)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
    const QJsonObject object = document.object();
    if (object.value(QStringLiteral("format")) != QJsonValue(kFormat))
        return QStringLiteral("not a rule export of format %1").arg(kFormat);
    if (!object.value(QStringLiteral("rules")).isArray())
        return QStringLiteral("no \"rules\" array");
    *rules = object.value(QStringLiteral("rules")).toArray();
    return QString();
}

} // namespace RuleTransfer
