#include "proxyfixture.h"

#include "appliancefixture.h"
#include "testfiles.h"
#include "zx2journals.h"

ProxyFixture::ProxyFixture(bool reloads)
    : m_reloads(reloads)
{
}

ProxyFixture::~ProxyFixture()
{
    m_apache.stop();
    m_manager.reset();
    qunsetenv("ORBA_ROOT");
}

bool ProxyFixture::prepareRoot()
{
    qputenv("ORBA_ROOT", m_root.path().toUtf8());
    qputenv("PATH", m_bin.path().toUtf8() + ":" + qgetenv("PATH"));
    return prepareApplianceSite(m_root.path(), m_apache, &m_httpPort, &m_httpsPort)
        && writeStandins(m_bin.path(), m_bin.path(), m_reloads ? &m_apache : nullptr);
}

bool ProxyFixture::start()
{
    if (!m_root.isValid() || !m_bin.isValid() || !prepareRoot()) {
        m_error = "cannot prepare ORBA_ROOT";
        return false;
    }
    m_manager.reset(new KMReverseproxy);
    ZX2Journals journals;
    if (!m_manager->start(journals)) {
        m_error = journals.errmsg();
        return false;
    }
    if (m_apache.start())
        return true;
    m_error = m_apache.errorText();
    return false;
}

KMReverseproxy &ProxyFixture::manager()
{
    return *m_manager;
}

quint16 ProxyFixture::httpPort() const
{
    return m_httpPort;
}

quint16 ProxyFixture::httpsPort() const
{
    return m_httpsPort;
}

bool ProxyFixture::create(const QJsonObject &params)
{
    ZX2Journals journals;
    if (m_manager->create(journals, params))
        return true;
    m_error = journals.errmsg();
    return false;
}

bool ProxyFixture::clear()
{
    ZX2Journals journals;
    QJsonObject rules;
    if (!m_manager->alload(journals, rules))
        return false;
    for (const QJsonValue &rule : qAsConst(rules)) {
        if (!m_manager->remove(journals, rule.toObject().value("pxyno").toInt()))
            return false;
    }
    return true;
}

QString ProxyFixture::configTest() const
{
    return m_apache.configTest();
}

bool ProxyFixture::apply()
{
    m_error = configTest();
    if (!m_error.isEmpty())
        return false;
    m_apache.stop();
    if (m_apache.start())
        return true;
    m_error = m_apache.errorText();
    return false;
}

QString ProxyFixture::errorText() const
{
    return m_error;
}
