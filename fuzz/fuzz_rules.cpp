// checkParams and the configuration generation on arbitrary rule objects.
//
// Each input is a rule parameter object (JSON, or built from the bytes). It
// goes through reverseproxy_create as a client would send it; when the
// service accepts it, the stored record must read back as sent, a change
// (with another name) must also be accepted, and the generated files must be
// structurally sound. The generator is also run directly on the object, as
// it would be on a row written by an older version without the checks.
#include "fuzzservice.h"
#include "kmapacheconf.h"
#include "kmrule.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <cstdlib>

namespace {

int counter = 0;

[[noreturn]] void fail(const char *why, const QJsonObject &rule)
{
    std::fprintf(stderr, "invariant broken: %s\n%s\n", why,
                 QJsonDocument(rule).toJson(QJsonDocument::Compact).constData());
    std::abort();
}

void checkAccepted(FuzzService &service, QJsonObject rule)
{
    if (!KMRule::fromParams(rule).unsafeField().isEmpty())
        fail("a rule with an unsafe field was accepted", rule);
    const QString name = rule.value(QStringLiteral("name")).toString().trimmed();
    const QJsonObject record = service.rules().value(name).toObject();
    const int pxyno = record.value(QStringLiteral("pxyno")).toInt();
    QJsonObject expected = rule;
    expected.insert(QStringLiteral("pxyno"), pxyno);
    if (pxyno < 1 || record != expected)
        fail("the stored record differs from the accepted parameters", rule);
    checkGeneratedFiles(service.generatedFiles());

    rule.insert(QStringLiteral("pxyno"), pxyno);
    rule.insert(QStringLiteral("name"), name + QStringLiteral("~changed~") + QString::number(++counter));
    QJsonObject answer;
    const int err = service.call(QStringLiteral("reverseproxy_change"), rule, &answer);
    // A change collapses "//" in the source path, which may meet a reserved
    // or taken path that create did not see.
    const bool collapses = rule.value(QStringLiteral("source")).toObject().value(QStringLiteral("path"))
                               .toString().contains(QStringLiteral("//"));
    if (err != 0 && !collapses)
        fail(qPrintable(QStringLiteral("changing only the name was refused: ")
                        + QJsonDocument(answer).toJson(QJsonDocument::Compact)), rule);
    checkGeneratedFiles(service.generatedFiles());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzService::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzService &service = FuzzService::instance();
    const QJsonObject rule = fuzzRule(data, size);

    // Generation without any check: must not crash, whatever the object.
    const KMRule parsed = KMRule::fromParams(rule);
    parsed.unsafeField();
    const QStringList locations = KMApacheConf::locationLines(parsed, 1, QStringLiteral("upgrade=websocket"));
    const QJsonObject source = rule.value(QStringLiteral("source")).toObject();
    KMApacheConf::virtualHostLines(source.value(QStringLiteral("port")).toInt(),
                                   source.value(QStringLiteral("protocol")).toString(),
                                   source.value(QStringLiteral("host")).toString(),
                                   rule.value(QStringLiteral("hsts")).toBool(), locations);

    if (service.call(QStringLiteral("reverseproxy_create"), rule) == 0)
        checkAccepted(service, rule);
    if (++counter % 8 == 0)
        service.prune(4); // keep a few rules around for the conflict checks
    return 0;
}
