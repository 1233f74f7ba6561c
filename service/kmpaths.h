#ifndef KMPATHS_H
#define KMPATHS_H

#include "zx2paths.h"

// The reverse-proxy service's fixed paths; pass them through orbaPath().
inline const char kReverseproxyDir[] = "/orba/etc/reverseproxy";
inline const char kReverseproxyConfig[] = "/orba/etc/reverseproxy/config.json";
inline const char kReverseproxyDatabase[] = "/orba/etc/reverseproxy/reverseproxy.db";
inline const char kReverseproxyHttpConf[] = "/orba/etc/reverseproxy/http.conf";
inline const char kReverseproxyHttpsConf[] = "/orba/etc/reverseproxy/https.conf";
inline const char kReverseproxyVirtualHosts[] = "/orba/etc/reverseproxy/virtualhost";
// What the site serves and why: the rules left out, the last good files.
inline const char kReverseproxyServed[] = "/orba/etc/reverseproxy/served.json";
inline const char kReverseproxyLastGood[] = "/orba/etc/reverseproxy/lastgood.json";
// The appliance desktop site's Define files with its two web ports.
inline const char kDesktopHttpPortFile[] =
    "/orba/etc/apache2/apps/desktop/conf/orbadesktop-http-port.conf";
inline const char kDesktopHttpsPortFile[] =
    "/orba/etc/apache2/apps/desktop/conf/orbadesktop-https-port.conf";
// mod_md's store of the certificates Apache obtains by ACME: its children
// write there, so it lies outside the service's own directory.
inline const char kAcmeStore[] = "/orba/var/lib/reverseproxy/md";
// The TLS settings that https virtual hosts include.
inline const char kApacheSslSnippet[] = "/orba/etc/apache2/snippets/ssl.conf";

#endif // KMPATHS_H
