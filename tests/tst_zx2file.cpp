#include "zx2file.h"

#include <QDir>
#include <QFile>
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
    void touch(const QString &file, const QByteArray &bytes = QByteArray())
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void initTestCase() { QVERIFY(m_tmp.isValid()); }

    void readsOfUnreadableFilesAreEmpty_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing") << "missing.json" << QByteArray();
        QTest::newRow("directory") << "" << QByteArray();
        QTest::newRow("array") << "array.json" << QByteArray("[1,2]");
        QTest::newRow("malformed") << "bad.json" << QByteArray("{\"a\":");
        QTest::newRow("empty") << "empty.json" << QByteArray("");
    }
    void readsOfUnreadableFilesAreEmpty()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        if (!content.isNull())
            touch(path(file), content);
        const QByteArray bytes = ZX2File::readAll(path(file));
        QCOMPARE(bytes, content.isNull() ? QByteArray("") : content);
        QVERIFY(!bytes.isNull());
        QVERIFY(ZX2File::readJsonObject(path(file)).isEmpty());
        QCOMPARE(ZX2File::readJsonArray(path(file)).size(), file == "array.json" ? 2 : 0);
    }

    void loadKeepsOutputOnFailure()
    {
        QByteArray bytes("keep");
        QVERIFY(!ZX2File::loadBinary(bytes, path("nothing")));
        QCOMPARE(bytes, QByteArray("keep"));

        QJsonObject object{{"keep", 1}};
        touch(path("broken.json"), "{\"a\":");
        QVERIFY(!ZX2File::loadJson(object, path("broken.json")));
        QCOMPARE(object.value("keep").toInt(), 1);

        touch(path("list.json"), "[1]");
        QVERIFY(ZX2File::loadJson(object, path("list.json")));
        QVERIFY(object.isEmpty());
    }

    void textRoundTripWithCodec_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QByteArray>("expected");
        const QString text = QStringLiteral("反向代理\n");
        QTest::newRow("utf8") << "UTF8" << text.toUtf8();
        QTest::newRow("gbk") << "GBK" << QTextCodec::codecForName("GBK")->fromUnicode(text);
    }
    void textRoundTripWithCodec()
    {
        QFETCH(QString, codec);
        QFETCH(QByteArray, expected);
        const QString file = path("text/" + codec + "/deep/out.txt");
        QVERIFY(ZX2File::saveText(QStringLiteral("反向代理\n"), file, codec));
        QCOMPARE(ZX2File::readAll(file), expected);
        QString text;
        QVERIFY(ZX2File::loadText(text, file, codec));
        QCOMPARE(text, QStringLiteral("反向代理\n"));
    }

    void loadTextConvertsLineEnds()
    {
        touch(path("crlf.txt"), "a\r\nb\r\n");
        QString text;
        QVERIFY(ZX2File::loadText(text, path("crlf.txt"), QString()));
        QCOMPARE(text, QStringLiteral("a\nb\n"));
        QVERIFY(!ZX2File::loadText(text, path("none.txt"), QString()));
    }

    void saveTextWithBareNameCreatesNoDirectory()
    {
        const QString old = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_tmp.path()));
        const bool saved = ZX2File::saveText("x", "bare.txt", QString());
        QDir::setCurrent(old);
        QVERIFY(saved);
        QCOMPARE(ZX2File::readAll(path("bare.txt")), QByteArray("x"));
    }

    void writesToAFullDiskFail()
    {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("no /dev/full");
        QVERIFY(!ZX2File::saveText(QString(100000, 'x'), "/dev/full", QString()));
        QVERIFY(!ZX2File::saveBinary(QByteArray(100000, 'x'), "/dev/full"));
    }

    void saveJson_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("compact");
        QTest::addColumn<bool>("saved");
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("compact object") << QJsonValue(QJsonObject{{"a", 1}}) << true << true
                                        << QByteArray("{\"a\":1}");
        QTest::newRow("indented array") << QJsonValue(QJsonArray{1}) << false << true
                                        << QByteArray("[\n    1\n]\n");
        QTest::newRow("string") << QJsonValue("text") << true << false << QByteArray("");
    }
    void saveJson()
    {
        QFETCH(QJsonValue, value);
        QFETCH(bool, compact);
        QFETCH(bool, saved);
        QFETCH(QByteArray, content);
        const QString file = path(QStringLiteral("json/%1.json").arg(QTest::currentDataTag()));
        QCOMPARE(ZX2File::saveJson(file, value, compact), saved);
        QCOMPARE(QFileInfo::exists(file), saved);
        QCOMPARE(ZX2File::readAll(file), content);
    }

    void digests_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("md5");
        QTest::newRow("empty") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("abc") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
        QTest::newRow("several pieces") << QByteArray(10000, 'a')
                                        << "0d0c9c4db6953fee9e03f528cafd7d3e";
    }
    void digests()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, md5);
        const QString file = path(QStringLiteral("digest-%1").arg(QTest::currentDataTag()));
        touch(file, content);
        QCOMPARE(ZX2File::toMd5(file), md5);
        QCOMPARE(ZX2File::fileMd5(file), md5);
        QString base64Md5;
        QCOMPARE(ZX2File::toBase64(file, &base64Md5), QString::fromLatin1(content.toBase64()));
        QCOMPARE(base64Md5, md5);
    }

    void digestsOfMissingFileAreEmpty()
    {
        QString md5 = "untouched";
        QVERIFY(ZX2File::toMd5(path("gone")).isEmpty());
        QVERIFY(ZX2File::fileMd5(path("gone")).isEmpty());
        QVERIFY(ZX2File::toBase64(path("gone"), &md5).isEmpty());
        QCOMPARE(md5, QStringLiteral("untouched"));
    }

    void autoRename_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << "free.txt" << QStringList() << "free.txt";
        QTest::newRow("taken") << "report.txt" << QStringList{"report.txt"} << "report(2).txt";
        QTest::newRow("twice") << "r.txt" << QStringList{"r.txt", "r(2).txt"} << "r(3).txt";
        QTest::newRow("last suffix") << "archive.tar.gz" << QStringList{"archive.tar.gz"}
                                     << "archive.tar(2).gz";
        QTest::newRow("no suffix") << "README" << QStringList{"README"} << "README(2)";
    }
    void autoRename()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        const QString dir = path(QStringLiteral("rename-%1/").arg(QTest::currentDataTag()));
        QDir().mkpath(dir);
        for (const QString &file : existing)
            touch(dir + file);
        QCOMPARE(ZX2File::autoRename(dir + name), dir + expected);
    }

    void autoRenameMakesRelativePathsAbsolute()
    {
        QCOMPARE(ZX2File::autoRename("no-such-file.txt"),
                 QDir::current().absoluteFilePath("no-such-file.txt"));
    }

    void tempFileName()
    {
        const QString plain = ZX2File::tempFileName("zx-", QString());
        QCOMPARE(QFileInfo(plain).absolutePath(), QDir(QDir::tempPath()).absolutePath());
        QVERIFY(QFileInfo(plain).fileName().startsWith("zx-"));
        QVERIFY(!QFileInfo(plain).fileName().contains('.'));
        QVERIFY(!QFileInfo::exists(plain));
        QVERIFY(ZX2File::tempFileName("zx-", "tmp").endsWith(".tmp"));
    }

    void searchListsDeeperFilesFirst()
    {
        const QString root = path("search");
        for (const char *file : {"top.txt", "Makefile", ".hidden", "a/one.txt", "a/b/two.log",
                                 "c/three.txt", ".git/config"})
            touch(root + "/" + file, "12");
        QVERIFY(QFile::link(root + "/a", root + "/a/b/loop"));

        qint64 total = 100;
        const QStringList all = ZX2File::search(total, root, {}, true);
        const QStringList expected{root + "/a/b/two.log", root + "/a/one.txt",
                                   root + "/c/three.txt", root + "/Makefile", root + "/top.txt"};
        QCOMPARE(all, expected);
        QCOMPARE(total, qint64(100 + 2 * expected.size()));

        QCOMPARE(ZX2File::search(root, {"*.txt"}, true),
                 (QStringList{root + "/a/one.txt", root + "/c/three.txt", root + "/top.txt"}));
        QCOMPARE(ZX2File::search(root, {"*.txt"}, false), QStringList{root + "/top.txt"});
    }

    void removeDirs_data()
    {
        QTest::addColumn<bool>("relative");
        QTest::addColumn<bool>("removeSelf");
        QTest::addColumn<bool>("result");
        QTest::newRow("keep self") << false << false << false;
        QTest::newRow("absolute") << false << true << true;
        QTest::newRow("relative") << true << true << true;
    }
    void removeDirs()
    {
        QFETCH(bool, relative);
        QFETCH(bool, removeSelf);
        QFETCH(bool, result);
        const QString name = QStringLiteral("remove-%1").arg(QTest::currentDataTag());
        const QString root = path(name);
        touch(root + "/file");
        touch(root + "/.hidden");
        touch(root + "/sub/deeper/file");
        touch(path("outside-" + name + "/precious"));
        QVERIFY(QFile::link(path("outside-" + name), root + "/sub/link"));

        const QString old = QDir::currentPath();
        QDir::setCurrent(m_tmp.path());
        const bool removed = ZX2File::removeDirs(relative ? name : root, removeSelf);
        QDir::setCurrent(old);

        QCOMPARE(removed, result);
        QCOMPARE(QFileInfo::exists(root), !removeSelf);
        if (!removeSelf)
            QVERIFY(QDir(root).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System
                                       | QDir::NoDotAndDotDot));
        QVERIFY(QFileInfo::exists(path("outside-" + name + "/precious")));
    }

    void removeDirsOfMissingDirectorySucceeds()
    {
        QVERIFY(ZX2File::removeDirs(path("never-there"), true));
        QVERIFY(ZX2File::removeDirs(path("never-there"), false));
    }

    void loadResource()
    {
        QVERIFY(!ZX2File::loadResource(path("none.rcc")));
        touch(path("res/greeting.txt"), "hello");
        touch(path("res/bundle.qrc"),
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
        QTest::newRow("ascii") << QByteArray("plain") << true << true;
        QTest::newRow("utf8 odd length") << QStringLiteral("代").toUtf8() << true << false;
        QTest::newRow("gbk chinese") << QTextCodec::codecForName("GBK")->fromUnicode("代理")
                                     << false << true;
        QTest::newRow("lone continuation") << QByteArray("\x80") << false << false;
        QTest::newRow("cut utf8") << QByteArray("\xe4\xbb") << false << true;
        QTest::newRow("gbk bad second") << QByteArray("\x81\x30") << false << false;
        QTest::newRow("gbk 0xff") << QByteArray("\xff\x41") << false << false;
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
