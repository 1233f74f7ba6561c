#ifndef KMREVERSEPROXYROUTER_H
#define KMREVERSEPROXYROUTER_H

#include "zx2todorouter.h"

#include <QJsonObject>

class ZX2Cabinet;
class KMReverseproxyRouterPrivate;

// The commands of the reverse-proxy service (router id "reverseproxy"). Each
// command checks the request's "params", calls the rule manager of the
// application object (IAppData()) and sets the call's journal. The plain
// slots answer a request carrying "help" with their (empty) help entry; the
// underscore slots do the work and stay out of help_interfaces. Every change
// command is recorded in the audit trail with its caller, refused ones too
// (dry runs change nothing and are not).
// Slots run on connection threads, several at once.
class KMReverseproxyRouter : public ZX2TodoRouter
{
    Q_OBJECT
public:
    explicit KMReverseproxyRouter(QObject *parent = nullptr);
    ~KMReverseproxyRouter() override;

private slots:
    void _reverseproxy_alload(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_acquit(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_create(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_change(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_remove(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_status(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_import(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void _reverseproxy_log(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_alload(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_acquit(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_create(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_change(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_remove(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_status(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_import(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);
    void reverseproxy_log(QJsonObject *retObject, QJsonObject cmdObject, ZX2Cabinet *envObject);

private:
    Q_DISABLE_COPY(KMReverseproxyRouter)
    friend class KMReverseproxyRouterPrivate;
    KMReverseproxyRouterPrivate *const d;   // created by the constructor, deleted by the destructor
};

#endif // KMREVERSEPROXYROUTER_H
