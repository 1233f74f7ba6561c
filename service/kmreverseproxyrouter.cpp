#include "kmreverseproxyrouter.h"

#include "appdata.h"
#include "kmcertificate.h"
#include "kmreverseproxy.h"
#include "kmrule.h"
#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2utils.h"

#include <QJsonArray>

namespace {

// The help entry of every command; an entry without "comment" is listed by
// help_interfaces with the placeholder comment.
const char *const kHelpText = "{}";

const QString kParams = QStringLiteral("params");
const QString kPxyno = QStringLiteral("pxyno");
const QString kResults = QStringLiteral("results");

bool isWebProtocol(const QString &protocol)
{
    return protocol == QLatin1String("http") || protocol == QLatin1String("https");
}

bool refuse(ZX2Cabinet *envObject, const QString &message)
{
    envObject->setErr(ZX2Error::ERR_PARAMS, message);
    return false;
}

int requestedPxyno(const QJsonObject &cmdObject)
{
    return toInt(cmdObject.value(kParams).toObject().value(kPxyno));
}

// Only root gets the private keys of brought certificates back.
bool callerIsRoot(const ZX2Cabinet *envObject)
{
    const QJsonValue uid = envObject->value(QStringLiteral("uid"));
    return uid.isDouble() && uid.toDouble() == 0;
}

KMReverseproxy *manager()
{
    return IAppData()->reverseproxy();
}

} // namespace

class KMReverseproxyRouterPrivate
{
public:
    // Why the rule parameters of a create, a change or an import may not go
    // to the rule manager; empty when they may.
    static QString paramsProblem(const QJsonObject &params);
    // True when the rule parameters of a create or change may go to the rule
    // manager; otherwise the journal holds ERR_PARAMS and the reason.
    bool checkParams(QJsonObject cmdObject, ZX2Cabinet *envObject) const;
    // The same for every rule of an import; the reason names the first rule
    // that may not.
    static bool checkImport(const QJsonObject &params, ZX2Cabinet *envObject);

    // Answers a request carrying "help" with the command's help entry; the
    // journal is left as it is.
    static bool answerHelp(QJsonObject *retObject, const QJsonObject &cmdObject);
};

QString KMReverseproxyRouterPrivate::paramsProblem(const QJsonObject &params)
{
    const KMRule rule = KMRule::fromParams(params);
    // Only a JSON string is a name: a number given as name counts as missing.
    if (!params.value(QStringLiteral("name")).isString() || rule.name.isEmpty())
        return QStringLiteral("参数遗漏或类型错误(name)");
    if (!isWebProtocol(rule.source.protocol))
        return QStringLiteral("参数遗漏或内容错误(source.protocol: http, https)");
    if (!isWebProtocol(rule.dest.protocol))
        return QStringLiteral("参数遗漏(dest.protocol: http, https");
    if (!rule.destReachable())
        return QStringLiteral("端口号错误(dest.port)或路径遗漏(dest.path)");
    return QString();
}

bool KMReverseproxyRouterPrivate::checkParams(QJsonObject cmdObject, ZX2Cabinet *envObject) const
{
    const QString problem = paramsProblem(cmdObject.value(kParams).toObject());
    return problem.isEmpty() || refuse(envObject, problem);
}

bool KMReverseproxyRouterPrivate::checkImport(const QJsonObject &params, ZX2Cabinet *envObject)
{
    const QJsonValue rules = params.value(QStringLiteral("rules"));
    if (!rules.isArray())
        return refuse(envObject, QStringLiteral("参数遗漏或类型错误(rules)"));
    const QJsonArray array = rules.toArray();
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject rule = array.at(i).toObject();
        const QString problem = array.at(i).isObject() ? paramsProblem(rule)
                                                       : QStringLiteral("参数类型错误(rules)");
        if (!problem.isEmpty())
            return refuse(envObject, KMReverseproxy::importLabel(i, rule) + problem);
    }
    return true;
}

bool KMReverseproxyRouterPrivate::answerHelp(QJsonObject *retObject, const QJsonObject &cmdObject)
{
    if (!cmdObject.contains(QStringLiteral("help")))
        return false;
    *retObject = toJsonObject(QByteArray(kHelpText));
    return true;
}

KMReverseproxyRouter::KMReverseproxyRouter(QObject *parent)
    : ZX2TodoRouter(parent)
    , d(new KMReverseproxyRouterPrivate)
{
    setRouterId(QStringLiteral("reverseproxy"));
}

KMReverseproxyRouter::~KMReverseproxyRouter()
{
    delete d;
}

void KMReverseproxyRouter::_reverseproxy_alload(QJsonObject *retObject, QJsonObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    QJsonObject results;
    if (!manager()->alload(*envObject, results))
        return;
    for (auto rule = results.begin(); rule != results.end() && !callerIsRoot(envObject); ++rule)
        *rule = KMCertificate::withoutKey(rule->toObject());
    retObject->insert(kResults, results);
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_acquit(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const int pxyno = requestedPxyno(cmdObject);
    if (pxyno < 1) {
        refuse(envObject, QStringLiteral("参数遗漏(pxyno)"));
        return;
    }
    QJsonObject results;
    if (!manager()->acquit(*envObject, results, pxyno))
        return;
    if (!callerIsRoot(envObject))
        results = KMCertificate::withoutKey(results);
    retObject->insert(kResults, results);
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_create(QJsonObject *, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    if (!d->checkParams(cmdObject, envObject))
        return;
    if (!manager()->create(*envObject, cmdObject.value(kParams).toObject()))
        return;
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_change(QJsonObject *, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    if (!d->checkParams(cmdObject, envObject))
        return;
    if (!manager()->change(*envObject, cmdObject.value(kParams).toObject()))
        return;
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_remove(QJsonObject *, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const int pxyno = requestedPxyno(cmdObject);
    if (pxyno < 1) {
        refuse(envObject, QStringLiteral("参数遗漏(pxyno)"));
        return;
    }
    if (!manager()->remove(*envObject, pxyno))
        return;
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_status(QJsonObject *retObject, QJsonObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    QJsonObject results;
    if (!manager()->status(*envObject, results))
        return;
    retObject->insert(kResults, results);
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_import(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const QJsonObject params = cmdObject.value(kParams).toObject();
    if (!KMReverseproxyRouterPrivate::checkImport(params, envObject))
        return;
    const QJsonArray rules = params.value(QStringLiteral("rules")).toArray();
    const bool replace = toBool(params.value(QStringLiteral("replace")));
    const bool dryRun = toBool(params.value(QStringLiteral("dryrun")));
    if (!manager()->importRules(*envObject, rules, replace, dryRun))
        return;
    retObject->insert(kResults, QJsonObject{{QStringLiteral("imported"), rules.size()},
                                            {QStringLiteral("replace"), replace},
                                            {QStringLiteral("dryrun"), dryRun}});
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::reverseproxy_alload(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_alload(retObject, cmdObject, envObject);
}

void KMReverseproxyRouter::reverseproxy_acquit(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_acquit(retObject, cmdObject, envObject);
}

void KMReverseproxyRouter::reverseproxy_create(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_create(retObject, cmdObject, envObject);
}

void KMReverseproxyRouter::reverseproxy_change(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_change(retObject, cmdObject, envObject);
}

void KMReverseproxyRouter::reverseproxy_remove(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_remove(retObject, cmdObject, envObject);
}

void KMReverseproxyRouter::reverseproxy_status(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_status(retObject, cmdObject, envObject);
}

void KMReverseproxyRouter::reverseproxy_import(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_import(retObject, cmdObject, envObject);
}
