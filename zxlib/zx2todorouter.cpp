#include "zx2todorouter.h"

#include "zx2cabinet.h"
#include "zx2error.h"
#include "zx2utils.h"

#include <QHash>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QMutex>
#include <QMutexLocker>

#include <mutex>

namespace {

const QByteArray kCommandSignature("(QJsonObject*,QJsonObject,ZX2Cabinet*)");
const QString kLocalPrefix = QStringLiteral("__LS__");

const char kHelpInterfaces[] =
    u8"{\"cmd\":\"help_interfaces\","
    u8"\"comment\":\"获取接口的使用说明\","
    u8"\"params\":{\"cmd\":\"接口名(可选)\"},"
    u8"\"params-comment\":{\"cmd\":\"可选的接口名, 不指定时显示所有接口的使用说明\"}}";

const QString kTokenText = QStringLiteral(u"登录成功时返回的token");

bool isCommand(const QMetaMethod &method)
{
    return method.methodSignature().endsWith(kCommandSignature);
}

// Runs the command slot with the given method index directly on this thread.
void invokeCommand(QObject *router, int index, QJsonObject *answer, const QJsonObject &request,
                   ZX2Cabinet *cabinet)
{
    QJsonObject copy(request);
    void *arguments[] = {nullptr, &answer, &copy, &cabinet};
    QMetaObject::metacall(router, QMetaObject::InvokeMetaMethod, index, arguments);
}

// Fills in what the router adds to a slot's own help entry.
QJsonObject completeEntry(QJsonObject entry)
{
    if (!entry.contains(QLatin1String("comment")))
        return QJsonObject{{QStringLiteral("comment"), QStringLiteral(u"<<此接口没有提供使用说明>>")}};
    if (!entry.contains(QLatin1String("params")))
        entry.insert(QStringLiteral("params-comment"), QStringLiteral(u"本接口没有参数"));
    if (entry.contains(QLatin1String("token"))) {
        entry.insert(QStringLiteral("token"), kTokenText);
        entry.insert(QStringLiteral("token-comment"), kTokenText);
    } else {
        entry.insert(QStringLiteral("token-comment"), QStringLiteral(u"允许不传token，但已登录时建议传入"));
    }
    return entry;
}

} // namespace

class ZX2TodoRouterPrivate
{
public:
    struct Commands
    {
        QHash<QString, int> plain; // slot name -> method index
        QHash<QString, int> local; // command of a "__LS__" slot -> method index
    };

    // Built on first use: the most derived meta-object is not ready while the
    // base constructor runs. Looking names up here is far cheaper than
    // searching the meta-object for a signature at every request.
    const Commands &commands(const ZX2TodoRouter *router);
    // Runs the command slot (local or plain) here or in the first child that has it.
    bool dispatch(ZX2TodoRouter *router, bool local, QJsonObject &answer,
                  const QJsonObject &request, ZX2Cabinet *cabinet);
    // Whether target is this router or one of its descendants.
    bool reaches(const ZX2TodoRouter *self, const ZX2TodoRouter *target) const;

    QString routerId;
    mutable QMutex lock;
    QList<ZX2TodoRouter *> children;
    std::once_flag commandsBuilt;
    Commands commandIndex;
};

const ZX2TodoRouterPrivate::Commands &ZX2TodoRouterPrivate::commands(const ZX2TodoRouter *router)
{
    std::call_once(commandsBuilt, [&] {
        const QMetaObject *meta = router->metaObject();
        // In index order, so a slot redeclared by a subclass wins over the base's.
        for (int i = 0; i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (!isCommand(method))
                continue;
            const QString name = QString::fromLatin1(method.name());
            commandIndex.plain.insert(name, i);
            if (name.startsWith(kLocalPrefix))
                commandIndex.local.insert(name.mid(kLocalPrefix.size()), i);
        }
    });
    return commandIndex;
}

bool ZX2TodoRouterPrivate::dispatch(ZX2TodoRouter *router, bool local, QJsonObject &answer,
                                    const QJsonObject &request, ZX2Cabinet *cabinet)
{
    const QString command = request.value(QLatin1String("cmd")).toString().trimmed();
    if (command.isEmpty())
        return false;
    const Commands &known = commands(router);
    const int index = (local ? known.local : known.plain).value(command, -1);
    if (index >= 0) {
        invokeCommand(router, index, &answer, request, cabinet);
        return true;
    }
    for (ZX2TodoRouter *child : router->list()) {
        if (local ? child->doCall(answer, request, cabinet) : child->doSlot(answer, request, cabinet))
            return true;
    }
    answer.insert(QStringLiteral("err"), int(ZX2Error::ERR_MISSING));
    return false;
}

bool ZX2TodoRouterPrivate::reaches(const ZX2TodoRouter *self, const ZX2TodoRouter *target) const
{
    if (self == target)
        return true;
    for (const ZX2TodoRouter *child : self->list()) {
        if (child->d->reaches(child, target))
            return true;
    }
    return false;
}

ZX2TodoRouter::ZX2TodoRouter(QObject *parent)
    : QObject(parent)
    , d(new ZX2TodoRouterPrivate)
{
    // Only pointers travel: the environment itself is never copied.
    qRegisterMetaType<ZX2Cabinet *>("ZX2Cabinet*");
}

ZX2TodoRouter::~ZX2TodoRouter()
{
    delete d;
}

QString ZX2TodoRouter::routerId() const
{
    return d->routerId;
}

void ZX2TodoRouter::setRouterId(QString routerId)
{
    d->routerId = routerId;
}

bool ZX2TodoRouter::loadConfigure(ZX2Journals &journals, QJsonObject configuration)
{
    Q_UNUSED(journals)
    Q_UNUSED(configuration)
    return true;
}

bool ZX2TodoRouter::doSlot(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet)
{
    return d->dispatch(this, false, answer, request, cabinet);
}

bool ZX2TodoRouter::doCall(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet)
{
    return d->dispatch(this, true, answer, request, cabinet);
}

void ZX2TodoRouter::add(ZX2TodoRouter *router)
{
    if (!router || router->d->reaches(router, this))
        return;
    QMutexLocker locker(&d->lock);
    if (!d->children.contains(router))
        d->children.append(router);
}

void ZX2TodoRouter::del(ZX2TodoRouter *router)
{
    QMutexLocker locker(&d->lock);
    d->children.removeOne(router);
}

QList<ZX2TodoRouter *> ZX2TodoRouter::list() const
{
    QMutexLocker locker(&d->lock);
    return d->children;
}

void ZX2TodoRouter::inject(QJsonObject *answer, int err, QString errmsg) const
{
    if (!answer)
        return;
    answer->insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        answer->insert(QStringLiteral("errmsg"), errmsg);
}

void ZX2TodoRouter::allInterfaces(QJsonObject &result)
{
    const QJsonObject helpRequest{{QStringLiteral("help"), 1}};
    ZX2Cabinet cabinet;
    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        const QString name = QString::fromLatin1(method.name());
        if (result.contains(name) || name.startsWith(QLatin1Char('_')) || !isCommand(method))
            continue;
        QJsonObject entry;
        invokeCommand(this, i, &entry, helpRequest, &cabinet);
        if (toBool(entry.value(QLatin1String("unpublished"))))
            continue;
        entry = completeEntry(entry);
        entry.insert(QStringLiteral("cmd"), name);
        result.insert(name, entry);
    }
    for (ZX2TodoRouter *child : list())
        child->allInterfaces(result);
}

void ZX2TodoRouter::allInterfaces(QStringList &names)
{
    const QMetaObject *meta = metaObject();
    for (int i = 0; i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        if (!method.name().startsWith('_') && isCommand(method))
            names.append(QString::fromLatin1(method.name()));
    }
    QMutexLocker locker(&d->lock);
    for (ZX2TodoRouter *child : qAsConst(d->children))
        child->allInterfaces(names);
}

void ZX2TodoRouter::help_interfaces(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject)
{
    Q_UNUSED(cmdObject)
    QJsonObject result{{QStringLiteral("help_interfaces"),
                        QJsonDocument::fromJson(kHelpInterfaces).object()}};
    allInterfaces(result);
    if (retObject)
        retObject->insert(QStringLiteral("results"), result);
    if (envObject)
        envObject->setErr(ZX2Error::ERR_SUCCEED, QString());
}
