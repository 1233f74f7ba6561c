#ifndef KMOWNNAMES_H
#define KMOWNNAMES_H

#include "kmrule.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>

// The names the appliance answers to, as one set that every check reads:
// the reservations, "this Apache" destinations, the translation of Host,
// Origin and Referer for back ends, and the routing by name. A request whose
// Host is not among them (nor a rule's own name) may come from a page that
// rebound its own name to the appliance, and reaches a back end as sent.
//
// The set: the host name, its fully qualified form (hosts file, resolver
// domain), "<hostname>.local", "localhost" and every name under it, every
// local address (an IPv6 one with and without brackets), the ServerName and
// ServerAlias of the appliance's own virtual hosts (those on its web ports,
// which include http.conf and https.conf), and the names configured in
// config.json ("names"). Computed by refresh(), at start and at every reload,
// without asking DNS; read from any thread. Names compare without letter
// case, a final dot or a port.
class KMOwnNames
{
public:
    KMOwnNames() = delete;

    // The configured names ("names" of config.json); refresh() takes them in.
    static void configure(const QStringList &names);
    // Computes the set afresh; Apache's virtual hosts come from
    // "apache2ctl -S" (none when it cannot run, or cancel turns true).
    static void refresh(const std::atomic_bool *cancel = nullptr);
    // The set as last computed, sorted ("*." names stand for every name
    // below); computed first, without Apache's names, when it never was.
    static QStringList names();
    // Whether host (a name or address, brackets and port allowed) is one of them.
    static bool contains(const QString &host);
    // Whether a "*." name covers one of them.
    static bool covered(const QString &wildcard);
    // A case-sensitive regular expression for a Host header that names one
    // of them, with or without a final dot or a port (Apache's PCRE).
    static QString hostPattern();

    // The names of the virtual hosts on the web ports in the output of
    // "apache2ctl -S": each one's server name, and the names its own lines
    // give (read from the file and line the output names).
    static QStringList siteNames(const QByteArray &dump, const KMAppliancePorts &ports);
    // The ServerName and ServerAlias names of the virtual host whose section
    // begins at line (1-based) of a configuration file's text.
    static QStringList namesOfSite(const QByteArray &text, int line);
    // The fully qualified forms of hostName in a hosts file's text: the
    // dotted names on the lines that name it.
    static QStringList qualifiedNames(const QByteArray &hosts, const QString &hostName);
};

#endif // KMOWNNAMES_H
