#ifndef STANDINS_H
#define STANDINS_H

// Test fixture shared by the package and network tests: stand-ins for the
// system tools first on PATH (see standin.sh), their answers and call log in a
// temporary directory, and LNX2_SYSROOT pointing at a temporary system tree.

#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class StandIns
{
public:
    StandIns()
        : m_savedPath(qgetenv("PATH"))
        , m_savedFrontend(qgetenv("DEBIAN_FRONTEND"))
    {
        // The call log shows which calls set it themselves.
        qunsetenv("DEBIAN_FRONTEND");
        const QString bin = m_dir.path() + "/bin";
        QDir().mkpath(bin);
        QDir().mkpath(root());
        const QString script = QStringLiteral(TESTS_SOURCE_DIR "/data/lnx2apt/standin.sh");
        for (const char *tool : {"apt", "dpkg", "ps", "rm", "script", "hwclock", "ntpdate"})
            QFile::link(script, bin + '/' + tool);
        qputenv("PATH", bin.toLocal8Bit() + ':' + m_savedPath);
        qputenv("STANDIN_DIR", m_dir.path().toLocal8Bit());
        qputenv("LNX2_SYSROOT", root().toLocal8Bit());
        // No package tool runs unless a test says so.
        answerFromData("ps.out", "lnx2apt/ps-e.txt");
    }
    ~StandIns()
    {
        qputenv("PATH", m_savedPath);
        qunsetenv("STANDIN_DIR");
        qunsetenv("LNX2_SYSROOT");
        if (!m_savedFrontend.isNull())
            qputenv("DEBIAN_FRONTEND", m_savedFrontend);
    }

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path() + "/root"; }
    QString inRoot(const QString &fixedPath) const { return root() + fixedPath; }
    QString file(const QString &name) const { return m_dir.path() + '/' + name; }

    // An answer file of the stand-ins, such as "dpkg.2.out" or "apt.code".
    void answer(const QString &name, const QByteArray &content) { write(file(name), content); }
    void answerFromData(const QString &name, const QString &dataFile)
    {
        answer(name, readData(dataFile));
    }
    static QByteArray readData(const QString &dataFile)
    {
        QFile data(QStringLiteral(TESTS_SOURCE_DIR "/data/") + dataFile);
        return data.open(QIODevice::ReadOnly) ? data.readAll() : QByteArray();
    }
    // A file of the temporary system tree, its directories created.
    void makeFile(const QString &fixedPath, const QByteArray &content = QByteArray())
    {
        write(inRoot(fixedPath), content);
    }

    // The calls so far, one "tool args" line each, with the root written as "@".
    QStringList calls() const
    {
        QFile log(file("calls.log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLocal8Bit(log.readAll()).replace(root(), "@").split('\n', Qt::SkipEmptyParts);
    }

private:
    // A file the stand-ins cannot read would make every later check misleading.
    static void write(const QString &path, const QByteArray &content)
    {
        if (!writeTestFile(path, content))
            qFatal("cannot write %s", qPrintable(path));
    }

    QTemporaryDir m_dir;
    QByteArray m_savedPath;
    QByteArray m_savedFrontend;
};

#endif // STANDINS_H
