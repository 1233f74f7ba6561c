#include "ruleview.h"

#include "zx2utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <QVector>

#include <algorithm>

namespace RuleView {

namespace {

const int kColumnGap = 2; // blanks between table columns

QString text(const QJsonObject &object, const char *key)
{
    return toString(object.value(QLatin1String(key))).trimmed();
}

QString withSlash(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path;
}

// Wide (East Asian) characters take two terminal columns; rule names and the
// service's messages are often Chinese.
int displayWidth(const QString &s)
{
    int width = 0;
    for (const QChar c : s) {
        const ushort u = c.unicode();
        const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF)
                          || (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF)
                          || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60)
                          || (u >= 0xFFE0 && u <= 0xFFE6);
        width += wide ? 2 : 1;
    }
    return width;
}

QString padded(const QString &s, int width)
{
    return s + QString(qMax(0, width - displayWidth(s)), QLatin1Char(' '));
}

QString formatTable(const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows)
        for (int i = 0; i < row.size(); ++i) {
            widths.resize(qMax(widths.size(), row.size()));
            widths[i] = qMax(widths[i], displayWidth(row.at(i)));
        }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += padded(row.at(i), widths.at(i) + kColumnGap);
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        out += line + QLatin1Char('\n');
    }
    return out;
}

QString stateOf(int pxyno, const DisabledRules &disabled)
{
    return disabled.contains(pxyno) ? QStringLiteral("disabled: ") + disabled.value(pxyno) : QString();
}

// The rules by number; with backends, a BACKEND column before the state.
QString table(const QJsonObject &rulesByName, const DisabledRules &disabled, const BackendStates *backends)
{
    QVector<QJsonObject> rules;
    for (const QJsonValue &rule : rulesByName)
        rules.append(rule.toObject());
    std::sort(rules.begin(), rules.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return toInt(a.value(QLatin1String("pxyno"))) < toInt(b.value(QLatin1String("pxyno")));
    });
    QStringList header{QStringLiteral("NO"), QStringLiteral("NAME"), QStringLiteral("SOURCE"),
                       QStringLiteral("DESTINATION"), QStringLiteral("STATE")};
    if (backends)
        header.insert(4, QStringLiteral("BACKEND"));
    QVector<QStringList> rows{header};
    for (const QJsonObject &rule : rules) {
        const int pxyno = toInt(rule.value(QLatin1String("pxyno")));
        QStringList row{QString::number(pxyno), text(rule, "name"), sourceUrl(rule), destinationUrl(rule),
                        stateOf(pxyno, disabled)};
        if (backends)
            row.insert(4, backends->value(pxyno));
        rows.append(row);
    }
    return formatTable(rows);
}

} // namespace

DisabledRules disabledRules(const QJsonObject &status)
{
    DisabledRules rules;
    for (const QJsonValue &entry : status.value(QLatin1String("disabled")).toArray()) {
        const QJsonObject rule = entry.toObject();
        rules.insert(toInt(rule.value(QLatin1String("pxyno"))), text(rule, "reason"));
    }
    return rules;
}

QString sourceUrl(const QJsonObject &rule)
{
    const QJsonObject source = rule.value(QLatin1String("source")).toObject();
    const int port = toInt(source.value(QLatin1String("port")));
    const QString host = text(source, "host");
    // Port 0 is the appliance's web port; a rule without a host serves every name.
    QString authority = host.isEmpty() ? QStringLiteral("<appliance>") : host;
    if (port >= 1)
        authority += QLatin1Char(':') + QString::number(port);
    return text(source, "protocol").toLower() + QStringLiteral("://") + authority
           + withSlash(text(source, "path"));
}

QString destinationUrl(const QJsonObject &rule)
{
    const QJsonObject dest = rule.value(QLatin1String("dest")).toObject();
    const QString host = text(dest, "host");
    return text(dest, "protocol").toLower() + QStringLiteral("://")
           + (host.isEmpty() ? QStringLiteral("127.0.0.1") : host) + QLatin1Char(':')
           + QString::number(toInt(dest.value(QLatin1String("port")))) + withSlash(text(dest, "path"));
}

QString rulesTable(const QJsonObject &rulesByName, const DisabledRules &disabled)
{
    return table(rulesByName, disabled, nullptr);
}

QString rulesTable(const QJsonObject &rulesByName, const DisabledRules &disabled, const BackendStates &backends)
{
    return table(rulesByName, disabled, &backends);
}

QString ruleDetails(const QJsonObject &rule, const DisabledRules &disabled)
{
    const int pxyno = toInt(rule.value(QLatin1String("pxyno")));
    const QString state = stateOf(pxyno, disabled);
    QVector<QStringList> rows{{QStringLiteral("number:"), QString::number(pxyno)},
                              {QStringLiteral("name:"), text(rule, "name")},
                              {QStringLiteral("source:"), sourceUrl(rule)},
                              {QStringLiteral("destination:"), destinationUrl(rule)}};
    if (!state.isEmpty())
        rows.append({QStringLiteral("state:"), state});
    // The proxy settings as stored, so that nothing of the rule is hidden.
    const QStringList shown{QStringLiteral("pxyno"), QStringLiteral("name"), QStringLiteral("source"),
                            QStringLiteral("dest")};
    for (auto it = rule.begin(); it != rule.end(); ++it) {
        if (shown.contains(it.key()))
            continue;
        // Anything but text as JSON, so that false, 0 and {} stay what they are.
        const QByteArray json = QJsonDocument(QJsonArray{it.value()}).toJson(QJsonDocument::Compact);
        const QString shownValue = it.value().isString() ? it.value().toString()
                                                         : QString::fromUtf8(json.mid(1, json.size() - 2));
        rows.append({it.key() + QLatin1Char(':'), shownValue});
    }
    return formatTable(rows);
}

QString statusText(const QJsonObject &status)
{
    const QJsonObject reload = status.value(QLatin1String("reload")).toObject();
    QString reloadText = text(reload, "state");
    if (!text(reload, "time").isEmpty())
        reloadText += QStringLiteral(" at ") + text(reload, "time");
    if (!text(reload, "message").isEmpty())
        reloadText += QStringLiteral(": ") + text(reload, "message");
    const QJsonArray disabled = status.value(QLatin1String("disabled")).toArray();
    QVector<QStringList> rows{{QStringLiteral("apache:"), text(status, "apache")},
                              {QStringLiteral("last reload:"), reloadText},
                              {QStringLiteral("disabled rules:"), QString::number(disabled.size())}};
    for (const QJsonValue &entry : disabled) {
        const QJsonObject rule = entry.toObject();
        rows.append({QString(), QString::number(toInt(rule.value(QLatin1String("pxyno")))) + QLatin1Char(' ')
                                    + text(rule, "name") + QStringLiteral(": ") + text(rule, "reason")});
    }
    // The names the appliance answers to, one a line.
    const QJsonArray names = status.value(QLatin1String("names")).toArray();
    for (int i = 0; i < names.size(); ++i)
        rows.append({i == 0 ? QStringLiteral("own names:") : QString(), names.at(i).toString()});
    return formatTable(rows);
}

} // namespace RuleView
