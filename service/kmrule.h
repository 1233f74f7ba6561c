#ifndef KMRULE_H
#define KMRULE_H

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// The appliance's own web ports as one change sees them (0 when unknown).
struct KMAppliancePorts
{
    int http = 0;
    int https = 0;

    // The web port of the protocol: https for "https", http otherwise.
    int of(const QString &protocol) const;
    bool isWebPort(int port) const { return port == http || port == https; }
};

// One side (source or dest) of a rule, normalised.
struct KMRuleSide
{
    QString protocol; // trimmed, lower case
    QString host;     // trimmed; a source host names the site the rule serves
    int port = 0;     // as given; outside 1..65535 means the appliance web port
    QString path;     // trimmed, "/" in front

    // The port Apache serves this side on: the port itself, or the appliance
    // web port of the protocol when the port is outside 1..65535.
    int effectivePort(const KMAppliancePorts &ports) const;
};

// A rule parameter object (as a client sends it and the store keeps it),
// read once: every check, the store's columns and the generator read these
// values instead of the JSON.
class KMRule
{
public:
    // collapseSourceSlashes replaces each "//" of the source path by "/" in
    // one pass from the left, so "///" becomes "//"
    // (a change does; a create and a stored rule do not).
    static KMRule fromParams(const QJsonObject &params, bool collapseSourceSlashes = false);
    // A row of the store (pxyno, name, params columns): the stored parameters.
    static KMRule fromRow(const QJsonObject &row);

    QJsonObject params; // as received or stored
    QString storedText; // the stored parameter text of a rule read from the store; empty for a request
    int pxyno = 0;      // the stored rule's number; 0 for a request
    QString name;       // trimmed; a non-string name reads through the framework conversion
    KMRuleSide source;
    KMRuleSide dest;

    // Whether the destination names something to reach: a host, a port in
    // 1..65535 or a path other than the root.
    bool destReachable() const;
    // The source host in lower case, as Host headers are compared; empty
    // for a rule that serves every name no other rule claims.
    QString hostKey() const;
    // The source as conflicts compare it: the site it lands in (the
    // effective port, whatever protocol the rule names), the host key and
    // the path as Apache matches requests against it (matchedPath).
    QString conflictKey(const KMAppliancePorts &ports) const;
    // The segments of a URL path as Apache matches requests against it:
    // escapes decoded, empty and "." segments dropped (it merges slashes),
    // ".." resolved.
    static QStringList matchedSegments(const QString &path);
    // "/" and those segments joined by "/" ("/" for the root).
    static QString matchedPath(const QString &path);
    // Whether the rule writes directive lines of its own: httpheaders (an
    // element with a key and a value) or access lines, as read once from params.
    bool writesDirectives() const;
    // "://" + source host + ":" + source port + source path: the stored
    // source URL column.
    QString sourceUrl() const;
    // The columns the store keeps for this rule (without pxyno).
    QJsonObject storedValues() const;

    // The first field (name, source.protocol (http or https), source.host,
    // source.path, source.port, dest.protocol (the same), dest.host,
    // dest.path, dest.port, httpheaders, access.*, then params for an
    // object too large to store) whose value, written into Apache's
    // configuration, could add or break directives; empty when the
    // rule is safe to write: httpheaders keys come from an allow-list of
    // directives that act on requests only, and their values read no files
    // nor the service's environment; a line that names the loop guard's
    // header (X-Reverseproxy-Hop, any case) or sets or edits Set-Cookie
    // gives "httpheaders: " followed by the line; a port is a number or a
    // decimal text;
    // a source host is a DNS name (ASCII letters, digits, hyphens, dots
    // between labels, at most 253 characters) with an optional leading "*.".
    // Whether Apache accepts the arguments is for Apache's own test to say.
    QString unsafeField() const;

private:
    bool directives = false; // read by fromParams
};

#endif // KMRULE_H
