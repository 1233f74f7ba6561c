#ifndef KMREVERSEPROXY_H
#define KMREVERSEPROXY_H

#include "kmaudittrail.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>

class ZX2Journals;
class KMReverseproxyPrivate;

// The rule manager: keeps the reverse-proxy rules in their database and turns
// the whole rule table into Apache's configuration after every change.
//
// Every operation reports through the journal: on failure it sets a code and
// a message and returns false; on success it returns true and leaves the
// journal as it was. Operations may be called from many threads at once:
// create, change, remove, importRules and mapTo are serialised (checks,
// candidate files, Apache's test, store), so two requests can never both pass
// the same check, and a change is answered only once the database and the
// files agree. The names they give are looked up before, all at once, outside
// that serialisation (KMNameLookup).
// A change with an audit entry whose command is set (see KMAuditEntry) is
// recorded in the audit trail in the transaction that stores it; the caller
// records a refusal with logRefused.
// Call start once before anything else, and stop once the last request ended.
class KMReverseproxy : public QObject
{
    Q_OBJECT
public:
    explicit KMReverseproxy(QObject *parent = nullptr);
    ~KMReverseproxy() override;

    // Opens (or creates) the rule database (mode 0640 with its companions,
    // whatever the umask) and upgrades it, writes Apache's files from it
    // (whatever files were in place) and has Apache reload. False when the
    // store cannot be opened (the journal is then not touched) or exists but
    // is damaged (the journal then holds ERR_SQLERROR and SQLite's verdict).
    // Files that cannot be written do not stop the start: the reload worker
    // writes them again and status reports the outcome.
    // Stored rules are screened there without asking a resolver: call
    // checkStoredNames once the socket serves.
    bool start(ZX2Journals &journals);
    // Looks the stored rules' names up on a thread of its own and leaves
    // out the rules whose names turn out to loop through this Apache or to
    // take the appliance's own paths.
    void checkStoredNames();
    // Ends the reload worker (and a child it runs) and moves the database's
    // write-ahead log into its file. Idempotent; the destructor calls it.
    void stop();

    // Inserts every rule record into rules under its trimmed name. Listings
    // read the table as the last finished change left it, never a change
    // under way.
    bool alload(ZX2Journals &journals, QJsonObject &rules) const;
    // Replaces rule by the record of rule number pxyno.
    bool acquit(ZX2Journals &journals, QJsonObject &rule, int pxyno) const;
    // params is the client's rule parameter object; it is stored as it came.
    bool create(ZX2Journals &journals, const QJsonObject &params, const KMAuditEntry &audit = KMAuditEntry());
    // params additionally carries "pxyno", the rule to rewrite.
    bool change(ZX2Journals &journals, const QJsonObject &params, const KMAuditEntry &audit = KMAuditEntry());
    bool remove(ZX2Journals &journals, int pxyno, const KMAuditEntry &audit = KMAuditEntry());
    // Adds rules (client rule parameter objects) to the table, or replaces
    // the table with them, as one change: each passes every check of a
    // create against the table as it will be, then one store transaction,
    // one regeneration and one reload. On any refusal nothing changes and the
    // journal holds the rule's own code and importLabel + the reason. dryRun
    // answers the same and changes nothing.
    bool importRules(ZX2Journals &journals, const QJsonArray &rules, bool replace, bool dryRun,
                     const KMAuditEntry &audit = KMAuditEntry());
    // The most rules one import takes (ERR_NOT_ENOUGH beyond).
    static constexpr int kMaxImport = 5000;
    // "rule <index counted from 1> (<name>): ", how an import names a rule
    // ("rule <index>: " without a name).
    static QString importLabel(int index, const QJsonObject &params);
    // How Apache took the rules: the last reload's outcome, whether Apache
    // runs, the rules left out of its configuration with the reason, the
    // names the appliance answers to ("names", see KMOwnNames) and
    // "certificates": the certificate of each name of the https rules.
    bool status(ZX2Journals &journals, QJsonObject &results) const;
    // The newest limit entries of the audit trail (of rule pxyno only, when
    // above 0), newest first.
    bool log(ZX2Journals &journals, QJsonArray &entries, int limit, int pxyno) const;
    // Records a refused change (entry.err holds the answer's code) in a
    // transaction of its own; a rule it names that is stored gives the
    // entry its parameters as "before" and, when it has none, its name.
    // Entries without a command are not recorded.
    void logRefused(KMAuditEntry entry);

    // Rewrites http.conf, https.conf and the virtual-host files from the whole
    // rule table and schedules Apache's reload.
    bool mapTo(ZX2Journals &journals) const;

private:
    Q_DISABLE_COPY(KMReverseproxy)
    friend class KMReverseproxyPrivate;
    KMReverseproxyPrivate *const d; // created by the constructor, deleted by the destructor
};

#endif // KMREVERSEPROXY_H
