// reverseproxyctl: sends one command to the reverse-proxy service over its
// local socket and prints the answer, for people and for scripts.

#include "zx2file.h"
#include "zx2localserver.h"
#include "zx2paths.h"
#include "zx2utils.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {

// Exit statuses, documented in the help text.
enum ExitStatus { Succeeded = 0, Refused = 1, Unreachable = 2 };

const int kDefaultTimeout = 30; // seconds; a create may wait on netstat twice

const char *const kDescription =
    "Sends COMMAND with the JSON object PARAMS-JSON (default {}) to the reverse-proxy\n"
    "service and prints the answer as indented JSON.\n"
    "\n"
    "Commands: reverseproxy_alload, reverseproxy_acquit, reverseproxy_create,\n"
    "reverseproxy_change, reverseproxy_remove, help_interfaces.\n"
    "\n"
    "Exit status: 0 when the answer's \"err\" is 0 or 10000, 1 for any other answer,\n"
    "2 when the service cannot be reached or the command line is wrong.\n"
    "Without --lpcid the socket name is the \"lpcid\" of the service's configuration\n"
    "file (/orba/etc/reverseproxy/config.json; ORBA_ROOT replaces /orba when set).\n"
    "\n"
    "Example: forward http://<appliance>/media/ to a local media server:\n"
    "  reverseproxyctl reverseproxy_create '{\"name\":\"media\",\n"
    "      \"source\":{\"protocol\":\"http\",\"port\":0,\"path\":\"/media\"},\n"
    "      \"dest\":{\"protocol\":\"http\",\"host\":\"127.0.0.1\",\"port\":8096,\"path\":\"/\"}}'";

int fail(const QString &message)
{
    QTextStream(stderr) << "reverseproxyctl: " << message << Qt::endl;
    return Unreachable;
}

// Each reader returns an error text, empty when the value was read.
QString readTimeout(const QCommandLineParser &parser, const QCommandLineOption &option, int *timeout)
{
    *timeout = kDefaultTimeout;
    if (!parser.isSet(option))
        return QString();
    bool ok = false;
    *timeout = parser.value(option).toInt(&ok);
    return ok && *timeout > 0 ? QString() : QStringLiteral("--timeout needs a whole number of seconds above 0");
}

QString readParams(const QStringList &args, QJsonObject *params)
{
    if (args.size() < 2)
        return QString();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(args.at(1).toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("PARAMS-JSON does not parse: %1").arg(error.errorString());
    if (!doc.isObject())
        return QStringLiteral("PARAMS-JSON must be a JSON object");
    *params = doc.object();
    return QString();
}

// The socket name from --lpcid, else from the service's configuration file.
QString readLpcid(const QString &given, QString *lpcid)
{
    *lpcid = given;
    if (lpcid->isEmpty()) {
        const QString configPath = orbaPath(QString::fromLatin1(kReverseproxyConfig));
        *lpcid = toString(ZX2File::readJsonObject(configPath).value(QStringLiteral("lpcid")));
        if (lpcid->isEmpty())
            return QStringLiteral("%1 names no \"lpcid\"; pass --lpcid").arg(configPath);
    }
    if (lpcid->contains(QLatin1Char('/')) && !QFileInfo::exists(*lpcid))
        return QStringLiteral("no socket at %1: is the service running?").arg(*lpcid);
    return QString();
}

bool isSuccess(const QJsonObject &answer)
{
    const int err = toInt(answer.value(QStringLiteral("err")), -1);
    return err == 0 || err == 10000;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption lpcidOption(QStringLiteral("lpcid"),
        QStringLiteral("Socket name or path of the service."), QStringLiteral("NAME"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait for the answer (default %1).").arg(kDefaultTimeout),
        QStringLiteral("SECONDS"));
    parser.addOption(lpcidOption);
    parser.addOption(timeoutOption);
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("Command to run."));
    parser.addPositionalArgument(QStringLiteral("PARAMS-JSON"),
        QStringLiteral("Parameters of the command, a JSON object."), QStringLiteral("[PARAMS-JSON]"));

    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return Succeeded;
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty() || args.size() > 2)
        return fail(QStringLiteral("expected COMMAND [PARAMS-JSON]; see --help"));
    int timeout = 0;
    QJsonObject params;
    QString lpcid;
    QString error = readTimeout(parser, timeoutOption, &timeout);
    if (error.isEmpty())
        error = readParams(args, &params);
    if (error.isEmpty())
        error = readLpcid(parser.value(lpcidOption), &lpcid);
    if (!error.isEmpty())
        return fail(error);

    QJsonObject request{{QStringLiteral("cmd"), args.at(0)}, {QStringLiteral("params"), params}};
    QJsonObject answer;
    if (!ZX2LocalServer::localRequest(lpcid, request, &answer, timeout))
        return fail(QStringLiteral("no answer from the service at %1 (not running, or no answer within %2 s)")
                        .arg(lpcid).arg(timeout));

    QTextStream(stdout) << QJsonDocument(answer).toJson(QJsonDocument::Indented);
    return isSuccess(answer) ? Succeeded : Refused;
}
