#include "zx2file.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

class TestZX2File : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString path(const QString &name) const { return m_tmp.filePath(name); }
    static void put(const QString &file, const QByteArray &bytes = QByteArray())
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void unreadableFilesReadEmpty_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << "missing.json" << QByteArray();
        QTest::newRow("directory") << "" << QByteArray();
        QTest::newRow("array") << "array.json" << QByteArray("[1,2]");
        QTest::newRow("malformed") << "bad.json" << QByteArray("{\"a\":");
    }
    void unreadableFilesReadEmpty()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        if (!content.isNull())
            put(path(file), content);
        const QByteArray bytes = ZX2File::readAll(path(file));
        QCOMPARE(bytes, content.isNull() ? QByteArray("") : content);
        QVERIFY(!bytes.isNull());
        QVERIFY(ZX2File::readJsonObject(path(file)).isEmpty());
        QCOMPARE(ZX2File::readJsonArray(path(file)).size(), file == "array.json" ? 2 : 0);
        QJsonObject kept{{"kept", 1}};
        QCOMPARE(ZX2File::loadJson(kept, path(file)), file == "array.json");
        QCOMPARE(kept.isEmpty(), file == "array.json");
    }

    void textWithCodec_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::newRow("utf8") << "UTF8";
        QTest::newRow("gbk") << "GBK";
    }
    void textWithCodec()
    {
        QFETCH(QString, codec);
        const QString text = QStringLiteral("反向代理\n");
        const QString file = path("text/" + codec + "/out.txt");
        QVERIFY(ZX2File::saveText(text, file, codec));
        QCOMPARE(ZX2File::readAll(file), QTextCodec::codecForName(codec.toLatin1())->fromUnicode(text));
        put(file, ZX2File::readAll(file).replace("\n", "\r\n"));
        QString loaded;
        QVERIFY(ZX2File::loadText(loaded, file, codec));
        QCOMPARE(loaded, text);
    }

    void writesToAFullDiskFail()
    {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("no /dev/full");
        QVERIFY(!ZX2File::saveText(QString(100000, 'x'), "/dev/full", QString()));
        QVERIFY(!ZX2File::saveBinary(QByteArray(100000, 'x'), "/dev/full"));
    }

    void saveJson()
    {
        QVERIFY(ZX2File::saveJson(path("json/a.json"), QJsonObject{{"a", 1}}, true));
        QCOMPARE(ZX2File::readAll(path("json/a.json")), QByteArray("{\"a\":1}"));
        QVERIFY(ZX2File::saveJson(path("json/b.json"), QJsonArray{1}, false));
        QCOMPARE(ZX2File::readAll(path("json/b.json")), QByteArray("[\n    1\n]\n"));
        QVERIFY(!ZX2File::saveJson(path("json/c.json"), QJsonValue("text"), true));
        QVERIFY(!QFileInfo::exists(path("json/c.json")));
    }

    void digests_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("md5");
        QTest::newRow("missing") << QByteArray() << "";
        QTest::newRow("empty") << QByteArray("") << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("several pieces") << QByteArray(10000, 'a') << "0d0c9c4db6953fee9e03f528cafd7d3e";
    }
    void digests()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, md5);
        const QString file = path(QStringLiteral("digest-%1").arg(QTest::currentDataTag()));
        if (!content.isNull())
            put(file, content);
        QCOMPARE(ZX2File::toMd5(file), md5);
        QCOMPARE(ZX2File::fileMd5(file), md5);
        QString base64Md5;
        QCOMPARE(ZX2File::toBase64(file, &base64Md5), QString::fromLatin1(content.toBase64()));
        QCOMPARE(base64Md5, md5);
    }

    void autoRename_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << "free.txt" << QStringList() << "free.txt";
        QTest::newRow("twice") << "r.txt" << QStringList{"r.txt", "r(2).txt"} << "r(3).txt";
        QTest::newRow("last suffix") << "a.tar.gz" << QStringList{"a.tar.gz"} << "a.tar(2).gz";
        QTest::newRow("no suffix") << "README" << QStringList{"README"} << "README(2)";
    }
    void autoRename()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        const QString dir = path(QStringLiteral("rename-%1/").arg(QTest::currentDataTag()));
        for (const QString &file : existing)
            put(dir + file);
        QCOMPARE(ZX2File::autoRename(dir + name), dir + expected);
    }

    void tempFileName()
    {
        const QFileInfo plain(ZX2File::tempFileName("zx-", QString()));
        QCOMPARE(plain.absolutePath(), QDir(QDir::tempPath()).absolutePath());
        QVERIFY(plain.fileName().startsWith("zx-") && !plain.fileName().contains('.'));
        QVERIFY(ZX2File::tempFileName("zx-", "tmp").endsWith(".tmp"));
    }

    void searchListsDeeperFilesFirst()
    {
        const QString root = path("search");
        for (const char *file : {"top.txt", "Makefile", ".hidden", "a/one.txt", "a/b/two.log",
                                 "c/three.txt", ".git/config"})
            put(root + "/" + file, "12");
        QVERIFY(QFile::link(root + "/a", root + "/a/b/loop"));

        qint64 total = 100;
        const QStringList expected{root + "/a/b/two.log", root + "/a/one.txt",
                                   root + "/c/three.txt", root + "/Makefile", root + "/top.txt"};
        QCOMPARE(ZX2File::search(total, root, {}, true), expected);
        QCOMPARE(total, qint64(100 + 2 * expected.size()));
        QCOMPARE(ZX2File::search(root, {"*.txt"}, false), QStringList{root + "/top.txt"});
    }

    void removeDirs_data()
    {
        QTest::addColumn<bool>("relative");
        QTest::addColumn<bool>("removeSelf");
        QTest::newRow("keep self") << false << false;
        QTest::newRow("absolute") << false << true;
        QTest::newRow("relative") << true << true;
    }
    void removeDirs()
    {
        QFETCH(bool, relative);
        QFETCH(bool, removeSelf);
        const QString name = QStringLiteral("remove-%1").arg(QTest::currentDataTag());
        const QString root = path(name);
        put(root + "/.hidden");
        put(root + "/sub/deeper/file");
        put(path("outside-" + name + "/precious"));
        QVERIFY(QFile::link(path("outside-" + name), root + "/sub/link"));

        const QString old = QDir::currentPath();
        QDir::setCurrent(m_tmp.path());
        const bool removed = ZX2File::removeDirs(relative ? name : root, removeSelf);
        QDir::setCurrent(old);

        // True exactly when the directory is gone; linked trees stay untouched.
        QCOMPARE(removed, removeSelf);
        QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(QFileInfo::exists(root), !removeSelf);
        QVERIFY(QFileInfo::exists(path("outside-" + name + "/precious")));
        QVERIFY(ZX2File::removeDirs(path("never-there"), false));
    }

    void loadResource()
    {
        QVERIFY(!ZX2File::loadResource(path("none.rcc")));
        put(path("res/greeting.txt"), "hello");
        put(path("res/bundle.qrc"),
            "<RCC><qresource prefix=\"/zx2filetest\"><file>greeting.txt</file></qresource></RCC>");
        QCOMPARE(QProcess::execute("rcc", {"-binary", path("res/bundle.qrc"), "-o",
                                           path("res/bundle.rcc")}), 0);
        QVERIFY(ZX2File::loadResource(path("res/bundle.rcc")));
        QCOMPARE(ZX2File::readAll(":/zx2filetest/greeting.txt"), QByteArray("hello"));
    }

    void encodings_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("utf8");
        QTest::addColumn<bool>("gbk");
        QTest::newRow("empty") << QByteArray("") << true << true;
        QTest::newRow("utf8 odd length") << QStringLiteral("代").toUtf8() << true << false;
        QTest::newRow("gbk") << QTextCodec::codecForName("GBK")->fromUnicode("代理") << false << true;
        QTest::newRow("cut utf8") << QByteArray("\xe4\xbb") << false << true;
        QTest::newRow("gbk bad second") << QByteArray("\x81\x30") << false << false;
    }
    void encodings()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, utf8);
        QFETCH(bool, gbk);
        QCOMPARE(ZX2File::isUtf8(text.constData()), utf8);
        QCOMPARE(ZX2File::isGbk(text.constData()), gbk);
    }
};

QTEST_GUILESS_MAIN(TestZX2File)
#include "tst_zx2file.moc"
