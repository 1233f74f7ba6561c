#include "lnx2utils.h"
#include "testfiles.h"
#include "zx2error.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestLnx2UtilsSystem : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_tmp;
    QString path(const QString &name) const { return m_tmp.filePath(name); }
    // Commands the stand-in privilege helper received, one per line, with
    // every argument in brackets so that blanks inside arguments show.
    QStringList privilegedCommands()
    {
        QFile log(path("bin/sudo.log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        const QString text = QString::fromUtf8(log.readAll());
        log.close();
        log.remove();
        return text.split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        // Records each call and runs it, except chown, whose target users may
        // not exist here.
        QVERIFY(writeScript(path("bin"), "sudo",
                            "log=\"$(dirname \"$0\")/sudo.log\"\n"
                            "for a in \"$@\"; do printf '[%s]' \"$a\" >> \"$log\"; done\n"
                            "echo >> \"$log\"\n"
                            "[ \"$1\" = chown ] && exit 0\n"
                            "exec \"$@\"\n"));
        qputenv("PATH", path("bin").toLocal8Bit() + ':' + qgetenv("PATH"));
    }

    void writeFileCreatesANewFile()
    {
        const QString dir = path("new dir/deeper");
        const QString file = dir + "/a file.conf";
        QVERIFY(writeFile(file, QStringList{"one", "two"}));
        QCOMPARE(privilegedCommands(),
                 (QStringList{"[mkdir][-p][" + dir + "]", "[touch][" + file + "]",
                              "[chmod][777][" + file + "]", "[chmod][666][" + file + "]",
                              "[chown][www-data:www-data][" + file + "]"}));
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QByteArray("one\ntwo"));
        // Mode 0666: read and write for user, group and others, nothing else.
        QCOMPARE(written.permissions() & 0x0fff,
                 QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::WriteGroup
                     | QFile::ReadOther | QFile::WriteOther);
    }

    void writeFileKeepsTheOwnerOfAnExistingFile()
    {
        const QString file = path("existing.json");
        QFile old(file);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("a much longer old content");
        old.close();
        const QFileInfo info(file);
        const QString owner = info.owner() + ":" + info.group();

        QVERIFY(writeFile(file, QJsonObject{{"k", "v"}}));
        QCOMPARE(privilegedCommands(),
                 (QStringList{"[chmod][777][" + file + "]", "[chmod][666][" + file + "]",
                              "[chown][" + owner + "][" + file + "]"}));
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), QJsonDocument(QJsonObject{{"k", "v"}}).toJson());
    }

    void mvpath_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("moved");
        QTest::newRow("empty from") << "" << "target" << int(ZX2Error::ERR_PARAMS) << false;
        QTest::newRow("missing source") << "nothing" << "target" << int(ZX2Error::ERR_NOT_EXISTS)
                                        << false;
        QTest::newRow("source is a file") << "plain file" << "target"
                                          << int(ZX2Error::ERR_NOT_EXISTS) << false;
        QTest::newRow("target exists") << "source" << "existing" << int(ZX2Error::ERR_EXISTS)
                                       << false;
        QTest::newRow("move fails") << "source" << "no parent/target" << int(ZX2Error::ERR_FAILED)
                                    << false;
        QTest::newRow("moved") << "source" << "new name" << int(ZX2Error::ERR_SUCCEED) << true;
    }
    void mvpath()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(int, result);
        QFETCH(bool, moved);
        const QString base = path(QStringLiteral("mv-%1/").arg(QTest::currentDataTag()));
        QDir().mkpath(base + "source/inner");
        QDir().mkpath(base + "existing");
        QFile(base + "plain file").open(QIODevice::WriteOnly);

        QCOMPARE(::mvpath(from.isEmpty() ? from : base + from, to.isEmpty() ? to : base + to),
                 result);
        QCOMPARE(QFileInfo::exists(base + "source/inner"), !moved);
        if (moved)
            QVERIFY(QFileInfo(base + to + "/inner").isDir());
        QVERIFY(QDir(base + "existing").isEmpty());
        const bool ran = result == ZX2Error::ERR_SUCCEED || result == ZX2Error::ERR_FAILED;
        QCOMPARE(privilegedCommands(),
                 ran ? QStringList{"[mv][-f][" + base + from + "][" + base + to + "]"}
                     : QStringList());
    }

    void diskFree()
    {
        QVERIFY(::diskFree(m_tmp.path()) > 0);
        QCOMPARE(::diskFree(path("no/such/dir")), qint64(-1));
    }

    void sharedMemory()
    {
        const QString key = QStringLiteral("zx2-test-%1").arg(QCoreApplication::applicationPid());
        QByteArray out("unchanged");
        QVERIFY(!shareMemoryLoad(key, out));
        QCOMPARE(out, QByteArray("unchanged"));
        QVERIFY(!shareMemorySave(key, QByteArray()));

        QVERIFY(shareMemorySave(key, QByteArray("first content")));
        QVERIFY(shareMemoryLoad(key, out));
        QCOMPARE(out, QByteArray("first content"));

        QVERIFY(shareMemorySave(key, QByteArray("second")));
        QVERIFY(shareMemoryLoad(key, out));
        QCOMPARE(out, QByteArray("second"));
    }
};

QTEST_GUILESS_MAIN(TestLnx2UtilsSystem)
#include "tst_lnx2utils_system.moc"
