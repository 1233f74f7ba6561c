#ifndef LNX2NETWORK_H
#define LNX2NETWORK_H

#include <QJsonArray>
#include <QString>
#include <QStringList>

// The network interfaces of the appliance as the kernel lists them under
// /sys/class/net (virtual ones also under /sys/devices/virtual/net), with
// their hardware addresses, and the clock set from a time server. Stateless.
// Listings are the directory's full entry lists, "." and ".." included,
// sorted by name without regard to letter case. Interface records are
// {"name", "mac"} plus "virtual" (1 or 0) in the full listing.
class LNX2Network
{
public:
    LNX2Network() = default;

    QStringList virtuals() const;
    QStringList all() const;
    // all() without the names of virtuals().
    QStringList available() const;
    QJsonArray nics() const;
    // One record per given name, whether or not such an interface exists.
    QJsonArray nics(const QStringList &names) const;
    // Sets the system clock from server (the appliance's time server when
    // server is blank) and writes it to the hardware clock.
    bool networkTimeProtocol(const QString &server) const;
};

#endif // LNX2NETWORK_H
