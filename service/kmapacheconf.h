#ifndef KMAPACHECONF_H
#define KMAPACHECONF_H

#include "kmrule.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// One generated virtual-host file.
struct KMVirtualHostFile
{
    QString fileName; // protocol + "_" + port + ".conf"
    QStringList lines;
    QList<int> owners; // per line, the number of the rule that wrote it
};

// The generated Apache configuration: the lines of each file.
struct KMApacheFiles
{
    QStringList http;  // http.conf: the rules on the appliance http port
    QStringList https; // https.conf: the rules on the appliance https port
    QList<KMVirtualHostFile> virtualHosts; // one per other port, in port order
    // Per line of http and https, the number of the rule that wrote it.
    QList<int> httpOwners;
    QList<int> httpsOwners;
    // The rules' user files: name in the users directory -> content.
    QMap<QString, QByteArray> userFiles;

    // The rule that wrote line (1-based) of the file at path (as
    // KMApacheSite writes it); 0 when no single rule did.
    int ownerOf(const QString &path, int line) const;
};

// Turns rules into Apache configuration lines. The output depends on the
// arguments alone; the location blocks of earlier calls are kept (bounded in
// bytes, shared by all threads) to be handed out again. The rules are
// expected to have passed KMRule::unsafeField().
class KMApacheConf
{
public:
    KMApacheConf() = delete;

    // All files for the whole rule table (rules in ascending number): rules
    // are grouped by effective source port and, within a port, by source
    // host (letter case ignored): each host is a site of its own, and the
    // rules without a host serve every name no host rule claims. The web
    // ports' groups go into http.conf and https.conf (host rules routed by
    // mod_rewrite on the Host header), every other port becomes a file of
    // name-based virtual hosts. Within each site the blocks go in ascending
    // source-path length (rule order among equal lengths), so the most
    // specific prefix wins; every rule to one destination origin carries
    // the proxy options of all of them. A prefix ending in "/" redirects its
    // bare path there (mod_rewrite, when loaded) where no other rule of the
    // site serves that path and the appliance does not reserve it; where its
    // destination path is not the root, it serves that bare path as the
    // destination path without its "/" instead.
    static KMApacheFiles generate(const QList<KMRule> &rules, const KMAppliancePorts &ports);

    // The location block of one rule, a literal path prefix matched on whole
    // segments: thirteen lines. What every rule of a site shares is written
    // once per site by generate: the same-site tests the rule's lines read,
    // the headers of every rule's requests and, where siteFlags, mod_proxy's
    // forwarding (ProxyAddHeaders, ProxyPreserveHost, X-Forwarded-For). When
    // its httpheaders keep the browser's Host (ProxyPreserveHost On), four
    // lines that keep mod_proxy's forwarded headers take the place of its
    // three request-header lines. Without siteFlags (a site whose Host does
    // not tell its rules with and without a host apart) the rule sets the
    // forwarding itself: four more lines, seven for a rule without a host.
    // Written httpheaders elements add a <LocationMatch> section (two lines,
    // and three per element, two when it has no description), its access a
    // section of its own (KMRuleAccess::lines). These sections take the
    // rule's own requests only: not those of the nested source paths, the
    // prefixes of the site's later rules that this one serves (the
    // forwarding lines then go in a <LocationMatch>, two lines more).
    // ordinal numbers the block within its site; options are the ProxyPass
    // options of its destination. at is the path of the <Location> when it
    // is not the rule's source path (a host rule's private path on a web
    // port); redirects and cookies still map back under the source path.
    static QStringList locationLines(const KMRule &rule, int ordinal,
                                     const QString &options, const QStringList &nested = {},
                                     const QString &at = QString(), bool siteFlags = true);
    // The mark this Apache sets on every request it proxies (request header
    // X-Reverseproxy-Hop, added to a list); every site of the generated files
    // (http.conf and https.conf whenever there are rules, each virtual host)
    // refuses with 508 a request that carries it already, wherever it goes
    // on the site. The same on every start of this
    // machine, another on other machines, so that appliances may proxy to
    // each other; derived from, but not revealing, the machine's identity
    // (machines without one share a mark).
    static QString hopToken();
    // "X-Reverseproxy-Hop", the request header that carries the mark.
    static QString hopHeader();
    // The Listen lines that open a custom port's file.
    static QStringList listenLines(int port, const QString &protocol);
    // One name-based virtual host of a custom port (ServerName, or
    // ServerAlias for a "*." name; none for the port's first, which takes
    // every other name), answering 404 outside its locations (mod_alias)
    // and 508 to a request that carries this Apache's mark;
    // locations are indented by four blanks. An https one includes the
    // appliance's SSL snippet, or has the lines tls when there are any (a
    // name's own certificate).
    static QStringList virtualHostLines(int port, const QString &protocol,
                                        const QString &serverName, bool hsts,
                                        const QStringList &locations, const QStringList &tls = {});
    // protocol + "_" + port + ".conf", the virtual-host file of a custom port.
    static QString virtualHostFileName(const QString &protocol, int port);
    // The port of such a file name; 0 for any other name.
    static int virtualHostPort(const QString &fileName);
    // dest protocol "://" host ":" port path; an IPv6 host goes in brackets,
    // an empty host is 127.0.0.1.
    static QString destinationUrl(const KMRuleSide &dest);
};

#endif // KMAPACHECONF_H
