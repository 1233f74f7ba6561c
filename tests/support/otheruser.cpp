#include "otheruser.h"

#include <QStandardPaths>

#include <unistd.h>

namespace {

// The system's python3: another user cannot enter a per-user installation.
QString systemPython()
{
    return QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

// Each connection is read to its end on a thread of its own, which then
// prints "received N"; once standard input closes, connections still waiting
// to be accepted are taken too, and Python waits for those threads.
const char kServer[] =
    "import os, socket, sys, threading\n"
    "def serve(connection):\n"
    "    connection.settimeout(30)\n"
    "    count = 0\n"
    "    try:\n"
    "        while True:\n"
    "            chunk = connection.recv(65536)\n"
    "            if not chunk:\n"
    "                break\n"
    "            count += len(chunk)\n"
    "    except OSError:\n"
    "        pass\n"
    "    print('received %d' % count, flush=True)\n"
    "def accept():\n"
    "    while True:\n"
    "        threading.Thread(target=serve, args=(server.accept()[0],)).start()\n"
    "server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
    "server.bind(sys.argv[1])\n"
    "os.chmod(sys.argv[1], int(sys.argv[2], 8))\n"
    "server.listen(16)\n"
    "threading.Thread(target=accept, daemon=True).start()\n"
    "print('listening', flush=True)\n"
    "sys.stdin.read()\n"
    "server.setblocking(False)\n"
    "try:\n"
    "    while True:\n"
    "        connection = server.accept()[0]\n"
    "        connection.setblocking(True)\n"
    "        threading.Thread(target=serve, args=(connection,)).start()\n"
    "except OSError:\n"
    "    pass\n";

} // namespace

bool canActAsNobody()
{
    return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()
        && !systemPython().isEmpty();
}

QStringList asNobody()
{
    return {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"), QStringLiteral("--clear-groups")};
}

bool startSocketServer(QProcess &server, const QString &path, int mode, bool nobody)
{
    const QStringList python{systemPython(), QStringLiteral("-c"), QString::fromLatin1(kServer), path,
                             QString::number(mode, 8)};
    if (nobody)
        server.start(QStringLiteral("setpriv"), asNobody() + python);
    else
        server.start(python.first(), python.mid(1));
    if (!server.waitForStarted(10000))
        return false;
    while (!server.canReadLine()) {
        if (!server.waitForReadyRead(30000))
            return false;
    }
    return server.readLine().trimmed() == "listening";
}
