#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

// Runs f with standard output sent to a temporary file and returns what it wrote.
template <typename F>
QByteArray captured(F f)
{
    QTemporaryFile file;
    if (!file.open())
        return QByteArray("<no temporary file>");
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    file.seek(0);
    return file.readAll();
}

#endif // STDOUTCAPTURE_H
