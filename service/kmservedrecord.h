#ifndef KMSERVEDRECORD_H
#define KMSERVEDRECORD_H

#include "kmapacheconf.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

// A rule left out of the generated files, and why.
struct KMLeftOut
{
    QString version; // KMServedRecord::version() of the rule the verdict is about
    QString reason;
    // A rule whose port another program held stays out until then (ms since
    // the epoch), each time longer while the port stays taken.
    qint64 retryAt = 0;
    int strikes = 0;
    bool screened = false; // by this version's own checks at start: decided afresh at every start
};

// What the site serves and why, kept on disk beside the live files so that a
// restart neither forgets a rule Apache refused nor starts without the last
// files Apache served: the rules left out (each verdict tied to the version
// of the rule it was made on, so a changed rule is judged again and a removed
// one is forgotten) and the last file set Apache was seen to serve.
struct KMServedRecord
{
    QMap<int, KMLeftOut> leftOut;
    bool haveGood = false;
    KMApacheFiles good;       // the files Apache last served
    QSet<QString> goodRules;  // the versions of the rules in them

    // The rule's number and stored text, as a short digest.
    static QString version(const KMRule &rule);
    // The entries that hold for rules (their rule is there, in the version
    // judged; a taken port's only until its retry time), with the reasons.
    QMap<int, QString> holding(const QList<KMRule> &rules) const;
    // Forgets the entries of rules that are gone or changed.
    void forgetStale(const QList<KMRule> &rules);
    // The custom ports the good files make Apache listen on.
    QSet<int> goodPorts() const;

    // Reads the record; an absent or unreadable one reads as empty (false).
    bool load();
    // Replaces the record on disk (0640, renamed into place): the rules left
    // out, and with good the last good files too (they change only when
    // Apache served new files).
    bool save(QString &failure, bool withGood) const;
};

#endif // KMSERVEDRECORD_H
