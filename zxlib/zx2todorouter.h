#ifndef ZX2TODOROUTER_H
#define ZX2TODOROUTER_H

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class ZX2Cabinet;
class ZX2Journals;
class ZX2TodoRouterPrivate;

// Turns the "cmd" of a request into a call of the slot of that name:
//   void <cmd>(QJsonObject* retObject, QJsonObject cmdObject, ZX2Cabinet* envObject)
// found through the meta-object and invoked directly on the calling thread.
// A slot named "__LS__<cmd>" is the variant for local-socket requests (doCall);
// a slot whose name begins with "_" is callable but never listed.
// Routers form a tree: a command this router does not know goes to its
// children in order of registration. Children are not owned.
//
// A listed slot is also run with the request {"help": 1}; it must then write
// its help entry ("comment", "params", "params-comment", "token",
// "unpublished") into retObject instead of doing its command.
class ZX2TodoRouter : public QObject
{
    Q_OBJECT
public:
    explicit ZX2TodoRouter(QObject *parent = nullptr);
    ~ZX2TodoRouter() override;

    virtual QString routerId() const;
    // Called once at start with the service configuration.
    virtual bool loadConfigure(ZX2Journals &journals, QJsonObject configuration);
    // Whether some router of this subtree ran the command ("err" 9885 in the
    // answer when none did).
    virtual bool doSlot(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet);
    // The same for the "__LS__" variants.
    virtual bool doCall(QJsonObject &answer, QJsonObject request, ZX2Cabinet *cabinet);

    // Ignores a null router, one already registered, and one that would close
    // a cycle (which would make dispatch recurse forever).
    void add(ZX2TodoRouter *router);
    void del(ZX2TodoRouter *router);
    QList<ZX2TodoRouter *> list() const;

    void inject(QJsonObject *answer, int err, QString errmsg) const;

    // Help entries of every listed command of this subtree, by command name;
    // names already in result are kept.
    void allInterfaces(QJsonObject &result);
    // Listed command names of this subtree (duplicates kept; no slot is run).
    void allInterfaces(QStringList &names);

protected:
    void setRouterId(QString routerId);

protected slots:
    // Lists every published command of this router and its children.
    virtual void help_interfaces(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);

private:
    Q_DISABLE_COPY(ZX2TodoRouter)
    friend class ZX2TodoRouterPrivate;
    ZX2TodoRouterPrivate *const d;
};

#endif // ZX2TODOROUTER_H
