#include "otheruser.h"

#include <QStandardPaths>

#include <unistd.h>

namespace {

// The system's python3: another user cannot enter a per-user installation.
QString systemPython()
{
    return QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

// One loop over standard input, the listener and the connections: a
// connection is read to its end, then "received N" printed. Once standard
// input closes, connections still waiting to be accepted are taken too, and
// the server ends when all have ended (or stayed quiet for 30 s).
const char kServer[] =
    "import os, selectors, socket, sys\n"
    "server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
    "server.bind(sys.argv[1])\n"
    "os.chmod(sys.argv[1], int(sys.argv[2], 8))\n"
    "server.listen(16)\n"
    "events = selectors.DefaultSelector()\n"
    "events.register(server, selectors.EVENT_READ)\n"
    "events.register(0, selectors.EVENT_READ)\n"
    "counts = {}\n"
    "def accept():\n"
    "    connection = server.accept()[0]\n"
    "    counts[connection] = 0\n"
    "    events.register(connection, selectors.EVENT_READ)\n"
    "print('listening', flush=True)\n"
    "reading = True\n"
    "while reading or counts:\n"
    "    ready = events.select(None if reading else 30)\n"
    "    if not ready:\n"
    "        break\n"
    "    for key, _ in ready:\n"
    "        if key.fileobj is server:\n"
    "            accept()\n"
    "        elif key.fileobj == 0:\n"
    "            if not os.read(0, 4096):\n"
    "                reading = False\n"
    "                events.unregister(0)\n"
    "                server.setblocking(False)\n"
    "                try:\n"
    "                    while True:\n"
    "                        accept()\n"
    "                except OSError:\n"
    "                    pass\n"
    "        else:\n"
    "            try:\n"
    "                chunk = key.fileobj.recv(65536)\n"
    "            except OSError:\n"
    "                chunk = b''\n"
    "            if chunk:\n"
    "                counts[key.fileobj] += len(chunk)\n"
    "            else:\n"
    "                print('received %d' % counts.pop(key.fileobj), flush=True)\n"
    "                events.unregister(key.fileobj)\n"
    "                key.fileobj.close()\n";

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
