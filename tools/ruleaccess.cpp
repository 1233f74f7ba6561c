#include "ruleaccess.h"

#include <QJsonArray>
#include <QStringList>
#include <QTextStream>

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace RuleAccess {

namespace {

QJsonObject accessOf(const QJsonObject &rule)
{
    return rule.value(QLatin1String("access")).toObject();
}

QString readLine()
{
    QTextStream in(stdin);
    return in.readLine();
}

// One line of the terminal with its echo off; the echo comes back whatever
// happens.
QString readHidden(const char *prompt)
{
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    termios hidden = saved;
    hidden.c_lflag &= tcflag_t(~ECHO);
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    const QString line = readLine();
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return line;
}

} // namespace

QString words(const QJsonObject &rule)
{
    const QJsonObject access = accessOf(rule);
    QStringList ranges;
    for (const QJsonValue &range : access.value(QLatin1String("allow")).toArray())
        ranges << range.toString();
    const int users = access.value(QLatin1String("users")).toArray().size();
    QStringList parts;
    if (!ranges.isEmpty())
        parts << QStringLiteral("allow ") + ranges.join(QLatin1Char(' '));
    if (users > 0)
        parts << QStringLiteral("%1 %2").arg(users).arg(users == 1 ? QStringLiteral("user") : QStringLiteral("users"));
    const bool all = access.value(QLatin1String("satisfy")).toString() == QLatin1String("all");
    return parts.join(all ? QStringLiteral(" and ") : QStringLiteral(", "));
}

QString details(const QJsonObject &rule)
{
    QStringList names;
    for (const QJsonValue &user : accessOf(rule).value(QLatin1String("users")).toArray())
        names << user.toObject().value(QLatin1String("name")).toString();
    const QString text = words(rule);
    return names.isEmpty() ? text : text + QStringLiteral(" (") + names.join(QStringLiteral(", ")) + QLatin1Char(')');
}

QJsonObject withPassword(const QJsonObject &rule, const QString &user, const QString &password)
{
    QJsonObject access = accessOf(rule);
    QJsonArray users = access.value(QLatin1String("users")).toArray();
    const QJsonObject entry{{QStringLiteral("name"), user}, {QStringLiteral("password"), password}};
    int found = -1;
    for (int i = 0; i < users.size() && found < 0; ++i)
        found = users.at(i).toObject().value(QLatin1String("name")).toString() == user ? i : -1;
    if (found < 0)
        users.append(entry);
    else
        users.replace(found, entry);
    access.insert(QStringLiteral("users"), users);
    QJsonObject changed = rule;
    changed.insert(QStringLiteral("access"), access);
    return changed;
}

QString readPassword(QString *password)
{
    if (!::isatty(STDIN_FILENO)) {
        *password = readLine();
        return password->isEmpty() ? QStringLiteral("no password on standard input") : QString();
    }
    *password = readHidden("New password: ");
    if (password->isEmpty())
        return QStringLiteral("empty password: nothing changed");
    if (readHidden("Retype new password: ") != *password)
        return QStringLiteral("the passwords do not match: nothing changed");
    return QString();
}

} // namespace RuleAccess
