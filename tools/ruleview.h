#ifndef RULEVIEW_H
#define RULEVIEW_H

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

// Readable text for the answers of the reverse-proxy service: rule records of
// "reverseproxy_alload" / "reverseproxy_acquit", the "results" of
// "reverseproxy_status" and of "reverseproxy_log".
namespace RuleView {

// Rule number -> reason, for the rules the status lists as disabled.
using DisabledRules = QMap<int, QString>;

DisabledRules disabledRules(const QJsonObject &status);

// The URL a rule listens on: its source host, or "<appliance>" for a rule
// that serves every name; no port for the appliance's web port (port 0).
QString sourceUrl(const QJsonObject &rule);
// The URL a rule forwards to, as the generated Apache configuration has it.
QString destinationUrl(const QJsonObject &rule);

// Rule number -> how its back end answered ("up 12 ms", "down: timeout").
using BackendStates = QMap<int, QString>;

// One line per rule, ordered by number, under a header line.
QString rulesTable(const QJsonObject &rulesByName, const DisabledRules &disabled);
// The same with a BACKEND column before the state.
QString rulesTable(const QJsonObject &rulesByName, const DisabledRules &disabled,
                   const BackendStates &backends);
// Every field of one rule, one per line.
QString ruleDetails(const QJsonObject &rule, const DisabledRules &disabled);
QString statusText(const QJsonObject &status);
// The entries of "reverseproxy_log", one line each in the order given, under
// a header line: the local time, the user (the uid's name as this system
// knows it now), the program and its process, the command, the rule, the
// outcome and the rule's source and destination (or what was imported).
QString auditTable(const QJsonArray &entries);
// The certificate of each https name of the status: a "certificates:" line
// and one line per name; empty when the status lists none.
QString certificatesText(const QJsonObject &status);

} // namespace RuleView

#endif // RULEVIEW_H
