#include "kmreverseproxyrouter.h"

#include "appdata.h"
#include "kmcertificate.h"
#include "kmreverseproxy.h"
#include "kmrule.h"
#include "kmversion.h"
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

// Records the change command in the audit trail when it ends refused; the
// rule manager records the changes it makes.
class RefusalRecord
{
public:
    RefusalRecord(const ZX2Cabinet *envObject, KMAuditEntry entry)
        : m_env(envObject), m_entry(std::move(entry))
    {
    }
    ~RefusalRecord()
    {
        if (ZX2Error::isSuccess(m_env->err()))
            return;
        m_entry.err = m_env->err();
        manager()->logRefused(m_entry);
    }

private:
    Q_DISABLE_COPY(RefusalRecord)
    const ZX2Cabinet *m_env;
    KMAuditEntry m_entry;
};

// The entries a listing of the trail may ask for by default.
const int kDefaultLogLimit = 100;

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
    const KMAuditEntry caller = KMAuditTrail::callerOf(*envObject, cmdObject);
    const QJsonObject params = cmdObject.value(kParams).toObject();
    const RefusalRecord refusal(envObject, caller.about(0, toString(params.value(QStringLiteral("name"))).trimmed(),
                                                        QJsonObject(), params));
    if (!d->checkParams(cmdObject, envObject))
        return;
    if (!manager()->create(*envObject, params, caller))
        return;
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_change(QJsonObject *, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const KMAuditEntry caller = KMAuditTrail::callerOf(*envObject, cmdObject);
    const QJsonObject params = cmdObject.value(kParams).toObject();
    const RefusalRecord refusal(envObject, caller.about(requestedPxyno(cmdObject),
                                                        toString(params.value(QStringLiteral("name"))).trimmed(),
                                                        QJsonObject(), params));
    if (!d->checkParams(cmdObject, envObject))
        return;
    if (!manager()->change(*envObject, params, caller))
        return;
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_remove(QJsonObject *, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const int pxyno = requestedPxyno(cmdObject);
    const KMAuditEntry caller = KMAuditTrail::callerOf(*envObject, cmdObject);
    const RefusalRecord refusal(envObject, caller.about(pxyno, QString(), QJsonObject(), QJsonObject()));
    if (pxyno < 1) {
        refuse(envObject, QStringLiteral("参数遗漏(pxyno)"));
        return;
    }
    if (!manager()->remove(*envObject, pxyno, caller))
        return;
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_status(QJsonObject *retObject, QJsonObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    QJsonObject results;
    if (!manager()->status(*envObject, results))
        return;
    results.insert(QStringLiteral("version"), QString::fromLatin1(kReverseproxyVersion));
    retObject->insert(kResults, results);
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_import(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const QJsonObject params = cmdObject.value(kParams).toObject();
    const QJsonArray rules = params.value(QStringLiteral("rules")).toArray();
    const bool replace = toBool(params.value(QStringLiteral("replace")));
    const bool dryRun = toBool(params.value(QStringLiteral("dryrun")));
    const KMAuditEntry caller = dryRun ? KMAuditEntry() : KMAuditTrail::callerOf(*envObject, cmdObject);
    const RefusalRecord refusal(envObject, caller.about(0, QString(), QJsonObject(),
                                                        {{QStringLiteral("rules"), rules.size()},
                                                         {QStringLiteral("replace"), replace}}));
    if (!KMReverseproxyRouterPrivate::checkImport(params, envObject))
        return;
    if (!manager()->importRules(*envObject, rules, replace, dryRun, caller))
        return;
    retObject->insert(kResults, QJsonObject{{QStringLiteral("imported"), rules.size()},
                                            {QStringLiteral("replace"), replace},
                                            {QStringLiteral("dryrun"), dryRun}});
    envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}

void KMReverseproxyRouter::_reverseproxy_log(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    envObject->setErr(ZX2Error::ERR_FAILED, QString());
    const QJsonObject params = cmdObject.value(kParams).toObject();
    // Numbers read as in every other command; a limit past the most one
    // listing answers gets that most.
    const QJsonValue limit = params.value(QStringLiteral("limit"));
    const int count = limit.isUndefined() ? kDefaultLogLimit : toInt(limit);
    const bool anyRule = !params.contains(kPxyno);
    const int pxyno = anyRule ? 0 : requestedPxyno(cmdObject);
    if (count < 1) {
        refuse(envObject, QStringLiteral("参数内容错误(limit)"));
        return;
    }
    if (!anyRule && pxyno < 1) {
        refuse(envObject, QStringLiteral("参数内容错误(pxyno)"));
        return;
    }
    QJsonArray entries;
    if (!manager()->log(*envObject, entries, count, pxyno))
        return;
    retObject->insert(kResults, entries);
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

void KMReverseproxyRouter::reverseproxy_log(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    if (!KMReverseproxyRouterPrivate::answerHelp(retObject, cmdObject))
        _reverseproxy_log(retObject, cmdObject, envObject);
}
