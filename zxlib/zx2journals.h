#ifndef ZX2JOURNALS_H
#define ZX2JOURNALS_H

#include "zx2error.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The result record that an operation fills while it runs: a result code
// (a ZX2Error::ERRORCODE value or any integer), a message, an ordered list of
// segments (one JSON value per step) and the elapsed milliseconds. An untouched
// journal reports failure (ERR_FAILED). No lock: one thread uses a journal at a time.
class ZX2JournalsPrivate;

class ZX2Journals
{
public:
    ZX2Journals();
    virtual ~ZX2Journals();

    int err() const;
    QString errmsg() const;
    qint64 times() const;
    QJsonArray segments() const;

    // Stores code and message (unchanged). Returns "[" + the code's enumerator
    // name + "]" followed by the message; "[]" for a code that is no enumerator.
    QString setErr(int err, const QString &errmsg = QString());
    void setErrmsg(const QString &errmsg);
    void setSegments(const QJsonArray &segments);
    // A fresh start with the given values; times back to 0. The timer keeps
    // running from its last restart.
    void reset(int err = ZX2Error::ERR_FAILED, const QString &errmsg = QString(),
               const QJsonArray &segments = QJsonArray());

    // times = 0 and the timer restarted.
    void begin();
    // Closes the current step: returns its milliseconds and adds them to times().
    qint64 step();
    // Closes the current step and returns the new total times().
    qint64 end();

    void add(const QJsonObject &object);
    // Appends the array as one (nested) segment.
    void add(const QJsonArray &array);
    // Content segment: a copy of extra with "place", "times" and "content" set
    // on top. Appended and returned.
    QJsonObject add(const QString &place, const QString &content,
                    const QJsonObject &extra = QJsonObject());
    // Step segment {"place", "action", "times", "success", "msg", "command"}:
    // "msg" falls back to the journal's message and is left out when both are
    // empty; "command" is left out when empty. Appended and returned.
    QJsonObject add(const QString &place, const QString &action, bool success,
                    const QString &msg = QString(), const QString &command = QString());
    // setErr(err, msg), then the step segment above.
    QJsonObject add(const QString &place, int err, const QString &action, bool success,
                    const QString &msg = QString(), const QString &command = QString());

    // Writes the result keys into an existing answer: "err"; "errmsg" for a
    // failure code with a message; with details also "elapsed" and, when there
    // are segments, "journals". Other keys of ret stay. Closes the current step
    // first so "elapsed" covers the whole call. A null pointer is ignored.
    void toRetObject(QJsonObject *ret, bool details) const;
    void toRetObject(QJsonObject &ret, bool details) const;
    // {"err", "elapsed" (times, the timer is not read), "errmsg" (as above),
    // "journals" (when not empty)}
    QJsonObject toObject() const;

private:
    Q_DISABLE_COPY(ZX2Journals)
    friend class ZX2JournalsPrivate;
    ZX2JournalsPrivate *const d; // created by the constructor, deleted by the destructor
};

#endif // ZX2JOURNALS_H
