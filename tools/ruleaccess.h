#ifndef RULEACCESS_H
#define RULEACCESS_H

#include <QJsonObject>
#include <QString>

// A rule's access list for people ("allow 192.168.0.0/16, 2 users"), and
// the change that sets one user's password. Passwords travel to the service
// only: never on a command line, never printed.
namespace RuleAccess {

// The access in words: the allowed ranges, the number of users, joined by
// "," when either will do and by "and" when both must hold; empty for a rule
// open to everyone.
QString words(const QJsonObject &rule);
// The same, followed by the user names in parentheses.
QString details(const QJsonObject &rule);
// The rule record as "reverseproxy_change" takes it, with user's password
// set to password (the user added when the rule has none of that name).
QJsonObject withPassword(const QJsonObject &rule, const QString &user, const QString &password);
// Reads a new password: from the terminal without echo, asked twice, or one
// line of standard input when that is no terminal. An error text, empty
// when one was read.
QString readPassword(QString *password);

} // namespace RuleAccess

#endif // RULEACCESS_H
