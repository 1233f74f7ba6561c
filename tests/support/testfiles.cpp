#include "testfiles.h"

#include "apachefixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

// openssl generates a key pair; on a loaded machine that takes a while.
const int kOpensslWaitMs = 60000;

// A reload signals the running instance by its PID file, as "apache2 -k
// graceful" does; that command would also start an instance that is not
// running, one the test no longer knows of, outliving it and its directory.
const char *const kSystemctl = R"sh(data='%1'; pid='%2'; conf='%3'
echo "$(date +%s.%N) $*" >> "$data/systemctl.log"
[ -n "$conf" ] || exit 0
# A zombie (an ended instance nobody reaped yet) is not running.
running() { [ -s "$pid" ] && grep -qs '^[^)]*) [^Z]' "/proc/$(cat "$pid")/stat"; }
case "$1 $2" in
  "reload apache2") running || exit 1; /usr/sbin/apache2 -f "$conf" -t 2>/dev/null || exit 1
                    kill -USR1 "$(cat "$pid")" 2>/dev/null || exit 1 ;;
  "start apache2") running && exit 0; rm -f "$pid"; touch "$data/apache2.failed"
                   /usr/sbin/apache2 -f "$conf" -k start || exit 1
                   for i in $(seq 100); do running && rm -f "$data/apache2.failed" && exit 0; sleep 0.1; done; exit 1 ;;
  "is-active apache2") running && exit 0; exit 3 ;;
  "is-failed apache2") ! running && [ -e "$data/apache2.failed" ] && exit 0; exit 1 ;;
  "show -p") running || { echo MainPID=0; echo ActiveState=inactive; exit 0; }
             echo "MainPID=$(cat "$pid")"; echo "ControlGroup=$(sed -n 's/^0:://p' /proc/self/cgroup)"; echo ActiveState=active; exit 0 ;;
esac
exit 0
)sh";

const char *const kNetstat = R"sh(echo 'Active Internet connections (only servers)'
echo 'Proto Recv-Q Send-Q Local Address           Foreign Address         State       PID/Program name'
cat '%1/netstat.txt' 2>/dev/null
exit 0
)sh";

// Checks only: a "-k" command could start an instance no test stops.
const char *const kApache2ctl = R"sh(conf='%2'
case " $* " in *" -k "*) echo "apache2ctl stand-in: $* is not supported" >&2; exit 1 ;; esac
[ -n "$conf" ] && exec /usr/sbin/apache2 -f "$conf" "$@"
cat '%1/apache2ctl.txt' >&2 2>/dev/null
exit $(cat '%1/apache2ctl.rc' 2>/dev/null || echo 0)
)sh";

} // namespace

bool writeTestFile(const QString &path, const QByteArray &content, bool executable)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFile::ExeOwner);
}

bool writeScript(const QString &dir, const QString &name, const QString &body)
{
    return writeTestFile(QDir(dir).filePath(name), "#!/bin/bash\n" + body.toUtf8(), true);
}

QString writeCertificate(const QString &dir)
{
    QDir().mkpath(dir);
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"),
                   QDir(dir).filePath(QStringLiteral("server.key")), QStringLiteral("-out"),
                   QDir(dir).filePath(QStringLiteral("server.crt"))});
    const bool made = openssl.waitForFinished(kOpensslWaitMs) && openssl.exitStatus() == QProcess::NormalExit
                      && openssl.exitCode() == 0;
    const QString output = QString::fromUtf8(openssl.readAll());
    return made ? QString() : output.isEmpty() ? QStringLiteral("openssl did not finish") : output;
}

bool writeDefinePorts(const QString &orbaRoot, int httpPort, int httpsPort)
{
    const QString dir = orbaRoot + QStringLiteral("/etc/apache2/apps/desktop/conf/");
    // A tab between the words, as some appliances write it, for the https port.
    return writeTestFile(dir + QStringLiteral("orbadesktop-http-port.conf"),
                     "Define ORBA_DESKTOP_HTTP_PORT " + QByteArray::number(httpPort) + '\n')
        && writeTestFile(dir + QStringLiteral("orbadesktop-https-port.conf"),
                     "Define\tORBA_DESKTOP_HTTPS_PORT\t" + QByteArray::number(httpsPort) + '\n');
}

bool writeStandins(const QString &binDir, const QString &dataDir, const TestApache *apache)
{
    const QString conf = apache ? apache->configPath() : QString();
    const QString pid = apache ? apache->serverRoot() + QStringLiteral("/run/apache2.pid") : QString();
    return writeScript(binDir, QStringLiteral("systemctl"), QString::fromLatin1(kSystemctl).arg(dataDir, pid, conf))
        && writeScript(binDir, QStringLiteral("netstat"), QString::fromLatin1(kNetstat).arg(dataDir))
        && writeScript(binDir, QStringLiteral("apache2ctl"), QString::fromLatin1(kApache2ctl).arg(dataDir, conf));
}
