// Apache's configuration test on generated configurations.
//
// Each input is a rule parameter object (as in fuzz_rules). Whenever the
// service accepts it, the files it generated (with the few rules kept from
// earlier inputs) are included into a configuration shaped like the
// appliance's, and "/usr/sbin/apache2 -f CONF -t" must accept it. Rejected
// rules write nothing, so they are not tested. The extra directives of
// "httpheaders" are left out: the service writes them as given.
#include "appliancefixture.h"
#include "fuzzservice.h"
#include "testfiles.h"

#include <QJsonDocument>
#include <QProcess>

#include <cstdio>
#include <cstdlib>

namespace {

// The server around the appliance's site configuration; it is only tested,
// never started.
const char *const kServer = R"conf(ServerRoot "%1/apache"
ServerName localhost
PidFile "%1/apache/apache2.pid"
DefaultRuntimeDir "%1/apache"
ErrorLog "%1/apache/error.log"
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
)conf";

QString configPath;

void writeConfig(const QString &root)
{
    configPath = root + QStringLiteral("/apache/apache2.conf");
    const QString site = applianceSiteConfig(root);
    if (site.isEmpty() || !writeTestFile(configPath, (QString::fromLatin1(kServer).arg(root) + site).toUtf8()))
        std::abort();
}

void apacheTest(FuzzService &service, const QJsonObject &rule)
{
    QProcess apache;
    apache.setProcessChannelMode(QProcess::MergedChannels);
    apache.start(QStringLiteral("/usr/sbin/apache2"),
                 {QStringLiteral("-f"), configPath, QStringLiteral("-t")});
    if (!apache.waitForFinished(30000))
        std::abort();
    if (apache.exitStatus() == QProcess::NormalExit && apache.exitCode() == 0)
        return;
    std::fprintf(stderr, "apache2 -t rejected the generated configuration after accepting\n%s\n%s\n",
                 QJsonDocument(rule).toJson(QJsonDocument::Compact).constData(),
                 apache.readAll().constData());
    const QMap<QString, QByteArray> files = service.generatedFiles();
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        std::fprintf(stderr, "==> %s <==\n%s\n", qPrintable(it.key()), it.value().constData());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    writeConfig(FuzzService::instance().root());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzService &service = FuzzService::instance();
    QJsonObject rule = fuzzRule(data, size);
    // Directives given in httpheaders are written as they come (their
    // validity depends on the appliance's modules): tested apart.
    rule.remove(QStringLiteral("httpheaders"));
    if (service.call(QStringLiteral("reverseproxy_create"), rule) == 0) {
        apacheTest(service, rule);
        service.prune(3); // a few rules share their port groups with the next input
    }
    return 0;
}
