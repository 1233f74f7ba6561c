#ifndef APPLIANCEFIXTURE_H
#define APPLIANCEFIXTURE_H

#include "apachefixture.h"

#include <QString>

class ServiceRoot;

// The appliance's web server for tests of the real service: a private
// Apache whose two appliance web ports (free ports on 127.0.0.1, written into
// the root's Define files) include http.conf and https.conf, with every
// virtual-host file included at server level, as on the appliance. The
// root's "systemctl reload|start|is-active apache2" and "apache2ctl" act on
// this instance. Loads mod_proxy, mod_proxy_http, mod_env and mod_headers.
class ApplianceApache
{
public:
    explicit ApplianceApache(ServiceRoot &root);

    bool start(); // errorText() explains a failure
    TestApache &server() { return m_apache; }
    quint16 httpPort() const { return m_httpPort; }
    quint16 httpsPort() const { return m_httpsPort; }
    // Empty when "apache2 -t" accepts the configuration as it stands, else its output.
    QString configTest() const;
    // The raw answer (status line, headers, body) to a GET over plain HTTP.
    static QByteArray get(quint16 port, const QString &target);

private:
    ServiceRoot &m_root;
    TestApache m_apache;
    quint16 m_httpPort = 0;
    quint16 m_httpsPort = 0;
};

// The appliance's site configuration (the shared template) for an ORBA_ROOT;
// empty when the template cannot be read.
QString applianceSiteConfig(const QString &orbaRoot);

// Prepares an ORBA_ROOT for an appliance Apache: two free ports in the Define
// files, the https port's certificate snippet, and the site configuration set
// as the server's extra configuration. False when a file cannot be written.
bool prepareApplianceSite(const QString &orbaRoot, TestApache &apache, quint16 *httpPort,
                          quint16 *httpsPort);

#endif // APPLIANCEFIXTURE_H
