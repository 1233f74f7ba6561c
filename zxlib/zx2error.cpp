#include "zx2error.h"

#include <QElapsedTimer>
#include <QMetaEnum>

#include <cstdarg>

class ZX2ErrorPrivate
{
public:
    ZX2ErrorPrivate(int code, const QString &message) : err(code), errmsg(message) { timer.start(); }

    int err;
    QString errmsg;
    QJsonArray journals;
    qint64 times = 0;
    QElapsedTimer timer;
};

bool ZX2Error::isSuccess(int err)
{
    return err == ERR_SUCCEED || err == ERR_SUCCESS;
}

QString ZX2Error::toErrid(int err)
{
    const QMetaObject &mo = ZX2Error::staticMetaObject;
    const int index = mo.indexOfEnumerator("ERRORCODE");
    if (index < 0)
        return QString();
    return QString::fromLatin1(mo.enumerator(index).valueToKey(err));
}

ZX2Error::ZX2Error(int err, const QString &errmsg) : QObject(nullptr), d(new ZX2ErrorPrivate(err, errmsg))
{
}

ZX2Error::~ZX2Error()
{
    delete d;
}

int ZX2Error::err() const
{
    return d->err;
}

int ZX2Error::setErr(int err, const QString &errmsg)
{
    d->err = err;
    d->errmsg = errmsg;
    return err;
}

QString ZX2Error::errmsg() const
{
    return d->errmsg;
}

QString ZX2Error::setErrmsg(const QString &errmsg)
{
    d->errmsg = errmsg.trimmed();
    return errmsg;
}

QString ZX2Error::setError(int err, QString format, ...)
{
    const QByteArray utf8 = format.toUtf8();
    va_list ap;
    va_start(ap, format);
    const QString text = QString::vasprintf(utf8.constData(), ap);
    va_end(ap);
    d->err = err;
    d->errmsg = text.trimmed();
    return text;
}

void ZX2Error::reset(int err, const QString &errmsg, const QJsonArray &journals)
{
    d->err = err;
    d->errmsg = errmsg;
    d->journals = journals;
    d->times = 0;
    d->timer.start();
}

QJsonArray ZX2Error::journals() const
{
    return d->journals;
}

void ZX2Error::setJournals(const QJsonArray &journals)
{
    d->journals = journals;
}

qint64 ZX2Error::times() const
{
    return d->times;
}

void ZX2Error::begin()
{
    d->times = 0;
    d->timer.start();
}

qint64 ZX2Error::step()
{
    const qint64 elapsed = d->timer.restart();
    d->times += elapsed;
    return elapsed;
}

qint64 ZX2Error::end()
{
    step();
    return d->times;
}

void ZX2Error::add(const QJsonObject &object)
{
    d->journals.append(object);
}

void ZX2Error::add(const QJsonArray &array)
{
    // Appended as one value, so the array stays one nested segment.
    d->journals.append(QJsonValue(array));
}

QJsonObject ZX2Error::add(const QString &place, const QString &action, bool success, const QString &msg)
{
    QJsonObject segment;
    segment.insert(QStringLiteral("place"), place);
    segment.insert(QStringLiteral("action"), action);
    segment.insert(QStringLiteral("times"), step());
    segment.insert(QStringLiteral("success"), success);
    segment.insert(QStringLiteral("msg"), msg.isEmpty() ? d->errmsg : msg);
    d->journals.append(segment);
    return segment;
}

void ZX2Error::write(QJsonObject *ret) const
{
    if (!ret)
        return;
    ret->insert(QStringLiteral("err"), d->err);
    if (!ZX2Error::isSuccess(d->err) && !d->errmsg.isEmpty())
        ret->insert(QStringLiteral("errmsg"), d->errmsg);
}

void ZX2Error::write(QJsonObject &ret) const
{
    write(&ret);
}

QJsonObject ZX2Error::toObject() const
{
    QJsonObject object;
    write(&object);
    object.insert(QStringLiteral("elapsed"), d->times);
    if (!d->journals.isEmpty())
        object.insert(QStringLiteral("journals"), d->journals);
    return object;
}
