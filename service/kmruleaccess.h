#ifndef KMRULEACCESS_H
#define KMRULEACCESS_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

class KMFileTransaction;
class ZX2Journals;

// Who may reach a rule's requests: its "access" parameter, {"allow":
// [addresses and CIDR ranges], "users": [{"name", "password" | "hash"}],
// "satisfy": "any" | "all"}. Apache decides (Require ip, Basic
// authentication against a user file of bcrypt hashes), so the service only
// checks the list, hashes passwords before anything keeps them, and writes
// the lines and the user files. Stateless.
class KMRuleAccess
{
public:
    KMRuleAccess() = delete;

    // The field of an access parameter that may not be kept or written
    // ("access", "access.allow", "access.users" or "access.satisfy"); empty
    // when it may: at most 256 addresses or CIDR ranges, at most 256 users
    // with distinct names of 1-64 characters without ":" or control
    // characters, each with a password of 1-72 bytes or a bcrypt hash.
    static QString unsafeField(const QJsonValue &access);
    // Replaces every clear password of the rule parameters' users by its
    // bcrypt hash (cost 10), so that users read {"name", "hash"} and no
    // password is kept anywhere. False (ERR_FAILED) when hashing fails.
    static bool seal(ZX2Journals &journals, QJsonObject &params);
    // Whether the parameters restrict who may reach the rule.
    static bool restricts(const QJsonObject &params);

    // The section that applies the access to the requests of pattern (the
    // rule's own, a <LocationMatch> pattern); empty when the rule has none.
    // realm names the rule in the password prompt.
    static QStringList lines(const QJsonObject &params, const QString &pattern, const QString &realm);
    // Adds the rule's user file (name in the users directory -> content),
    // when it has users.
    static void addUserFile(const QJsonObject &params, QMap<QString, QByteArray> &files);
    // Writes the user files beside their live names in the users directory
    // (0750, files 0640, group www-data: Apache's workers read them) and
    // stages the removal of the ones no rule uses. ERR_SAVE when one cannot
    // be written; a link or a non-directory at the users path is never used.
    static bool stage(ZX2Journals &journals, const QMap<QString, QByteArray> &files,
                      KMFileTransaction &transaction);
    // Removes what a killed process left of a write in the users directory.
    static void removeStrayFiles();
};

#endif // KMRULEACCESS_H
