#include "kmownnames.h"

#include "kmappliance.h"
#include "zx2file.h"
#include "zx2utils.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <mutex>

namespace {

const int kApacheDumpTimeout = 10000; // ms; Apache reads its configuration at once

struct OwnSet
{
    QStringList sorted;
    QSet<QString> exact;
    QStringList below; // ".domain" of each "*." name
};

std::mutex g_lock;
QStringList g_configured;
std::shared_ptr<const OwnSet> g_current;

// A Host as compared: letter case folded, the port and final dots dropped;
// an IPv6 literal keeps its brackets when it had them.
QString comparable(const QString &host)
{
    QString name = host.trimmed().toLower();
    if (name.startsWith(QLatin1Char('['))) {
        const int end = name.indexOf(QLatin1Char(']'));
        return end < 0 ? name : name.left(end + 1);
    }
    if (name.count(QLatin1Char(':')) == 1)
        name = name.left(name.indexOf(QLatin1Char(':')));
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

// The set; the names of the appliance's own site only when askApache.
std::shared_ptr<const OwnSet> compute(bool askApache, const std::atomic_bool *cancel)
{
    const QString hostName = QHostInfo::localHostName().toLower();
    QStringList names = {QStringLiteral("localhost"), QStringLiteral("*.localhost")};
    if (!hostName.isEmpty()) {
        names << hostName << hostName + QStringLiteral(".local");
        if (!QHostInfo::localDomainName().isEmpty())
            names << hostName + QLatin1Char('.') + QHostInfo::localDomainName();
        names << KMOwnNames::qualifiedNames(ZX2File::readAll(QStringLiteral("/etc/hosts")), hostName);
    }
    for (const QString &ip : KMAppliance::localIPs()) {
        QHostAddress address(ip);
        address.setScopeId(QString());
        const QString plain = address.toString();
        names << plain;
        if (address.protocol() == QAbstractSocket::IPv6Protocol)
            names << QLatin1Char('[') + plain + QLatin1Char(']');
    }
    QString dump;
    if (askApache
        && cmdExecute(dump, {QStringLiteral("apache2ctl"), QStringLiteral("-S")}, kApacheDumpTimeout, cancel) == 0)
        names << KMOwnNames::siteNames(dump.toUtf8(), KMAppliance::webPorts());
    {
        std::lock_guard<std::mutex> locker(g_lock);
        names << g_configured;
    }
    // What a Host header can spell: names in their ASCII form, addresses;
    // anything else (a name Apache matches by pattern) cannot be compared.
    static const QRegularExpression spelling(QStringLiteral("^(?:\\*\\.)?[-.0-9_a-z:\\[\\]]+$"));
    auto set = std::make_shared<OwnSet>();
    for (const QString &name : qAsConst(names)) {
        QString key = comparable(name);
        const bool wildcard = key.startsWith(QLatin1String("*."));
        if (!key.contains(QLatin1Char(':')))
            key = (wildcard ? QStringLiteral("*.") : QString())
                  + QString::fromLatin1(QUrl::toAce(wildcard ? key.mid(2) : key)).toLower();
        if (!spelling.match(key).hasMatch()
            || (wildcard ? set->below.contains(key.mid(1)) : set->exact.contains(key)))
            continue;
        if (wildcard)
            set->below << key.mid(1);
        else
            set->exact.insert(key);
        set->sorted << key;
    }
    std::sort(set->sorted.begin(), set->sorted.end());
    return set;
}

std::shared_ptr<const OwnSet> current()
{
    {
        std::lock_guard<std::mutex> locker(g_lock);
        if (g_current)
            return g_current;
    }
    // Before any refresh (the generator used on its own): no program runs.
    std::shared_ptr<const OwnSet> set = compute(false, nullptr);
    std::lock_guard<std::mutex> locker(g_lock);
    if (!g_current)
        g_current = set;
    return g_current;
}

bool endsBelow(const QString &name, const QString &below)
{
    return name.size() > below.size() && name.endsWith(below);
}

} // namespace

void KMOwnNames::configure(const QStringList &names)
{
    std::lock_guard<std::mutex> locker(g_lock);
    g_configured = names;
}

void KMOwnNames::refresh(const std::atomic_bool *cancel)
{
    std::shared_ptr<const OwnSet> set = compute(true, cancel);
    std::lock_guard<std::mutex> locker(g_lock);
    g_current = set;
}

QStringList KMOwnNames::names()
{
    return current()->sorted;
}

bool KMOwnNames::contains(const QString &host)
{
    const auto set = current();
    const QString name = comparable(host);
    return set->exact.contains(name)
           || std::any_of(set->below.cbegin(), set->below.cend(),
                          [&](const QString &below) { return endsBelow(name, below); });
}

bool KMOwnNames::covered(const QString &wildcard)
{
    const QString key = comparable(wildcard);
    if (!key.startsWith(QLatin1String("*.")))
        return false;
    const QString below = key.mid(1);
    const auto set = current();
    return std::any_of(set->exact.cbegin(), set->exact.cend(),
                       [&](const QString &name) { return endsBelow(name, below); })
           || std::any_of(set->below.cbegin(), set->below.cend(), [&](const QString &own) {
                  return own.endsWith(below) || below.endsWith(own);
              });
}

QString KMOwnNames::hostPattern()
{
    const auto set = current();
    QStringList alternatives;
    for (const QString &name : set->sorted) {
        alternatives << (name.startsWith(QLatin1String("*."))
                             ? QStringLiteral("[^.:/]+(?:\\.[^.:/]+)*") + QRegularExpression::escape(name.mid(1))
                             : QRegularExpression::escape(name));
    }
    return QStringLiteral("^(?:") + alternatives.join(QLatin1Char('|')) + QStringLiteral(")\\.?(?::[0-9]*)?$");
}

QStringList KMOwnNames::siteNames(const QByteArray &dump, const KMAppliancePorts &ports)
{
    // "<address>:<port>   <name> (<file>:<line>)" for a port's only virtual
    // host, "port <port> namevhost <name> (<file>:<line>)" for each of a
    // shared port's; the aliases are read where the virtual host begins.
    static const QRegularExpression single(QStringLiteral("^\\S*:([0-9]+)\\s+(\\S+) \\((.+):([0-9]+)\\)\\s*$"));
    static const QRegularExpression named(QStringLiteral("^\\s+port ([0-9]+) namevhost (\\S+) \\((.+):([0-9]+)\\)\\s*$"));
    QStringList names;
    QSet<QString> read;
    for (const QString &line : QString::fromUtf8(dump).split(QLatin1Char('\n'))) {
        QRegularExpressionMatch match = single.match(line);
        if (!match.hasMatch())
            match = named.match(line);
        if (!match.hasMatch() || !ports.isWebPort(match.captured(1).toInt()))
            continue;
        names << match.captured(2);
        const QString at = match.captured(3) + QLatin1Char(':') + match.captured(4);
        if (!read.contains(at)) {
            read.insert(at);
            names << namesOfSite(ZX2File::readAll(match.captured(3)), match.captured(4).toInt());
        }
    }
    return names;
}

QStringList KMOwnNames::namesOfSite(const QByteArray &text, int line)
{
    static const QRegularExpression directive(QStringLiteral("^\\s*(?:ServerName|ServerAlias)\\s+(.*)$"),
                                              QRegularExpression::CaseInsensitiveOption);
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    QStringList names;
    for (int i = line; i < lines.size() && !lines.at(i).trimmed().startsWith(QLatin1String("</VirtualHost"),
                                                                             Qt::CaseInsensitive); ++i) {
        const QRegularExpressionMatch match = directive.match(lines.at(i));
        for (QString name : match.captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            // ServerName may name a scheme and a port.
            name = name.mid(name.indexOf(QLatin1String("://")) < 0 ? 0 : name.indexOf(QLatin1String("://")) + 3);
            names << name;
        }
    }
    return names;
}

QStringList KMOwnNames::qualifiedNames(const QByteArray &hosts, const QString &hostName)
{
    QStringList names;
    for (const QByteArray &raw : hosts.split('\n')) {
        const QByteArray line = raw.left(raw.indexOf('#') < 0 ? raw.size() : raw.indexOf('#'));
        const QStringList fields = QString::fromUtf8(line).toLower().simplified().split(QLatin1Char(' '),
                                                                                      Qt::SkipEmptyParts);
        if (fields.size() < 2 || !fields.mid(1).contains(hostName.toLower()))
            continue;
        for (const QString &name : fields.mid(1)) {
            if (name.contains(QLatin1Char('.')))
                names << name;
        }
    }
    return names;
}
