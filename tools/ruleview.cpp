#include "ruleview.h"

#include "ruleaccess.h"
#include "zx2utils.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <QVector>

#include <algorithm>

#include <pwd.h>

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
    // An ACCESS column when a rule is not open to everyone.
    const bool access = std::any_of(rules.cbegin(), rules.cend(),
                                    [](const QJsonObject &rule) { return !RuleAccess::words(rule).isEmpty(); });
    if (access)
        header.insert(4, QStringLiteral("ACCESS"));
    QVector<QStringList> rows{header};
    for (const QJsonObject &rule : rules) {
        const int pxyno = toInt(rule.value(QLatin1String("pxyno")));
        QStringList row{QString::number(pxyno), text(rule, "name"), sourceUrl(rule), destinationUrl(rule),
                        stateOf(pxyno, disabled)};
        if (backends)
            row.insert(4, backends->value(pxyno));
        if (access)
            row.insert(4, RuleAccess::words(rule));
        rows.append(row);
    }
    return formatTable(rows);
}

QString userName(int uid)
{
    if (uid < 0)
        return QStringLiteral("?");
    const passwd *user = ::getpwuid(uid_t(uid));
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

// What an entry's rule leads from and to (what was asked, for a refusal);
// the rule it removed; for an import, how many rules.
QString changeOf(const QJsonObject &entry)
{
    const QJsonObject after = entry.value(QLatin1String("after")).toObject();
    const QJsonObject rule = after.isEmpty() ? entry.value(QLatin1String("before")).toObject() : after;
    if (rule.contains(QLatin1String("rules")))
        return QStringLiteral("%1 rules%2").arg(toInt(rule.value(QLatin1String("rules"))))
            .arg(toBool(rule.value(QLatin1String("replace"))) ? QStringLiteral(", replacing the table") : QString());
    if (!rule.value(QLatin1String("source")).isObject())
        return QString();
    return sourceUrl(rule) + QStringLiteral(" -> ") + destinationUrl(rule);
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
    if (rule.contains(QLatin1String("access")))
        rows.append({QStringLiteral("access:"), RuleAccess::details(rule)});
    // The proxy settings as stored, so that nothing of the rule is hidden.
    const QStringList shown{QStringLiteral("pxyno"), QStringLiteral("name"), QStringLiteral("source"),
                            QStringLiteral("dest"), QStringLiteral("access")};
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

namespace {

// "certificates:" and one row per name: host, kind, state, until when, by
// whom, and why it failed.
void appendCertificateRows(QVector<QStringList> &rows, const QJsonObject &status)
{
    const QJsonArray certificates = status.value(QLatin1String("certificates")).toArray();
    if (certificates.isEmpty())
        return;
    rows.append({QStringLiteral("certificates:"), QString::number(certificates.size())});
    for (const QJsonValue &entry : certificates) {
        const QJsonObject certificate = entry.toObject();
        QString line = text(certificate, "host") + QLatin1Char(' ') + text(certificate, "kind") + QLatin1Char(' ')
                       + text(certificate, "state");
        if (!text(certificate, "notAfter").isEmpty())
            line += QStringLiteral(" until ") + text(certificate, "notAfter");
        if (!text(certificate, "issuer").isEmpty())
            line += QStringLiteral(" (") + text(certificate, "issuer") + QLatin1Char(')');
        if (!text(certificate, "reason").isEmpty())
            line += QStringLiteral(": ") + text(certificate, "reason");
        rows.append({QString(), line});
    }
}

} // namespace

QString certificatesText(const QJsonObject &status)
{
    QVector<QStringList> rows;
    appendCertificateRows(rows, status);
    return rows.isEmpty() ? QString() : QLatin1Char('\n') + formatTable(rows);
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
    QVector<QStringList> rows{{QStringLiteral("version:"), text(status, "version")},
                              {QStringLiteral("apache:"), text(status, "apache")},
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
    appendCertificateRows(rows, status);
    return formatTable(rows);
}

QString auditTable(const QJsonArray &entries)
{
    QVector<QStringList> rows{{QStringLiteral("TIME"), QStringLiteral("USER"), QStringLiteral("PROGRAM"),
                               QStringLiteral("COMMAND"), QStringLiteral("RULE"), QStringLiteral("RESULT"),
                               QStringLiteral("CHANGE")}};
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        const QDateTime time = QDateTime::fromString(text(entry, "time"), Qt::ISODate);
        const int pid = toInt(entry.value(QLatin1String("pid")));
        const int pxyno = toInt(entry.value(QLatin1String("pxyno")));
        const int err = toInt(entry.value(QLatin1String("err")));
        rows.append({time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                    : text(entry, "time"),
                     userName(toInt(entry.value(QLatin1String("uid")), -1)),
                     text(entry, "program") + (pid > 0 ? QStringLiteral("[%1]").arg(pid) : QString()),
                     text(entry, "cmd"),
                     (pxyno > 0 ? QString::number(pxyno) + QLatin1Char(' ') : QString()) + text(entry, "name"),
                     err == 0 || err == 10000 ? QStringLiteral("ok") : QStringLiteral("err %1").arg(err),
                     changeOf(entry)});
    }
    return formatTable(rows);
}

} // namespace RuleView
