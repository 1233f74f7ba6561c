#ifndef RULETRANSFER_H
#define RULETRANSFER_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The rule table as a file to carry from one service to another:
//   {"format": 1, "time": "<UTC, ISO 8601>", "rules": [<parameter object>, ...]}
// Each rule is its parameter object as "reverseproxy_create" takes it, in rule
// number order, without the number.
namespace RuleTransfer {

const int kFormat = 1;

// The file for the records of "reverseproxy_alload" (by name), as indented JSON.
QByteArray exportDocument(const QJsonObject &rulesByName, const QDateTime &time);

// The rules of a file; an error text (empty when read) otherwise.
QString readDocument(const QByteArray &text, QJsonArray *rules);

} // namespace RuleTransfer

#endif // RULETRANSFER_H
