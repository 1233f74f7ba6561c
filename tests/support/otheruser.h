#ifndef OTHERUSER_H
#define OTHERUSER_H

#include <QProcess>
#include <QString>

// Processes of another local user, for the tests of who may reach a socket.
// They need root (to change user) and setpriv; the server needs python3.

// Whether this test process can act as the user nobody.
bool canActAsNobody();
// The arguments of setpriv that run a program as nobody:nogroup with no
// supplementary groups; the program and its arguments follow.
QStringList asNobody();
// Starts a Unix-domain socket server at path with the file mode given, as
// nobody when nobody is set, otherwise as this user. It never answers: it
// reads each connection to its end and then prints "received N" with the
// bytes it got. Once its standard input closes it ends, after every
// connection made so far has ended. Returns once it listens (false when it
// does not start).
bool startSocketServer(QProcess &server, const QString &path, int mode, bool nobody);

#endif // OTHERUSER_H
