#include "zx2journals.h"

#include "zx2error.h"

#include <QElapsedTimer>

class ZX2JournalsPrivate
{
public:
    ZX2JournalsPrivate() { timer.start(); }

    // Closes the current step (also from the const toRetObject).
    qint64 step()
    {
        const qint64 elapsed = timer.restart();
        times += elapsed;
        return elapsed;
    }

    int err = ZX2Error::ERR_FAILED;
    QString errmsg;
    QJsonArray segments;
    qint64 times = 0;
    QElapsedTimer timer;
};

ZX2Journals::ZX2Journals() : d(new ZX2JournalsPrivate)
{
}

ZX2Journals::~ZX2Journals()
{
    delete d;
}

int ZX2Journals::err() const
{
    return d->err;
}

QString ZX2Journals::errmsg() const
{
    return d->errmsg;
}

qint64 ZX2Journals::times() const
{
    return d->times;
}

QJsonArray ZX2Journals::segments() const
{
    return d->segments;
}

QString ZX2Journals::setErr(int err, const QString &errmsg)
{
    d->err = err;
    d->errmsg = errmsg;
    return QLatin1Char('[') + ZX2Error::toErrid(err) + QLatin1Char(']') + errmsg;
}

void ZX2Journals::setErrmsg(const QString &errmsg)
{
    d->errmsg = errmsg;
}

void ZX2Journals::setSegments(const QJsonArray &segments)
{
    d->segments = segments;
}

void ZX2Journals::reset(int err, const QString &errmsg, const QJsonArray &segments)
{
    setErr(err);
    setErrmsg(errmsg);
    setSegments(segments);
    d->times = 0;
}

void ZX2Journals::begin()
{
    d->times = 0;
    d->timer.start();
}

qint64 ZX2Journals::step()
{
    return d->step();
}

qint64 ZX2Journals::end()
{
    d->step();
    return d->times;
}

void ZX2Journals::add(const QJsonObject &object)
{
    d->segments.append(object);
}

void ZX2Journals::add(const QJsonArray &array)
{
    // Appended as one value, so the array stays one nested segment.
    d->segments.append(QJsonValue(array));
}

QJsonObject ZX2Journals::add(const QString &place, const QString &content, const QJsonObject &extra)
{
    QJsonObject segment = extra;
    segment.insert(QStringLiteral("place"), place);
    segment.insert(QStringLiteral("times"), step());
    segment.insert(QStringLiteral("content"), content);
    d->segments.append(segment);
    return segment;
}

QJsonObject ZX2Journals::add(const QString &place, const QString &action, bool success,
                             const QString &msg, const QString &command)
{
    QJsonObject segment;
    segment.insert(QStringLiteral("place"), place);
    segment.insert(QStringLiteral("action"), action);
    segment.insert(QStringLiteral("times"), step());
    segment.insert(QStringLiteral("success"), success);
    const QString text = msg.isEmpty() ? d->errmsg : msg;
    if (!text.isEmpty())
        segment.insert(QStringLiteral("msg"), text);
    if (!command.isEmpty())
        segment.insert(QStringLiteral("command"), command);
    d->segments.append(segment);
    return segment;
}

QJsonObject ZX2Journals::add(const QString &place, int err, const QString &action, bool success,
                             const QString &msg, const QString &command)
{
    setErr(err, msg);
    return add(place, action, success, msg, command);
}

void ZX2Journals::toRetObject(QJsonObject *ret, bool details) const
{
    if (!ret)
        return;
    d->step();
    ret->insert(QStringLiteral("err"), d->err);
    if (!ZX2Error::isSuccess(d->err) && !d->errmsg.isEmpty())
        ret->insert(QStringLiteral("errmsg"), d->errmsg);
    if (!details)
        return;
    ret->insert(QStringLiteral("elapsed"), d->times);
    if (!d->segments.isEmpty())
        ret->insert(QStringLiteral("journals"), d->segments);
}

void ZX2Journals::toRetObject(QJsonObject &ret, bool details) const
{
    toRetObject(&ret, details);
}

QJsonObject ZX2Journals::toObject() const
{
    QJsonObject object;
    object.insert(QStringLiteral("err"), d->err);
    object.insert(QStringLiteral("elapsed"), d->times);
    if (!ZX2Error::isSuccess(d->err) && !d->errmsg.isEmpty())
        object.insert(QStringLiteral("errmsg"), d->errmsg);
    if (!d->segments.isEmpty())
        object.insert(QStringLiteral("journals"), d->segments);
    return object;
}
