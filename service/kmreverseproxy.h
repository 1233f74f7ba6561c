#ifndef KMREVERSEPROXY_H
#define KMREVERSEPROXY_H

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
// files agree.
// Call start once before anything else, and stop once the last request ended.
class KMReverseproxy : public QObject
{
    Q_OBJECT
public:
    explicit KMReverseproxy(QObject *parent = nullptr);
    ~KMReverseproxy() override;

    // Opens (or creates) the rule database and upgrades it, writes Apache's
    // files from it (whatever files were in place) and has Apache reload.
    // False when the store cannot be opened (the journal is then not
    // touched) or exists but is damaged (the journal then holds ERR_SQLERROR
    // and SQLite's verdict). Files that cannot be written do not stop it:
    // the reload writes them again and the status tells the outcome.
    bool start(ZX2Journals &journals);
    // Ends the reload worker (and a child it runs) and moves the database's
    // write-ahead log into its file. Idempotent; the destructor calls it.
    void stop();

    // Inserts every rule record into rules under its trimmed name.
    bool alload(ZX2Journals &journals, QJsonObject &rules) const;
    // Replaces rule by the record of rule number pxyno.
    bool acquit(ZX2Journals &journals, QJsonObject &rule, int pxyno) const;
    // params is the client's rule parameter object; it is stored as it came.
    bool create(ZX2Journals &journals, const QJsonObject &params);
    // params additionally carries "pxyno", the rule to rewrite.
    bool change(ZX2Journals &journals, const QJsonObject &params);
    bool remove(ZX2Journals &journals, int pxyno);
    // Adds rules (client rule parameter objects) to the table, or replaces
    // the table with them, as one change: each passes every check of a
    // create against the table as it will be, then one store transaction,
    // one regeneration and one reload. On any refusal nothing changes and the
    // journal holds the rule's own code and importLabel + the reason. dryRun
    // answers the same and changes nothing.
    bool importRules(ZX2Journals &journals, const QJsonArray &rules, bool replace, bool dryRun);
    // The most rules one import takes (ERR_NOT_ENOUGH beyond).
    static constexpr int kMaxImport = 5000;
    // "rule <index counted from 1> (<name>): ", how an import names a rule
    // ("rule <index>: " without a name).
    static QString importLabel(int index, const QJsonObject &params);
    // How Apache took the rules: the last reload's outcome, whether Apache
    // runs, and the rules left out of its configuration with the reason.
    bool status(ZX2Journals &journals, QJsonObject &results) const;

    // Rewrites http.conf, https.conf and the virtual-host files from the whole
    // rule table and schedules Apache's reload.
    bool mapTo(ZX2Journals &journals) const;

private:
    Q_DISABLE_COPY(KMReverseproxy)
    friend class KMReverseproxyPrivate;
    KMReverseproxyPrivate *const d; // created by the constructor, deleted by the destructor
};

#endif // KMREVERSEPROXY_H
