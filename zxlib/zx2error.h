#ifndef ZX2ERROR_H
#define ZX2ERROR_H

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

// The framework's result codes and a small stand-alone error record.
// ERR_SUCCEED (0) and ERR_SUCCESS (10000) mean success; every other code is a
// failure. The enumeration is registered with the meta-object so that a code
// can be named at run time (toErrid).
class ZX2ErrorPrivate;

class ZX2Error : public QObject
{
    Q_OBJECT
public:
    // Declaration order matters: the meta-object lists the names in this order.
    enum ERRORCODE {
        ERR_SUCCESS = 10000,
        ERR_SUCCEED = 0,
        ERR_FAILED = 9999,
        ERR_TIMEOUT = 9998,
        ERR_NO_INPUT = 9997,
        ERR_DAMAGE = 9996,
        ERR_PARAMS = 9995,
        ERR_NOT_EXISTS = 9994,
        ERR_EXISTS = 9993,
        ERR_BUSY = 9992,
        ERR_LOAD = 9991,
        ERR_SAVE = 9990,
        ERR_CONTENT = 9989,
        ERR_AUTHORIZE = 9988,
        ERR_SYSTEM = 9987,
        ERR_LOCKED = 9986,
        ERR_NOT_ACTIVE = 9985,
        ERR_NOT_LOGIN = 9984,
        ERR_SCENE = 9983,
        ERR_USED = 9982,
        ERR_UNCOOLED = 9981,
        ERR_MAINTENANCE = 9980,
        ERR_LOGIN_OUTSIDE = 9979,
        ERR_SCRIPT_FAILED = 9978,
        ERR_SERVER_OFFLINE = 9977,
        ERR_SCENE_EXISTS = 9976,
        ERR_SQLERROR = 9975,
        ERR_INCOMPATIBLE = 9974,
        ERR_NOT_ENOUGH = 9973,
        ERR_REQUEST = 9972,
        ERR_OFFLINE = 9971,
        ERR_CONFIG = 9970,
        ERR_CREATE = 9969,
        ERR_CHANGE = 9968,
        ERR_CHANGED = 9967,
        ERR_UNCHANGED = 9966,
        ERR_DELETE = 9965,
        ERR_CANCEL = 9964,
        ERR_UNKNOWN = 9963,
        ERR_UNTREATED = 9962,
        ERR_CORRELATIVE = 9961,
        ERR_DIFFERENCE = 9960,
        ERR_VERSION = 9959,
        ERR_READY = 9958,
        ERR_NO_RESPONSE = 9957,
        ERR_BEHIND = 9956,
        ERR_REDUPLICATED = 9955,
        ERR_ENCRYPTION = 9954,
        ERR_PASSWORD = 9953,
        ERR_UNCCGDPT = 9952,
        ERR_DEVICE = 9951,
        ERR_FUNDS = 9950,
        ERR_LOSED = 9949,
        ERR_EXPIRED = 9948,
        ERR_OUTOFRANGE = 9947,
        ERR_STATE = 9946,
        ERR_STEP = 9945,
        ERR_RESTRICT = 9944,
        ERR_ESCAPED = 9943,
        ERR_LIMIT = 9942,
        ERR_LIMITMAX = 9941,
        ERR_LIMITMIN = 9940,
        ERR_NO_CONFIG = 9939,
        ERR_SHUTDOWN = 9938,
        ERR_CLOSED = 9937,
        ERR_FULL = 9936,
        ERR_OVERFLOW = 9935,
        ERR_DOING = 9934,
        ERR_WAITING = 9933,
        ERR_NOT_ACHIEVED = 9932,
        ERR_UNNECESSARY = 9931,
        ERR_FORBID = 9930,
        ERR_LEVEL = 9929,
        ERR_EMPTY = 9928,
        ERR_NOTOPEN = 9927,
        ERR_RESERVED = 9926,
        ERR_WRONGFUL = 9925,
        ERR_ILLEGAL = 9924,
        ERR_IDENTICAL = 9923,
        ERR_BIND = 9922,
        ERR_UNBIND = 9921,
        ERR_CONNECT = 9920,
        ERR_SECRETKEY = 9919,
        ERR_PHONENO = 9918,
        ERR_CODEVERFIY = 9917,
        ERR_WRITE = 9916,
        ERR_READ = 9915,
        ERR_FORMAT = 9914,
        ERR_PROGRESS = 9913,
        ERR_INVALID = 9912,
        ERR_RENAME = 9911,
        ERR_MOVEFROM = 9910,
        ERR_MOVETO = 9909,
        ERR_STORAGE = 9908,
        ERR_FILEPATH = 9907,
        ERR_FILEDRIVER = 9906,
        ERR_DIRECTORY = 9905,
        ERR_FOLDER = 9904,
        ERR_FILENAME = 9903,
        ERR_FILEBASENAME = 9902,
        ERR_FILESUFFIX = 9901,
        ERR_EXTEND = 9900,
        ERR_INOPERATIVE = 9899,
        ERR_EXECUTE = 9898,
        ERR_OPEN = 9897,
        ERR_RESIDUAL = 9896,
        ERR_PARTLY_SUCCEED = 9895,
        ERR_SIGNATURE = 9894,
        ERR_LAUNCH = 9893,
        ERR_COMMUNICATION = 9892,
        ERR_UNDEFINED = 9891,
        ERR_REPAIRING = 9890,
        ERR_MOBILE = 9889,
        ERR_SMSCODE = 9888,
        ERR_NOT_FOUND = 9887,
        ERR_NO_ACCESS = 9886,
        ERR_MISSING = 9885,
        ERR_NO_PERMISSION = 9884,
        ERR_BETRAY_LOGIC = 9883,
        ERR_MACHINE = 9882,
        ERR_IDLE = 9881,
        ERR_METHOD = 9880,
        ERR_MOUNT = 9879,
        ERR_UMOUNT = 9878,
        ERR_DEVELOPING = 9877,
        ERR_ACCEPT = 9876,
        ERR_MISMATCHING = 9875,
        ERR_LIMITATIONS = 9874,
        ERR_VIRTUALMACHINE = 9873,
        ERR_LOST = 9872,
        ERR_LOCK = 9871,
        ERR_UNLOCK = 9870,
        ERR_CLASH = 9869,
        ERR_PERMISSION_DENIED = 9868,
        ERR_RUNNING = 9867,
        ERR_CONFLICT = 9866,
        ERR_SETTING = 9865,
        ERR_ENABLED = 9864,
        ERR_DISABLED = 9863,
        ERR_SYSTEMCRASH = 9861, // 9862 is not used
        ERR_COMMAND = 9860,
        ERR_UNSUPPORTED = 9859,
        ERR_DEACTIVATED = 9858,
        ERR_URL = 9857,
        ERR_URI = 9856,
        ERR_PARSE = 9855,
        ERR_YESSIR = 9854,
        ERR_OCCUPIED = 9853,
        ERR_PHONE_WRONG = 8999,
        ERR_CODEVERFIY_WRONG = 8998
    };
    Q_ENUM(ERRORCODE)

    // The enumerator name of a code ("ERR_PARAMS" for 9995); empty for a value
    // that is no enumerator.
    static QString toErrid(int err);
    // Whether err is one of the two success codes (ERR_SUCCEED, ERR_SUCCESS).
    static bool isSuccess(int err);

    explicit ZX2Error(int err = ERR_FAILED, const QString &errmsg = QString());
    ~ZX2Error() override;

    int err() const;
    // Stores both (the message unchanged) and returns err.
    int setErr(int err, const QString &errmsg = QString());
    QString errmsg() const;
    // Stores the message trimmed; returns the argument unchanged.
    QString setErrmsg(const QString &errmsg);
    // printf-style formatting (QString::vasprintf rules: %s takes a
    // zero-terminated UTF-8 string). Stores err and the trimmed text; returns
    // the text untrimmed. format is taken by value: va_start needs a
    // non-reference last parameter.
    QString setError(int err, QString format, ...);
    // Stores code, message (unchanged) and segments; times back to 0, timer restarted.
    void reset(int err = ERR_FAILED, const QString &errmsg = QString(),
               const QJsonArray &journals = QJsonArray());

    QJsonArray journals() const;
    void setJournals(const QJsonArray &journals);
    qint64 times() const;

    // times = 0 and the timer restarted.
    void begin();
    // Closes the current step: returns its milliseconds and adds them to times().
    qint64 step();
    // Closes the current step and returns the new total times().
    qint64 end();

    void add(const QJsonObject &object);
    // Appends the array as one (nested) segment.
    void add(const QJsonArray &array);
    // Appends {"place", "action", "times", "success", "msg"}; "msg" falls back
    // to the record's message and is present even when both are empty.
    QJsonObject add(const QString &place, const QString &action, bool success,
                    const QString &msg = QString());

    // Writes "err" and, for a failure code with a message, "errmsg". A null
    // pointer is ignored.
    void write(QJsonObject *ret) const;
    void write(QJsonObject &ret) const;
    // {"err", "errmsg" (as write), "elapsed", "journals" (when not empty)}
    QJsonObject toObject() const;

private:
    Q_DISABLE_COPY(ZX2Error)
    friend class ZX2ErrorPrivate;
    ZX2ErrorPrivate *const d; // created by the constructor, deleted by the destructor
};

#endif // ZX2ERROR_H
