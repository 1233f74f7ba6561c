#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

class TestApache;

// Writes a file, creating its directories; false when it cannot be written
// whole. Executable files are stand-in programs.
bool writeTestFile(const QString &path, const QByteArray &content, bool executable = false);

// Writes a stand-in program (a bash script body) into dir.
bool writeScript(const QString &dir, const QString &name, const QString &body);

// Writes a self-signed certificate for 127.0.0.1 and its key into dir as
// server.crt and server.key; empty when it worked, else openssl's output.
QString writeCertificate(const QString &dir);

// Writes the desktop site's two Define files below an ORBA_ROOT.
bool writeDefinePorts(const QString &orbaRoot, int httpPort, int httpsPort);

// Writes stand-ins for the appliance's programs into binDir; their files live
// in dataDir:
//   "systemctl" appends "<epoch seconds> <arguments>" to systemctl.log; with
//     an Apache, "reload|start|is-active apache2" act on that instance (a
//     reload runs the configuration test first, as the real unit does, and
//     only signals a running instance: it never starts one; a start returns
//     once the instance has written its PID file, as systemd's does; after a
//     failed start the unit is "failed") and
//     "show -p MainPID ... apache2" prints "MainPID=" and its PID,
//     "ControlGroup=" and the caller's own control group, and "ActiveState=";
//   "netstat" prints its header and then netstat.txt;
//   "apache2ctl" with an Apache runs it on that instance's configuration,
//     otherwise it prints apache2ctl.txt on standard error and exits with the
//     status in apache2ctl.rc (0 when missing).
bool writeStandins(const QString &binDir, const QString &dataDir, const TestApache *apache = nullptr);

#endif // TESTFILES_H
