#include "zx2lfqueue.h"
#include "zx2logger.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

const QString stamp = QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// "t-i" lines of several producers: every one exactly once, each producer's in order.
void checkProducerLines(const QList<QByteArray> &lines, int producers, int perProducer)
{
    QCOMPARE(lines.size(), producers * perProducer);
    std::vector<int> next(size_t(producers), 0);
    for (const QByteArray &line : lines) {
        const QList<QByteArray> parts = line.mid(line.lastIndexOf(' ') + 1).split('-');
        QCOMPARE(parts.size(), 2);
        const int t = parts[0].toInt(), i = parts[1].toInt();
        QVERIFY(t >= 0 && t < producers);
        QCOMPARE(i, next[size_t(t)]++);
    }
}

} // namespace

class TestZX2Logger : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir *m_dir = nullptr;
    QString path(const QString &name) const { return m_dir->filePath(name); }

private slots:
    void init() { m_dir = new QTemporaryDir; QVERIFY(m_dir->isValid()); }
    void cleanup() { delete m_dir; m_dir = nullptr; }

    void lineFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("subtag");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("all parts") << 2 << "app" << "db" << 15 << "m" << " Info app db #15 m";
        QTest::newRow("no subtag") << 2 << "app" << "" << 15 << "m" << " Info app #15 m";
        QTest::newRow("no line") << 4 << "app" << "" << 0 << "m" << " Error app m";
        QTest::newRow("negative line") << 13 << "" << "" << -2 << "m" << " DB m";
        QTest::newRow("unknown level") << 7 << "app" << "" << 0 << "m" << "  app m";
        QTest::newRow("trailing line feed") << 0 << "" << "" << 0 << "m\n\n" << " Trace m";
        QTest::newRow("nothing at all") << 7 << "" << "" << 0 << "" << "";
        QTest::newRow("chinese") << 3 << "app" << "" << 0 << "规则 已存在" << " Warn app 规则 已存在";
    }
    void lineFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, tag);
        QFETCH(QString, subtag);
        QFETCH(int, line);
        QFETCH(QString, message);
        QFETCH(QString, expected);
        ZX2Logger logger;
        const QString text = logger.write(level, tag, subtag, line, message);
        QVERIFY2(QRegularExpression(stamp + QRegularExpression::escape(expected) + "$")
                     .match(text).hasMatch(), qPrintable(text));
    }

    void printfArguments()
    {
        ZX2Logger logger;
        const QString text = logger.write(ZX2Logger::Info, "t", "", 0, "%d-%s-%.2f", 5, "x", 2.5);
        QVERIFY2(text.endsWith(" Info t 5-x-2.50"), qPrintable(text));
    }

    void noFileByDefault()
    {
        ZX2Logger logger;
        QVERIFY(logger.filePath().isEmpty());
        QVERIFY(!logger.write(ZX2Logger::Info, "t", "", 0, "m").isEmpty());
        logger.setImmediate(false);
        logger.write(ZX2Logger::Info, "t", "", 0, "m");
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void immediateWrites()
    {
        ZX2Logger logger;
        logger.setFilePath(path("a/b/app.log"));
        const QString first = logger.write(ZX2Logger::Info, "t", "", 1, "one\n");
        const QString second = logger.write(ZX2Logger::Warn, "t", "", 2, "二");
        logger.setOutput(false);
        logger.write(ZX2Logger::Info, "t", "", 3, "hidden");
        QCOMPARE(QString::fromLocal8Bit(readBytes(path("a/b/app.log"))), first + '\n' + second + '\n');
    }

    // Log of 90 bytes, limit 100, a longer line: the log goes to a backup first.
    void rotation_data()
    {
        QTest::addColumn<QList<int>>("present");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("no backups") << QList<int>{} << QList<int>{0};
        QTest::newRow("gap filled first") << QList<int>{1, 2, 5} << QList<int>{1, 2, 0, -1, 5};
        QTest::newRow("full set shifts")
            << QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10} << QList<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 0};
    }
    void rotation()
    {
        // expected[n-1]: which old backup backup n now holds; 0 for the old log,
        // -1 for none.
        QFETCH(QList<int>, present);
        QFETCH(QList<int>, expected);
        const QString log = path("app.log");
        writeBytes(log, QByteArray(89, 'L') + '\n');
        for (int n : present)
            writeBytes(path(QString("app.%1.log").arg(n)), "B" + QByteArray::number(n));
        ZX2Logger logger;
        logger.setFilePath(log);
        logger.setMaxSize(100);
        const QString line = logger.write(ZX2Logger::Info, "", "", 0, "x");
        QCOMPARE(readBytes(log), line.toUtf8() + '\n');
        for (int n = 1; n <= expected.size(); ++n) {
            const int old = expected[n - 1];
            if (old < 0) {
                QVERIFY(!QFile::exists(path(QString("app.%1.log").arg(n))));
                continue;
            }
            const QByteArray content = old == 0 ? QByteArray(89, 'L') + '\n' : "B" + QByteArray::number(old);
            QCOMPARE(readBytes(path(QString("app.%1.log").arg(n))), content);
        }
        QVERIFY(!QFile::exists(path(QString("app.%1.log").arg(expected.size() + 1))));
    }

    void rotationLimit_data()
    {
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("existing");
        QTest::addColumn<bool>("rotated");
        // "yyyy-MM-dd HH:mm:ss Info m" is 26 bytes.
        QTest::newRow("exactly at the limit") << qint64(116) << 90 << false;
        QTest::newRow("one byte over") << qint64(115) << 90 << true;
        QTest::newRow("no limit") << qint64(0) << 100000 << false;
        QTest::newRow("negative limit") << qint64(-1) << 100000 << false;
        QTest::newRow("empty log never rotates") << qint64(10) << 0 << false;
    }
    void rotationLimit()
    {
        QFETCH(qint64, maxSize);
        QFETCH(int, existing);
        QFETCH(bool, rotated);
        writeBytes(path("app.log"), QByteArray(existing, 'L'));
        ZX2Logger logger;
        logger.setFilePath(path("app.log"));
        logger.setMaxSize(maxSize);
        QCOMPARE(logger.write(ZX2Logger::Info, "", "", 0, "m").size(), 26);
        QCOMPARE(QFile::exists(path("app.1.log")), rotated);
        QCOMPARE(QFileInfo(path("app.log")).size(), rotated ? 27 : existing + 27);
    }

    void noSuffix()
    {
        writeBytes(path("app"), QByteArray(50, 'L'));
        ZX2Logger logger;
        logger.setFilePath(path("app"));
        logger.setMaxSize(60);
        logger.write(ZX2Logger::Info, "", "", 0, "m");
        QCOMPARE(readBytes(path("app.1.")), QByteArray(50, 'L'));
        logger.clean();
        QVERIFY(!QFile::exists(path("app.1.")) && !QFile::exists(path("app")));
    }

    void clean()
    {
        ZX2Logger logger;
        logger.setFilePath(path("app.log"));
        for (int n = 0; n <= 11; ++n)
            writeBytes(path(n ? QString("app.%1.log").arg(n) : "app.log"), "x");
        writeBytes(path("other.log"), "x");
        logger.clean();
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), (QStringList{"app.11.log", "other.log"}));
    }

    void instances()
    {
        QVERIFY(!ZX2Logger::i());
        auto a = std::make_unique<ZX2Logger>();
        auto b = std::make_unique<ZX2Logger>();
        auto c = std::make_unique<ZX2Logger>();
        QCOMPARE(ZX2Logger::i(), c.get());
        c.reset();
        QCOMPARE(ZX2Logger::i(), b.get());
        a->setCurrentInstance();
        auto e = std::make_unique<ZX2Logger>();
        QCOMPARE(ZX2Logger::i(), e.get());
        a->setCurrentInstance();
        // Destroying another logger leaves an explicitly chosen current one alone.
        b.reset();
        QCOMPARE(ZX2Logger::i(), a.get());
        a.reset();
        QCOMPARE(ZX2Logger::i(), e.get());
        e.reset();
        QVERIFY(!ZX2Logger::i());
    }

    void queueOrder()
    {
        ZX2LFQueue<QByteArray> queue;
        QByteArray value;
        QVERIFY(queue.isEmpty());
        QVERIFY(!queue.dequeue(value));
        for (int i = 0; i < 5; ++i)
            queue.enqueue(QByteArray::number(i));
        QCOMPARE(queue.count(), 5);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(queue.dequeue(value));
            QCOMPARE(value, QByteArray::number(i));
        }
        queue.enqueue("x");
        QCOMPARE(queue.count(), 3);
        // The remaining nodes are freed by the destructor (checked under the sanitizers).
    }

    // Many producers and one consumer running at the same time.
    void queueConcurrent()
    {
        const int producers = 8, perProducer = 20000;
        ZX2LFQueue<QByteArray> queue;
        std::atomic<int> done{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < producers; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < perProducer; ++i)
                    queue.enqueue(QByteArray::number(t) + '-' + QByteArray::number(i));
                ++done;
            });
        QList<QByteArray> received;
        QByteArray value;
        while (done < producers || !queue.isEmpty()) {
            if (queue.dequeue(value))
                received << value;
            else
                std::this_thread::yield();
        }
        for (std::thread &t : threads)
            t.join();
        while (queue.dequeue(value))
            received << value;
        checkProducerLines(received, producers, perProducer);
        QCOMPARE(queue.count(), 0);
    }

    // Producers in bursts, so that writers stop and restart many times, and a
    // limit that rotates a few times: no line lost, none twice, none out of
    // order, which also shows that no two writers ever ran at once.
    void queuedManyProducers()
    {
        const int producers = 8, perProducer = 2500;
        const QString log = path("q/app.log");
        {
            ZX2Logger logger;
            logger.setFilePath(log);
            logger.setImmediate(false);
            logger.setMaxSize(200000);
            std::vector<std::thread> threads;
            for (int t = 0; t < producers; ++t)
                threads.emplace_back([&, t] {
                    for (int i = 0; i < perProducer; ++i) {
                        logger.write(ZX2Logger::Debug, "q", "", 0, "%d-%d", t, i);
                        if (i % 50 == 0)
                            QThread::usleep(200);
                    }
                });
            for (std::thread &t : threads)
                t.join();
        } // the destructor waits for the writer
        QByteArray all;
        int backups = 0;
        while (QFile::exists(path(QString("q/app.%1.log").arg(backups + 1))))
            all += readBytes(path(QString("q/app.%1.log").arg(++backups)));
        all += readBytes(log);
        QVERIFY2(backups >= 2 && backups < 10, qPrintable(QString::number(backups)));
        QList<QByteArray> lines = all.split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        checkProducerLines(lines, producers, perProducer);
    }

    // A writer that cannot open its file stops; a line pushed later starts a
    // new writer that writes it.
    void queuedAfterOpenFailure()
    {
        QVERIFY(QDir(m_dir->path()).mkpath("blocked"));
        ZX2Logger logger;
        logger.setImmediate(false);
        logger.setFilePath(path("blocked"));
        logger.write(ZX2Logger::Info, "", "", 0, "lost");
        logger.setFilePath(path("good.log"));
        // The first writer may still be failing on the old path: push until one lands.
        while (!QFile::exists(path("good.log"))) {
            logger.write(ZX2Logger::Info, "", "", 0, "later");
            QThread::msleep(5);
        }
        QVERIFY(readBytes(path("good.log")).contains("later"));
    }
};

QTEST_GUILESS_MAIN(TestZX2Logger)
#include "tst_zx2logger.moc"
