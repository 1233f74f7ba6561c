#ifndef KMAPACHECONF_H
#define KMAPACHECONF_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The Apache side of the reverse-proxy rules: the lines generated from a
// stored rule parameter object, the test of whether a rule can be written
// into Apache's configuration safely, the parsers of the appliance facts
// (Define files, "netstat -tunlp" output), the atomic file write and the
// delayed reload. Stateless apart from the process-wide reload schedule.
class KMApacheConf
{
public:
    KMApacheConf() = delete;

    // The location block of one rule: fourteen lines, plus three per written
    // httpheaders element.
    static QStringList locationLines(const QJsonObject &rule);
    // A complete virtual host for a custom port P, with its Listen lines;
    // locations are indented by four blanks.
    static QStringList virtualHostLines(int port, const QString &protocol,
                                        const QString &serverName, bool hsts,
                                        const QStringList &locations);
    // dest protocol "://" host ":" port path; an IPv6 host goes in brackets.
    static QString destinationUrl(const QJsonObject &dest);
    // The normalised path of a rule side: trimmed, "/" in front.
    static QString sidePath(const QJsonObject &side);

    // The first field (name, source.host, source.path, source.port,
    // dest.host, dest.path, dest.port, httpheaders) whose value, written as
    // locationLines/virtualHostLines write it, could add or break directives
    // of Apache's configuration; empty when the rule is safe to write.
    // The arguments of httpheaders directives stay the caller's concern.
    static QString unsafeField(const QJsonObject &rule);

    // The port of "Define <name> <port>" in a Define file's text; 0 when the
    // first such line has no decimal port or there is none.
    static int definedPort(const QByteArray &text, const QString &name);
    // The local ports of the TCP lines of "netstat -tunlp" output, in output
    // order (a port on IPv4 and IPv6 appears twice).
    static QList<int> listeningPorts(const QByteArray &output);
    // Whether the path belongs to the appliance's own site on its web ports.
    static bool reservedPath(const QString &path);

    // Writes the lines joined by "\n" as UTF-8 through a temporary file in
    // the same directory that is renamed into place, so Apache never reads a
    // half-written file. Creates missing directories. A file that already
    // holds exactly these bytes is left as it is.
    static bool writeLines(const QString &path, const QStringList &lines);

    // Runs "systemctl reload apache2" on a detached thread 3 s from now,
    // unless a reload is already waiting: a burst of regenerations is
    // followed by one reload, which starts after the last of them.
    static void scheduleReload();
};

#endif // KMAPACHECONF_H
