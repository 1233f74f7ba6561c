#ifndef ZX2CABINET_H
#define ZX2CABINET_H

#include "zx2journals.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QStringList>

class ZX2CabinetPrivate;

// The environment in which a command runs: one per local-socket connection,
// handed by pointer to every command slot of that connection. It is also the
// journal of the calls. Besides the journal it carries a connection-level
// object, a key/value store for the commands, a login token and a local flag.
// The object and the store have a lock each so slots on different threads may
// share one environment; the flag and the token are set before sharing.
class ZX2Cabinet : public ZX2Journals
{
public:
    ZX2Cabinet();
    ~ZX2Cabinet() override;

    bool isLocal() const;
    void setLocal(bool local);
    QString token() const;
    void setToken(QString token);

    // Connection-level object.
    void insert(QString key, QJsonValue value);
    // Undefined when the key is absent (a stored null stays null).
    QJsonValue value(QString key) const;
    QJsonObject object() const;

    // Key/value store.
    void set(QString key, QJsonValue value);
    // False, with value untouched, when the key is absent.
    bool get(QString key, QJsonValue &value) const;
    // Empty for an absent key and for a stored value that is not a string.
    QString getString(QString key) const;
    bool contains(QString key) const;
    void remove(QString key);
    QStringList keys() const;
    // Empties the store only.
    void clear();

private:
    Q_DISABLE_COPY(ZX2Cabinet)
    friend class ZX2CabinetPrivate;
    ZX2CabinetPrivate *const d;
};

Q_DECLARE_METATYPE(ZX2Cabinet *)

#endif // ZX2CABINET_H
