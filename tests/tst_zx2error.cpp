#include "zx2error.h"

#include <QMetaEnum>
#include <QSet>
#include <QtTest>

class TestZX2Error : public QObject
{
    Q_OBJECT
private slots:
    void toErrid_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("name");
        QTest::newRow("success") << 10000 << "ERR_SUCCESS";
        QTest::newRow("succeed") << 0 << "ERR_SUCCEED";
        QTest::newRow("failed") << 9999 << "ERR_FAILED";
        QTest::newRow("params") << 9995 << "ERR_PARAMS";
        QTest::newRow("unccgdpt spelling") << 9952 << "ERR_UNCCGDPT";
        QTest::newRow("codeverfiy spelling") << 9917 << "ERR_CODEVERFIY";
        QTest::newRow("missing") << 9885 << "ERR_MISSING";
        QTest::newRow("disabled before gap") << 9863 << "ERR_DISABLED";
        QTest::newRow("gap") << 9862 << "";
        QTest::newRow("systemcrash after gap") << 9861 << "ERR_SYSTEMCRASH";
        QTest::newRow("occupied") << 9853 << "ERR_OCCUPIED";
        QTest::newRow("below run") << 9852 << "";
        QTest::newRow("phone wrong") << 8999 << "ERR_PHONE_WRONG";
        QTest::newRow("codeverfiy wrong") << 8998 << "ERR_CODEVERFIY_WRONG";
        QTest::newRow("negative") << -1 << "";
        QTest::newRow("above success") << 10001 << "";
    }
    void toErrid()
    {
        QFETCH(int, code);
        QFETCH(QString, name);
        QCOMPARE(ZX2Error::toErrid(code), name);
    }

    // The whole table follows one rule: 10000, 0, then a descending run from
    // 9999 without 9862, ending in 8999 and 8998.
    void enumerationFollowsRule()
    {
        const QMetaObject &mo = ZX2Error::staticMetaObject;
        const QMetaEnum codes = mo.enumerator(mo.indexOfEnumerator("ERRORCODE"));
        QVERIFY(codes.isValid());
        QCOMPARE(codes.keyCount(), 150);
        QList<int> expected = {10000, 0};
        for (int value = 9999; value >= 9853; --value) {
            if (value != 9862)
                expected.append(value);
        }
        expected << 8999 << 8998;
        QCOMPARE(expected.size(), 150);
        QSet<QString> names;
        for (int i = 0; i < codes.keyCount(); ++i) {
            QCOMPARE(codes.value(i), expected.at(i));
            names.insert(QString::fromLatin1(codes.key(i)));
        }
        QCOMPARE(names.size(), 150);
    }

    void setErrmsgTrimsStoredText()
    {
        ZX2Error error;
        QCOMPARE(error.setErrmsg(QStringLiteral("  x y \n")), QStringLiteral("  x y \n"));
        QCOMPARE(error.errmsg(), QStringLiteral("x y"));
        QCOMPARE(error.setErr(9990, QStringLiteral(" kept ")), 9990);
        QCOMPARE(error.errmsg(), QStringLiteral(" kept "));
    }

    void setError_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("returned");
        QTest::addColumn<QString>("stored");
        QTest::newRow("integer") << " count %d " << " count 7 " << "count 7";
        QTest::newRow("utf-8 text") << "\u6587\u4ef6 %d" << "\u6587\u4ef6 7" << "\u6587\u4ef6 7";
        QTest::newRow("padded") << "[%03d]" << "[007]" << "[007]";
    }
    void setError()
    {
        QFETCH(QString, format);
        QFETCH(QString, returned);
        QFETCH(QString, stored);
        ZX2Error error;
        QCOMPARE(error.setError(9995, format, 7), returned);
        QCOMPARE(error.err(), 9995);
        QCOMPARE(error.errmsg(), stored);
    }

    void setErrorStringArgumentIsUtf8()
    {
        ZX2Error error;
        const QByteArray name = QStringLiteral("\u89c4\u5219").toUtf8();
        QCOMPARE(error.setError(9994, QStringLiteral("%s: %d"), name.constData(), 3),
                 QStringLiteral("\u89c4\u5219: 3"));
    }

    void write_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("hasErrmsg");
        QTest::newRow("succeed with message") << 0 << "m" << false;
        QTest::newRow("success with message") << 10000 << "m" << false;
        QTest::newRow("failure with message") << 9995 << "m" << true;
        QTest::newRow("failure without message") << 9995 << "" << false;
    }
    void write()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, hasErrmsg);
        ZX2Error error(code, message);
        QJsonObject ret{{"errmsg", "before"}, {"results", 1}};
        error.write(ret);
        QCOMPARE(ret.value("err").toInt(), code);
        QCOMPARE(ret.value("errmsg").toString(), hasErrmsg ? message : QStringLiteral("before"));
        QVERIFY(!ret.contains("elapsed"));
        QVERIFY(!ret.contains("journals"));
        QCOMPARE(ret.value("results").toInt(), 1);
        error.write(nullptr);

        const QJsonObject object = error.toObject();
        QCOMPARE(object.contains("errmsg"), hasErrmsg);
        QVERIFY(object.contains("elapsed"));
        QVERIFY(!object.contains("journals"));
    }

    void addStepSegment_data()
    {
        QTest::addColumn<QString>("recordMessage");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("argument wins") << "rec" << "arg" << "arg";
        QTest::newRow("falls back to record") << "rec" << "" << "rec";
        QTest::newRow("both empty stays") << "" << "" << "";
    }
    void addStepSegment()
    {
        QFETCH(QString, recordMessage);
        QFETCH(QString, message);
        QFETCH(QString, expected);
        ZX2Error error(9999, recordMessage);
        const QJsonObject segment = error.add("place", "action", true, message);
        QCOMPARE(segment.keys(), (QStringList{"action", "msg", "place", "success", "times"}));
        QCOMPARE(segment.value("msg").toString(), expected);
        QCOMPARE(error.journals().size(), 1);
        QCOMPARE(error.journals().at(0).toObject(), segment);
        QCOMPARE(error.toObject().value("journals").toArray().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestZX2Error)
#include "tst_zx2error.moc"
