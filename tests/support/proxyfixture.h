#ifndef PROXYFIXTURE_H
#define PROXYFIXTURE_H

#include "apachefixture.h"
#include "kmreverseproxy.h"

#include <QJsonObject>
#include <QScopedPointer>
#include <QTemporaryDir>

// The rule manager in a temporary ORBA_ROOT in front of a private Apache that
// includes http.conf and https.conf in the appliance's web ports (free ports
// on 127.0.0.1, announced through the Define files) and the virtual-host
// files at server level, like the appliance does. By default the stand-ins on
// PATH leave Apache alone ("systemctl" only logs, "apache2ctl" accepts
// everything): apply() tests the files and restarts Apache itself, so a test
// knows when the generated files are in force. With reloads, "systemctl" and
// "apache2ctl" act on the instance as on the appliance.
class ProxyFixture
{
public:
    explicit ProxyFixture(bool reloads = false);
    ~ProxyFixture();

    // Prepares ORBA_ROOT, starts the manager and Apache. errorText() explains
    // a failure.
    bool start();
    KMReverseproxy &manager();
    TestApache &server() { return m_apache; }
    quint16 httpPort() const;  // the appliance's web ports
    quint16 httpsPort() const;

    // Creates a rule; false with the journal's message in errorText().
    bool create(const QJsonObject &params);
    // Removes every rule.
    bool clear();
    // Apache's configuration test of the files as they stand; empty when it
    // passes, else Apache's output.
    QString configTest() const;
    // Runs the configuration test and restarts Apache on the files.
    bool apply();
    QString errorText() const;

private:
    bool prepareRoot();
    QTemporaryDir m_root;
    QTemporaryDir m_bin;
    TestApache m_apache;
    QScopedPointer<KMReverseproxy> m_manager;
    bool m_reloads = false;
    quint16 m_httpPort = 0;
    quint16 m_httpsPort = 0;
    QString m_error;
    Q_DISABLE_COPY(ProxyFixture)
};

#endif // PROXYFIXTURE_H
