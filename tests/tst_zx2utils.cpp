#include "zx2utils.h"

#include <QtTest>

Q_DECLARE_METATYPE(QJsonValue)

class TestZX2Utils : public QObject
{
    Q_OBJECT
private slots:
    // Grouping in toStrOfInt follows the default locale; fix it for the test.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void numbers_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("toIntResult");
        QTest::addColumn<int>("withDefault");
        QTest::addColumn<qint64>("toInt64Result");
        QTest::addColumn<double>("toDoubleResult");
        QTest::newRow("decimal") << QJsonValue("42") << 42 << 42 << qint64(42) << 42.0;
        QTest::newRow("blanks") << QJsonValue(" 42 ") << 42 << 42 << qint64(42) << 42.0;
        QTest::newRow("plus") << QJsonValue("+7") << 7 << 7 << qint64(7) << 7.0;
        QTest::newRow("minus") << QJsonValue("-3") << -3 << -3 << qint64(-3) << -3.0;
        QTest::newRow("hex ff") << QJsonValue("ff") << 255 << 255 << qint64(255) << 0.0;
        QTest::newRow("hex 1e3") << QJsonValue("1e3") << 483 << 483 << qint64(483) << 1000.0;
        QTest::newRow("hex abc") << QJsonValue("abc") << 2748 << 2748 << qint64(2748) << 0.0;
        QTest::newRow("fraction text") << QJsonValue("3.5") << 0 << 0 << qint64(0) << 3.5;
        QTest::newRow("no number") << QJsonValue("xyz") << 0 << 0 << qint64(0) << 0.0;
        QTest::newRow("empty text") << QJsonValue("") << 0 << 0 << qint64(0) << 0.0;
        QTest::newRow("inf text") << QJsonValue("inf") << 0 << 0 << qint64(0) << 0.0;
        QTest::newRow("nan text") << QJsonValue("nan") << 0 << 0 << qint64(0) << 0.0;
        QTest::newRow("beyond int") << QJsonValue("10000000000") << 0 << 0 << qint64(10000000000) << 1e10;
        QTest::newRow("double") << QJsonValue(3.9) << 3 << 3 << qint64(3) << 3.9;
        QTest::newRow("negative double") << QJsonValue(-3.9) << -3 << -3 << qint64(-3) << -3.9;
        QTest::newRow("huge double clamps") << QJsonValue(1e300) << INT_MAX << INT_MAX
                                            << std::numeric_limits<qint64>::max() << 1e300;
        QTest::newRow("true") << QJsonValue(true) << 1 << 1 << qint64(1) << 1.0;
        QTest::newRow("false") << QJsonValue(false) << 0 << 0 << qint64(0) << 0.0;
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 0 << 7 << qint64(0) << 0.0;
        QTest::newRow("null") << QJsonValue() << 0 << 7 << qint64(0) << 0.0;
        QTest::newRow("array") << QJsonValue(QJsonArray{5}) << 0 << 7 << qint64(0) << 0.0;
        QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 5}}) << 0 << 7 << qint64(0) << 0.0;
    }
    void numbers()
    {
        QFETCH(QJsonValue, value);
        QFETCH(int, toIntResult);
        QFETCH(int, withDefault);
        QFETCH(qint64, toInt64Result);
        QFETCH(double, toDoubleResult);
        QCOMPARE(toInt(value), toIntResult);
        QCOMPARE(toInt(value, 7), withDefault);
        QCOMPARE(toInt64(value), toInt64Result);
        QCOMPARE(toDouble(value), toDoubleResult);
    }

    void missingKey()
    {
        const QJsonObject object{{"a", "5"}};
        QCOMPARE(toInt(object.value("b")), 0);
        QCOMPARE(toInt(object.value("b"), 7), 7);
        QCOMPARE(toBool(object.value("b")), false);
        QCOMPARE(toString(object.value("b"), "d"), QStringLiteral("d"));
    }

    void truthText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");
        for (const char *t : {"1", "2", " 3 ", "TRUE", "Yes", "ON", "Ok", "y", "T"})
            QTest::newRow(t) << QString::fromLatin1(t) << true;
        for (const char *f : {"0", "-1", "", "false", "no", "off", "1.0", "1.5", "2x", " yes"})
            QTest::newRow(QByteArray("false: ").append(f).constData()) << QString::fromLatin1(f) << false;
    }
    void truthText()
    {
        QFETCH(QString, text);
        QFETCH(bool, expected);
        QCOMPARE(toBool(text), expected);
        QCOMPARE(isTrue(text), expected);
        QCOMPARE(toBool(QJsonValue(text)), expected);
    }

    void truthValue_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("expected");
        QTest::newRow("half") << QJsonValue(0.5) << true;
        QTest::newRow("minus one") << QJsonValue(-1) << false;
        QTest::newRow("zero") << QJsonValue(0) << false;
        QTest::newRow("true") << QJsonValue(true) << true;
        QTest::newRow("null") << QJsonValue() << false;
        QTest::newRow("array") << QJsonValue(QJsonArray{1}) << false;
        QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 1}}) << false;
    }
    void truthValue()
    {
        QFETCH(QJsonValue, value);
        QFETCH(bool, expected);
        QCOMPARE(toBool(value), expected);
        QCOMPARE(isTrue(value), expected);
    }

    void strings_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("ofInt");
        QTest::addColumn<QString>("doubleText");
        QTest::addColumn<QString>("money");
        QTest::newRow("whole") << QJsonValue(3.0) << "3" << "  3" << "3.000000" << "3.00";
        QTest::newRow("negative whole") << QJsonValue(-12) << "-12" << "-12" << "-12.000000" << "-12.00";
        QTest::newRow("fraction") << QJsonValue(2.5) << "2.500000" << "  2" << "2.500000" << "2.50";
        QTest::newRow("beyond int") << QJsonValue(3e9) << "3000000000.000000" << "3,000,000,000"
                                    << "3000000000.000000" << "3000000000.00";
        QTest::newRow("grouped") << QJsonValue(12345) << "12345" << "12,345" << "12345.000000" << "12345.00";
        QTest::newRow("zero") << QJsonValue(0) << "0" << "def" << "0.000000" << "def";
        QTest::newRow("number text") << QJsonValue("7.25") << "7.25" << "  7" << "7.250000" << "7.25";
        QTest::newRow("other text") << QJsonValue("abc") << "abc" << "def" << "0.000000" << "def";
        QTest::newRow("nan text") << QJsonValue("nan") << "nan" << "def" << "0.000000" << "def";
        QTest::newRow("overflow text") << QJsonValue("-1e400") << "-1e400" << "def" << "0.000000" << "def";
        QTest::newRow("true") << QJsonValue(true) << "" << "def" << "0" << "def";
        QTest::newRow("null") << QJsonValue() << "" << "def" << "0" << "def";
        QTest::newRow("array") << QJsonValue(QJsonArray{1}) << "" << "def" << "0" << "def";
    }
    void strings()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QString, text);
        QFETCH(QString, ofInt);
        QFETCH(QString, doubleText);
        QFETCH(QString, money);
        QCOMPARE(toString(value), text);
        QCOMPARE(toString(value, "def"), text.isEmpty() ? QStringLiteral("def") : text);
        QCOMPARE(toStrOfInt(value, "def"), ofInt);
        QCOMPARE(toDoubleString(value), doubleText);
        QCOMPARE(toMoneyString(value, "def"), money);
    }

    void plainNumberStrings()
    {
        QCOMPARE(toStrOfInt(5, "-"), QStringLiteral("  5"));
        QCOMPARE(toStrOfInt(0, "-"), QStringLiteral("-"));
        QCOMPARE(toMoneyString(1.005 + 1, "-"), QStringLiteral("2.00"));
        QCOMPARE(toMoneyString(0.0, "-"), QStringLiteral("-"));
        QCOMPARE(secsToTimes(90061), QStringLiteral("25:01:01"));
        QCOMPARE(secsToTimes(59), QStringLiteral("00:00:59"));
    }

    void jsonObjects_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("object") << "{\"a\":1}" << true;
        QTest::newRow("chinese") << "{\"\u540d\":\"\u503c\"}" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("array") << "[1,2]" << false;
        QTest::newRow("broken") << "{bad" << false;
        QTest::newRow("trailing garbage") << "{\"a\":1} x" << false;
    }
    void jsonObjects()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const QJsonObject parsed = toJsonObject(text);
        QCOMPARE(parsed.isEmpty(), !valid);
        QCOMPARE(toJsonObject(text.toUtf8()), parsed);
        const QJsonObject untouched{{"keep", 1}};
        QJsonObject out = untouched;
        QCOMPARE(toJsonObject(out, text), valid);
        QCOMPARE(out, valid ? parsed : untouched);
        out = untouched;
        QCOMPARE(toJsonObject(out, text.toUtf8()), valid);
        QCOMPARE(out, valid ? parsed : untouched);
        if (valid)
            QCOMPARE(jsonToString(parsed), text);
    }

    void jsonArraysAndValues()
    {
        QCOMPARE(toJsonArray(QStringLiteral("[1,\"a\"]")), (QJsonArray{1, "a"}));
        QCOMPARE(toJsonArray(QByteArray("{\"a\":1}")), QJsonArray());
        QCOMPARE(toJsonArray(QByteArray("[1")), QJsonArray());
        QCOMPARE(toJsonValue(QJsonValue("[1,2]")).toArray(), (QJsonArray{1, 2}));
        QCOMPARE(toJsonValue(QJsonValue("{\"a\":1}")).toObject(), (QJsonObject{{"a", 1}}));
        for (const QJsonValue &other : {QJsonValue(""), QJsonValue("{bad"), QJsonValue("3"), QJsonValue(3),
                                        QJsonValue(QJsonObject{{"a", 1}})}) {
            const QJsonValue unpacked = toJsonValue(other);
            QVERIFY(unpacked.isObject());
            QVERIFY(unpacked.toObject().isEmpty());
        }
        QCOMPARE(jsonToString(QJsonArray{1, "x"}), QStringLiteral("[1,\"x\"]"));
        QCOMPARE(jsonToString(QJsonValue("text")), QStringLiteral("{}"));
        QCOMPARE(jsonToString(QJsonValue(5)), QStringLiteral("{}"));
    }

    void merge()
    {
        const QJsonObject base{{"a", 1}, {"n", QJsonObject{{"x", 1}, {"y", 2}}}};
        const QJsonObject overlay{{"b", 2}, {"n", QJsonObject{{"x", 9}}}, {"a", 3}};
        const QJsonObject merged = jsonMerge(base, overlay);
        QCOMPARE(merged, (QJsonObject{{"a", 3}, {"b", 2}, {"n", QJsonObject{{"x", 9}}}}));
    }

    void lists()
    {
        const QList<QByteArray> bytes{QByteArray("a\0b", 3), "  ", "\xe9", ""};
        QCOMPARE(toStrings(bytes, false), (QStringList{"a", "  ", QStringLiteral("\u00e9"), ""}));
        QCOMPARE(toStrings(bytes, true), (QStringList{"a", QStringLiteral("\u00e9")}));
        QCOMPARE(toJsonArray(bytes, true), (QJsonArray{"a", QStringLiteral("\u00e9")}));
        QCOMPARE(toJsonArray(QStringList{"x", "y"}), (QJsonArray{"x", "y"}));
        const QList<int> ints{3, -1, 3};
        QCOMPARE(toJArray(ints), (QJsonArray{3, -1, 3}));
        QCOMPARE(toJsonArray(ints), toJArray(ints));
        QCOMPARE(IntsToJArray(ints), toJArray(ints));
        const QJsonArray mixed{"5", 2.7, true, "ff", QJsonValue()};
        QCOMPARE(jarrayToInts(mixed), (QList<int>{5, 2, 1, 255, 0}));
        QCOMPARE(toInts(QJsonValue(mixed)), jarrayToInts(mixed));
        QCOMPARE(toInts(QJsonValue("1,2")), QList<int>());
        QCOMPARE(toSortList(mixed), (QList<int>{0, 1, 2, 5, 255}));
        QCOMPARE(toStrings(QJsonValue(QJsonArray{"a", " ", 4, true}), false), (QStringList{"a", " ", "4", ""}));
        QCOMPARE(toStrings(QJsonValue(QJsonArray{"a", " ", 4, true}), true), (QStringList{"a", "4"}));
        QCOMPARE(intersect({"a", "B", "a", "c"}, {"b", "a"}, Qt::CaseInsensitive), (QStringList{"a", "B", "a"}));
        QCOMPARE(intersect({"a", "B"}, {"b"}, Qt::CaseSensitive), QStringList());
    }

    void splitQuote_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("skipEmpty");
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("quoted separator") << "a,\"b,c\",,d" << false << QStringList{"a", "b,c", "", "d"};
        QTest::newRow("skip empty") << "a,\"b,c\",,d" << true << QStringList{"a", "b,c", "d"};
        QTest::newRow("trailing separator") << "a,b," << false << QStringList{"a", "b"};
        QTest::newRow("leading separator") << ",a" << false << QStringList{"", "a"};
        QTest::newRow("empty quotes") << "\"\",x" << false << QStringList{"", "x"};
        QTest::newRow("unclosed quote") << "a,\"b,c" << false << QStringList{"a", "b,c"};
        QTest::newRow("empty") << "" << false << QStringList();
    }
    void splitQuote()
    {
        QFETCH(QString, text);
        QFETCH(bool, skipEmpty);
        QFETCH(QStringList, parts);
        QCOMPARE(::splitQuote(text, QLatin1Char(','), skipEmpty ? Qt::SkipEmptyParts : Qt::KeepEmptyParts), parts);
    }

    void takeFirst_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("separator");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("rest");
        QTest::newRow("one") << "  ab  cd ef" << " " << 1 << "ab" << "cd ef";
        QTest::newRow("second") << "ab cd ef" << " " << 2 << "cd" << "ef";
        QTest::newRow("past the end") << "ab cd" << " " << 3 << "" << "";
        QTest::newRow("no separator") << "abc" << " " << 1 << "abc" << "";
        QTest::newRow("zero count") << "ab cd" << " " << 0 << "" << "ab cd";
        QTest::newRow("two-character separator") << "a::b" << "::" << 1 << "a" << ":b";
        QTest::newRow("empty separator") << "a b" << "" << 1 << "a b" << "";
    }
    void takeFirst()
    {
        QFETCH(QString, text);
        QFETCH(QString, separator);
        QFETCH(int, count);
        QFETCH(QString, token);
        QFETCH(QString, rest);
        QString s = text;
        QByteArray b = text.toLatin1();
        if (count == 1) {
            QCOMPARE(takeFirstString(s, separator), token);
            QCOMPARE(takeFirstString(b, separator.toLatin1()), token.toLatin1());
        } else {
            QCOMPARE(takeFirstString(s, count, separator), token);
            QCOMPARE(takeFirstString(b, count, separator.toLatin1()), token.toLatin1());
        }
        QCOMPARE(s, rest);
        QCOMPARE(b, rest.toLatin1());
    }

    void firstAndLast()
    {
        QCOMPARE(firstString("//a/b//", "/"), QStringLiteral("a"));
        QCOMPARE(lastString("//a/b//", "/"), QStringLiteral("b"));
        QCOMPARE(firstString("///", "/"), QString());
        QCOMPARE(lastString("aXb", "x"), QStringLiteral("aXb"));
    }

    void keyValue_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("quoted escape") << "  name = \"x\\\"y\" " << "name" << "x\"y";
        QTest::newRow("backslashes") << "k=a\\\\b" << "k" << "a\\b";
        QTest::newRow("second equals") << "k = a=b" << "k" << "a=b";
        QTest::newRow("lone quote") << "k=\"" << "k" << "\"";
        QTest::newRow("no equals") << " plain " << " plain " << "untouched";
    }
    void keyValue()
    {
        QFETCH(QString, line);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QString out = QStringLiteral("untouched");
        QCOMPARE(takeKeyValue(line, out), key);
        QCOMPARE(out, value);
    }

    void compareVersion_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("result");
        QTest::newRow("numeric parts") << "1.10" << "1.9" << 1;
        QTest::newRow("difference kept") << "2.1" << "5.1" << -3;
        QTest::newRow("missing part is 0") << "1.2" << "1.2.0" << 0;
        QTest::newRow("non-number is 0") << "1.x" << "1" << 0;
        QTest::newRow("empty part") << "1..3" << "1.0.2" << 1;
        QTest::newRow("extreme parts") << "-2147483648" << "1" << INT_MIN;
    }
    void compareVersion()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, result);
        QCOMPARE(::compareVersion(a, b), result);
        QCOMPARE(compareFourInt(a, b), result);
    }

    void dateTimeText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("expected");
        const QDate day(2024, 5, 6);
        const QDateTime full(day, QTime(7, 8, 9));
        QTest::newRow("space") << "2024-05-06 07:08:09" << full;
        QTest::newRow("T") << "2024-05-06T07:08:09" << full;
        QTest::newRow("Z stays local") << "2024-05-06T07:08:09Z" << full;
        QTest::newRow("zone suffix ignored") << "2024-05-06 07:08:09+08" << full;
        QTest::newRow("long tail ignored") << "2024-05-06 07:08:09 extra text" << full;
        QTest::newRow("microseconds") << "2024-05-06 07:08:09.123456" << QDateTime(day, QTime(7, 8, 9, 123));
        QTest::newRow("milliseconds Z") << "2024-05-06T07:08:09.123Z" << QDateTime(day, QTime(7, 8, 9, 123));
        QTest::newRow("compact") << "20240506070809" << full;
        QTest::newRow("date") << "2024-05-06" << QDateTime(day, QTime(0, 0));
        QTest::newRow("minutes") << "2024-05-06 07:08" << QDateTime(day, QTime(7, 8));
        QTest::newRow("year") << "2024" << QDateTime(QDate(2024, 1, 1), QTime(0, 0));
        QTest::newRow("clock") << "12:30" << QDateTime(QDate(1900, 1, 1), QTime(12, 30));
        QTest::newRow("month day") << "05/06" << QDateTime(QDate(1900, 5, 6), QTime(0, 0));
        QTest::newRow("five other") << "05.06" << QDateTime();
        QTest::newRow("twenty without Z") << "2024-05-06T07:08:09+" << QDateTime();
        QTest::newRow("length 9") << "2024-05-0" << QDateTime();
        QTest::newRow("empty") << "" << QDateTime();
        QTest::newRow("bad date") << "2024-13-06" << QDateTime();
    }
    void dateTimeText()
    {
        QFETCH(QString, text);
        QFETCH(QDateTime, expected);
        const QDateTime parsed = toDateTime(text);
        QCOMPARE(parsed.isValid(), expected.isValid());
        if (expected.isValid()) {
            QCOMPARE(parsed, expected);
            QCOMPARE(parsed.timeSpec(), Qt::LocalTime);
        }
    }

    void dateTimeOthers()
    {
        QCOMPARE(toDateTime(QJsonValue(2024)), QDateTime(QDate(2024, 1, 1), QTime(0, 0)));
        QCOMPARE(toDate(QJsonValue("2024-05-06 07:08:09")), QDate(2024, 5, 6));
        QVERIFY(!toDateTime(QJsonValue(true)).isValid());
        QCOMPARE(toDateTime(0.0), QDateTime(QDate(1899, 12, 30), QTime(0, 0)));
        QCOMPARE(toDateTime(45000.75), QDateTime(QDate(2023, 3, 15), QTime(18, 0)));
        QVERIFY(!toDateTime(std::nan("")).isValid());
        QCOMPARE(complieDateTime("Dec  7 2026", "08:09:10"), QDateTime(QDate(2026, 12, 7), QTime(8, 9, 10)));
        QCOMPARE(complieDateTime("feb 28 2025", "23:59:58"), QDateTime(QDate(2025, 2, 28), QTime(23, 59, 58)));
        QCOMPARE(gccDateTime("OCT 01 2020", "00:00:01"), QDateTime(QDate(2020, 10, 1), QTime(0, 0, 1)));
        QCOMPARE(gccDateTime("Xyz 05 2020", "00:00:00"), QDateTime(QDate(2020, 1, 5), QTime(0, 0)));
    }

    void ipv4_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        for (const char *ok : {"192.168.0.1", "10", "1.2", "0.0.0.0", "01.2.3.4", "255.255.255.255"})
            QTest::newRow(ok) << QString::fromLatin1(ok) << true;
        for (const char *bad : {"256.1.1.1", "1.2.3.4.5", "1..2.3", "00.1.1.1", "", "1.2.3.", "+1.2.3.4",
                                " 1.2.3.4", "a.b.c.d", "-1.2.3.4"})
            QTest::newRow(QByteArray("bad ").append(bad).constData()) << QString::fromLatin1(bad) << false;
    }
    void ipv4()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(ipv4Valid(text), valid);
    }

    void iqn_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("typical") << "iqn.2004-05.com.example:disk-1" << true;
        QTest::newRow("capital") << "iqn.2004-05.com.Example:disk" << false;
        QTest::newRow("prefix") << "eui.2004-05.com.example" << false;
        QTest::newRow("old year") << "iqn.1900-05.com.example" << false;
        QTest::newRow("no dash") << "iqn.2004.05.com.example" << false;
        QTest::newRow("no dot") << "iqn.2004-05:com.example" << false;
        QTest::newRow("month 13") << "iqn.2004-13.com.example" << false;
        QTest::newRow("month 00") << "iqn.2004-00.com.example" << false;
        QTest::newRow("short") << "iqn.2004-0" << false;
    }
    void iqn()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(iqnValid(text), valid);
    }

    void idcard_data()
    {
        QTest::addColumn<QByteArray>("number");
        QTest::addColumn<bool>("checkBirthDate");
        QTest::addColumn<bool>("valid");
        QTest::newRow("valid X") << QByteArray("11010519491231002X") << true << true;
        QTest::newRow("lower x and blanks") << QByteArray(" 11010519491231002x ") << true << true;
        QTest::newRow("wrong check") << QByteArray("110105194912310021") << false << false;
        QTest::newRow("17 characters") << QByteArray("11010519491231002") << false << false;
        QTest::newRow("bad birth date checked") << QByteArray("110105194902300012") << true << false;
        QTest::newRow("bad birth date unchecked") << QByteArray("110105194902300012") << false << true;
        // A letter would weigh in as 17 and this would pass the sum check.
        QTest::newRow("letter in body") << QByteArray("1101051949123100A2") << false << false;
    }
    void idcard()
    {
        QFETCH(QByteArray, number);
        QFETCH(bool, checkBirthDate);
        QFETCH(bool, valid);
        QCOMPARE(idcardValidate(number, checkBirthDate), valid);
    }

    void gbk()
    {
        const QByteArray bytes("\xd6\xd0\xce\xc4");
        QCOMPARE(GbkToUtf8(bytes), QStringLiteral("\u4e2d\u6587"));
        QCOMPARE(Utf8ToGbk(QStringLiteral("\u4e2d\u6587 a")), bytes + " a");
    }

    void ini()
    {
        const QStringList lines{"key=before any section", "[ main ]", " a = 1 ", "# comment", "", "b",
                                ";c=2", "a=3", "[]x", "[other]", "x = y = z", "[main]", "only=last"};
        const QJsonObject expected{{"main", QJsonObject{{"only", "last"}}},
                                   {"other", QJsonObject{{"x", "y = z"}}}};
        QCOMPARE(iniToJson(lines), expected);
        QCOMPARE(iniToJson({"[s]", " a = 1 ", ";c=2", "a=3"}), (QJsonObject{{"s", QJsonObject{{"a", "3"}, {";c", "2"}}}}));
    }
};

QTEST_GUILESS_MAIN(TestZX2Utils)
#include "tst_zx2utils.moc"
