#ifndef KMCERTIFICATE_H
#define KMCERTIFICATE_H

#include "kmnamelookup.h"
#include "kmrule.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class ZX2Journals;

// config.json's "acme": the ACME server Apache's mod_md asks for the names
// whose rules want a certificate of their own.
struct KMAcmeSettings
{
    QString directory; // the server's directory URL
    QString email;     // the account's contact; empty: Apache's ServerAdmin
    QString cacert;    // a private server's CA file; empty: the system's
    bool acceptTerms = false;

    static KMAcmeSettings fromConfig(const QJsonObject &acme);
    // Those of the running service's configuration.
    static KMAcmeSettings current();
};

// A rule's "certificate": which certificate serves its name on https. Absent
// or "appliance": the appliance's (its SSL snippet); "acme": one Apache
// obtains and renews itself (mod_md); {"pem", "key"}: one the owner brings,
// kept in files readable by root only. A name with a certificate of its own
// is a virtual host of its own on its https port; this class gives that
// virtual host its TLS lines, mod_md its settings, and status each name's
// certificate. Stateless.
class KMCertificate
{
public:
    KMCertificate() = delete;

    enum class Kind { Appliance, Acme, Own, Invalid };
    static Kind kind(const QJsonObject &params);
    // Whether the rule's name is served with a certificate of its own (an
    // https rule with a host asking for "acme" or bringing one).
    static bool ownSite(const KMRule &rule);
    // Whether the rule's "certificate" may be stored: "acme" only on https
    // for a plain name, once the CA's terms are accepted; a brought one
    // parses, its key matches, it covers the name and has not expired;
    // neither for one of the appliance's own names on its https web port.
    // ERR_PARAMS "参数内容错误(certificate)" otherwise.
    // names: the rule's names as looked up before (see KMNameLookup).
    static bool check(ZX2Journals &journals, const KMRule &rule, const KMAcmeSettings &acme,
                      const KMAppliancePorts &ports, const KMNameLookup &names = KMNameLookup());
    // The rule parameters with a brought private key emptied.
    static QJsonObject withoutKey(const QJsonObject &params);

    // Where a brought certificate and its key are kept (named by their
    // content, so that the generator names them without reading anything).
    static QString certificateFile(const KMRule &rule);
    static QString keyFile(const KMRule &rule);
    // Writes the files of the brought certificates of rules that are not
    // there yet (keys 0600 in a 0700 directory); ERR_SAVE on failure.
    static bool storeFiles(ZX2Journals &journals, const QList<KMRule> &rules);
    // Removes the kept files no rule of the table brings any more.
    static void pruneFiles(const QList<KMRule> &rules);

    // The TLS lines of the virtual host of a name served with the rule's
    // certificate: the appliance's snippet without its certificate lines
    // (its protocol and cipher policy), then the certificate. For "acme"
    // mod_md supplies it, and without mod_md the appliance's stays.
    static QStringList tlsLines(const KMRule &rule);
    // The server-level mod_md lines for the ACME names: the server, the
    // account, the store, the local ports standing for 80 and 443, and one
    // managed domain per name.
    static QStringList managedDomainLines(const QStringList &names, const KMAcmeSettings &acme,
                                          const KMAppliancePorts &ports);
    // mod_md's store, where obtained certificates are kept.
    static QString storeDir();
    // The address of the appliance's own https virtual host on port as
    // Apache reads its configuration ("apache2ctl -S"), so that the names'
    // virtual hosts join its name-based selection; "*:<port>" when Apache
    // cannot tell. Read once per port.
    static QString applianceAddress(int port);
    // The address of a virtual host in "apache2ctl -S" output on port.
    static QString addressOnPort(const QByteArray &output, int port);

    // One object per name of the https rules: host, kind (appliance, acme,
    // own), state (valid, pending, failed), notAfter (ISO 8601), issuer,
    // and when failed the reason.
    static QJsonArray status(const QList<KMRule> &rules);
    // The names whose obtained certificate mod_md holds ready for the next
    // graceful reload.
    static QStringList staged(const QList<KMRule> &rules);
    // Whether mod_md has anything in its staging area at all (read without
    // the rule table).
    static bool anyStaged();
    // notAfter (ISO 8601) and issuer of the first certificate of pem; false
    // when it does not parse.
    static bool describe(const QByteArray &pem, QString &notAfter, QString &issuer);
};

#endif // KMCERTIFICATE_H
