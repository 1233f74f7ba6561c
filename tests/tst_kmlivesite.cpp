#include "kmreverseproxy.h"
#include "testfiles.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2paths.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/mount.h>

// What Apache can read while the rule manager changes the table: the live
// files change only when a change is kept, and then whole. Stand-ins of
// testfiles.h first on PATH, their files in bin; appliance web ports 80 and
// 443 in a private ORBA_ROOT.
class TestKMLiveSite : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir bin;
    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<KMReverseproxy> manager;
    bool mounted = false;

    static QJsonObject rule(const QString &name, int port, const QString &path)
    {
        return {{"name", name},
                {"source", QJsonObject{{"protocol", "http"}, {"port", port}, {"path", path}}},
                {"dest", QJsonObject{{"protocol", "http"}, {"port", 3000}, {"path", "/"}}}};
    }
    static QString ruleDir() { return orbaPath(QStringLiteral("/orba/etc/reverseproxy")); }
    // Every generated file (path → content), what Apache reads.
    static QMap<QString, QByteArray> liveFiles()
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(ruleDir(), {"*.conf"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly))
                files.insert(it.filePath(), file.readAll());
        }
        return files;
    }
    bool startManager()
    {
        manager.reset(new KMReverseproxy);
        ZX2Journals journals;
        return manager->start(journals);
    }
    QString reloadState() const
    {
        ZX2Journals journals;
        QJsonObject status;
        manager->status(journals, status);
        return status.value("reload").toObject().value("state").toString();
    }
    int ruleCount() const
    {
        ZX2Journals journals;
        QJsonObject rules;
        return manager->alload(journals, rules) ? rules.size() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeStandins(bin.path(), bin.path()));
        qputenv("PATH", bin.path().toUtf8() + ":" + qgetenv("PATH"));
    }
    void init()
    {
        root.reset(new QTemporaryDir);
        qputenv("ORBA_ROOT", root->path().toUtf8());
        QVERIFY(writeDefinePorts(root->path(), 80, 443));
        QVERIFY(writeTestFile(bin.filePath("netstat.txt"), QByteArray()));
        QVERIFY(startManager());
    }
    void cleanup()
    {
        manager.reset();
        if (mounted)
            ::umount2(qPrintable(ruleDir()), MNT_DETACH);
        mounted = false;
        QVERIFY(writeStandins(bin.path(), bin.path()));
        qunsetenv("ORBA_ROOT");
    }

    // On a full disk, a change that is refused leaves every live file as it
    // was; one that is accepted is live. Neither needs space to undo.
    void fullDisk_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("create") << "create";
        QTest::newRow("change") << "change";
        QTest::newRow("remove a custom port's rule") << "remove";
        QTest::newRow("import") << "import";
    }
    void fullDisk()
    {
        QFETCH(QString, operation);
        manager.reset();
        QVERIFY(QDir().mkpath(ruleDir()));
        if (::mount("tmpfs", qPrintable(ruleDir()), "tmpfs", 0, "size=2m") != 0)
            QSKIP("a tmpfs of its own needs the mount privilege");
        mounted = true;
        QVERIFY(startManager());
        ZX2Journals journals;
        QVERIFY(manager->create(journals, rule("web", 0, "/web/")));
        QVERIFY(manager->create(journals, rule("custom", 8091, "/")));
        QFile filler(ruleDir() + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        const QMap<QString, QByteArray> before = liveFiles();
        const int rules = ruleCount();
        bool done = false;
        if (operation == "create")
            done = manager->create(journals, rule("new", 0, "/new/"));
        else if (operation == "change")
        {
            QJsonObject moved = rule("web", 0, "/moved/");
            moved.insert("pxyno", 1);
            done = manager->change(journals, moved);
        }
        else if (operation == "remove")
            done = manager->remove(journals, 2);
        else
            done = manager->importRules(journals, QJsonArray{rule("a", 0, "/a/"), rule("b", 8092, "/")}, false, false);
        const QMap<QString, QByteArray> after = liveFiles();
        if (!done) {
            QVERIFY2(after == before, qPrintable(journals.errmsg()));
            QCOMPARE(ruleCount(), rules);
        } else {
            QVERIFY(after != before);
        }
        // Nothing of the change is left beside the files either.
        QCOMPARE(QDir(ruleDir()).entryList({"*.conf.*"}, QDir::Files | QDir::Hidden), QStringList());
    }

    // A dry run never puts a file in place: Apache's test of it runs on a
    // configuration apart, while the live files stay as they were.
    void dryRunLeavesLiveFiles()
    {
        ZX2Journals journals;
        QVERIFY(manager->create(journals, rule("web", 0, "/web/")));
        const QMap<QString, QByteArray> before = liveFiles();
        const QString seen = bin.filePath("seen-by-test");
        QVERIFY(writeScript(bin.path(), "apache2ctl",
                            QString("cat '%1' >> '%2'; exit 0\n").arg(ruleDir() + "/http.conf", seen)));
        QJsonObject params = rule("dry", 0, "/dry/");
        params.insert("httpheaders", QJsonArray{QJsonObject{{"key", "Header"}, {"value", "set X-Dry 1"}}});
        QVERIFY2(manager->importRules(journals, QJsonArray{params}, false, true), qPrintable(journals.errmsg()));
        QCOMPARE(liveFiles(), before);
        QFile file(seen);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(!file.readAll().contains("/dry/"));
        QCOMPARE(ruleCount(), 1);
    }

    // The files are whole after every answer: every section a rule's
    // redirect opens is closed, the first rule's too.
    void sectionsBalanced()
    {
        ZX2Journals journals;
        for (const QString path : {"/first/", "/second/"}) {
            QVERIFY(manager->create(journals, rule(path.mid(1, path.size() - 2), 0, path)));
            const QByteArray http = liveFiles().value(ruleDir() + "/http.conf");
            for (const char *section : {"IfModule", "Location", "LocationMatch", "If"})
                QCOMPARE(http.count(QByteArray("<") + section + ' '), http.count(QByteArray("</") + section + '>'));
        }
    }

    // No change waits for Apache's reload: the site's lock covers writing
    // and testing files, never systemctl.
    void changeDuringReloadAnsweredAtOnce()
    {
        const QString reloading = bin.filePath("reloading");
        QVERIFY(writeScript(bin.path(), "systemctl",
                            QString("case \"$1\" in reload) touch '%1'; sleep 20; rm -f '%1' ;; esac; exit 0\n").arg(reloading)));
        ZX2Journals journals;
        QVERIFY(manager->create(journals, rule("one", 0, "/one/")));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(reloading), 15000);
        QVERIFY(manager->create(journals, rule("two", 0, "/two/")));
        QVERIFY2(QFile::exists(reloading), "the change waited for the reload");
        QVERIFY(liveFiles().value(ruleDir() + "/http.conf").contains("/two/"));
    }

    // A refused change undone while a reload runs: that reload may have read
    // its files, so Apache reads the live ones again.
    void undoDuringReloadReloadsAgain()
    {
        const QString reloading = bin.filePath("reloading");
        const QString reloads = bin.filePath("reloads");
        QVERIFY(writeScript(bin.path(), "systemctl",
                            QString("case \"$1\" in reload) echo >> '%2'; touch '%1'; sleep 2; rm -f '%1' ;; esac; exit 0\n")
                                .arg(reloading, reloads)));
        auto count = [&reloads] {
            QFile file(reloads);
            return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(reloadState() != "pending", 15000); // the start's
        const int before = count();
        ZX2Journals journals;
        QVERIFY(manager->create(journals, rule("one", 0, "/one/")));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(reloading), 15000);
        QVERIFY(writeScript(bin.path(), "apache2ctl", "echo 'Apache cannot test now' >&2; exit 1\n"));
        QJsonObject refused = rule("two", 0, "/two/");
        refused.insert("httpheaders", QJsonArray{QJsonObject{{"key", "Header"}, {"value", "set X-Two 1"}}});
        QVERIFY(!manager->create(journals, refused));
        QTRY_COMPARE_WITH_TIMEOUT(count(), before + 2, 30000);
    }

    // What a killed process left beside the files goes at the next start.
    void strayFilesRemovedAtStart()
    {
        manager.reset();
        const QStringList stray = {"/http.conf.a1B2c3", "/https.conf.old0", "/virtualhost/http_8080.conf.Zz9Yy8"};
        for (const QString &name : stray)
            QVERIFY(writeTestFile(ruleDir() + name, "x"));
        QVERIFY(writeTestFile(ruleDir() + "/.test-abc123/apache2.conf", "x"));
        QVERIFY(writeTestFile(ruleDir() + "/notes.conf.bak", "kept"));
        QVERIFY(startManager());
        for (const QString &name : stray)
            QVERIFY2(!QFile::exists(ruleDir() + name), qPrintable(name));
        QVERIFY(!QFile::exists(ruleDir() + "/.test-abc123"));
        QVERIFY(QFile::exists(ruleDir() + "/notes.conf.bak"));
    }
};

QTEST_GUILESS_MAIN(TestKMLiveSite)
#include "tst_kmlivesite.moc"
