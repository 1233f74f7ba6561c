// reverseproxyctl: sends one command to the reverse-proxy service over its
// local socket and prints the answer, for people and for scripts.

#include "backendcheck.h"
#include "ruleaccess.h"
#include "ruletransfer.h"
#include "ruleview.h"
#include "zx2error.h"
#include "zx2file.h"
#include "zx2localserver.h"
#include "kmpaths.h"
#include "kmversion.h"
#include "zx2utils.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTextStream>

#include <pwd.h>
#include <unistd.h>

namespace {

// Exit statuses, documented in the help text.
enum ExitStatus { Succeeded = 0, Refused = 1, Unreachable = 2, PermissionDenied = 3, ForeignServer = 4 };

const int kDefaultTimeout = 30; // seconds; a create may wait on netstat twice
const int kDefaultLogEntries = 20;

const char *const kDescription =
    "Talks to the reverse-proxy service over its local socket.\n"
    "\n"
    "  list                  the rules as a table, with the reason of each disabled one,\n"
    "                        then each https name's certificate\n"
    "  show N                every field of rule number N\n"
    "  status                the service's version, the last Apache reload, Apache's\n"
    "                        state, the disabled rules and each https name's certificate\n"
    "  list --check          the rules with a BACKEND column: whether each back end answers\n"
    "                        a connection and a HEAD request (2 s each), checked from here\n"
    "  export [FILE]         every rule as one JSON document, to FILE or standard output\n"
    "  import FILE [--replace] [--dry-run]\n"
    "                        adds the rules of an export (FILE - is standard input), or\n"
    "                        replaces the table with them: all of them or, on any refusal,\n"
    "                        none; --dry-run only checks them\n"
    "  passwd RULE USER      sets USER's password in the access list of rule RULE (its\n"
    "                        number or name), adding USER when missing; the password is\n"
    "                        read from the terminal without echo (from a line of standard\n"
    "                        input when that is no terminal), never from the command line\n"
    "  log [-n N] [RULE]     the newest N changes (default 20, at most 1000), refused ones\n"
    "                        too, of rule number RULE only when given: when, who, through\n"
    "                        which program and command, and the outcome\n"
    "  COMMAND [PARAMS-JSON] sends COMMAND with the JSON object PARAMS-JSON (default {})\n"
    "                        and prints the answer as indented JSON\n"
    "With --json, list, show, status, import and log print the service's answer as indented JSON too.\n"
    "\n"
    "Commands: reverseproxy_alload, reverseproxy_acquit, reverseproxy_create,\n"
    "reverseproxy_change, reverseproxy_remove, reverseproxy_status, reverseproxy_import,\n"
    "reverseproxy_log, help_interfaces.\n"
    "\n"
    "Exit status: 0 when the answer's \"err\" is 0 or 10000, 1 for any other answer,\n"
    "2 when the service cannot be reached, gives no answer in time (whether the\n"
    "command took effect is then unknown) or the command line is wrong, 3 when\n"
    "this user may not open the socket (not in the service's \"lpcgroup\"), 4 when\n"
    "the process behind the socket is not the service (neither root nor this user).\n"
    "export and import also end with 2 when FILE cannot be written or read; a back\n"
    "end that is down does not change the exit status of list --check.\n"
    "Without --lpcid the socket name is the \"lpcid\" of the service's configuration\n"
    "file (/orba/etc/reverseproxy/config.json; ORBA_ROOT replaces /orba when set).\n"
    "\n"
    "Example: forward http://<appliance>/media/ to a local media server:\n"
    "  reverseproxyctl reverseproxy_create '{\"name\":\"media\",\n"
    "      \"source\":{\"protocol\":\"http\",\"port\":0,\"path\":\"/media\"},\n"
    "      \"dest\":{\"protocol\":\"http\",\"host\":\"127.0.0.1\",\"port\":8096,\"path\":\"/\"}}'\n"
    "\n"
    "Apps that check the Origin or Referer header (notebook kernels, server\n"
    "consoles) work behind a rule as they are: the browser's own pages reach them\n"
    "as from the back end's own origin, other sites' as they were sent. Only an\n"
    "app that must see the browser's own Host (to build absolute links, or to pick\n"
    "a site by name) needs, in its rule:\n"
    "  \"httpheaders\":[{\"key\":\"ProxyPreserveHost\",\"value\":\"On\"}]";

// Where and how long to ask the service.
struct Service {
    QString lpcid;
    int timeout = 0;
};

int fail(const QString &message, int status = Unreachable)
{
    QTextStream(stderr) << "reverseproxyctl: " << message << Qt::endl;
    return status;
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
    return err == ZX2Error::ERR_SUCCEED || err == ZX2Error::ERR_SUCCESS;
}

// One request on one connection, sent only when the process behind that very
// connection may be the service: root, or this user for development setups
// and tests where client and service run as one user.
ZX2LocalServer::Outcome request(const Service &service, const QString &command, const QJsonObject &params,
                                QJsonObject *answer, uint *peer)
{
    const QJsonObject request{{QStringLiteral("cmd"), command}, {QStringLiteral("params"), params}};
    return ZX2LocalServer::localRequest(service.lpcid, request, answer, service.timeout, {0, uint(::geteuid())}, peer);
}

// Says why a request got no answer; "not running" only when nothing accepted
// the connection: a request that was sent may have taken effect.
int report(const Service &service, ZX2LocalServer::Outcome outcome, uint peer)
{
    const QString path = ZX2LocalServer::socketPath(service.lpcid);
    const QString unknown = QStringLiteral("the outcome is unknown; check with \"reverseproxyctl list\"");
    switch (outcome) {
    case ZX2LocalServer::Answered:
        return Succeeded;
    case ZX2LocalServer::Denied:
        return fail(QStringLiteral("permission denied: %1").arg(path), PermissionDenied);
    case ZX2LocalServer::Foreign: {
        const passwd *user = peer != uint(-1) ? ::getpwuid(peer) : nullptr;
        const QString name = user ? QString::fromLocal8Bit(user->pw_name)
                                  : peer != uint(-1) ? QString::number(peer) : QStringLiteral("unknown");
        return fail(QStringLiteral("not the service: the server at %1 runs as user %2").arg(path, name),
                    ForeignServer);
    }
    case ZX2LocalServer::TimedOut:
        return fail(QStringLiteral("no answer from the service at %1 within %2 s: %3")
                        .arg(service.lpcid).arg(service.timeout).arg(unknown));
    case ZX2LocalServer::Dropped:
        return fail(QStringLiteral("the service at %1 closed the connection without an answer: %2")
                        .arg(service.lpcid, unknown));
    case ZX2LocalServer::NotRunning:
        break;
    }
    return fail(QStringLiteral("cannot connect to the service at %1: it is not running").arg(service.lpcid));
}

// Succeeded with the answer, or the exit status after saying why there is none.
int ask(const Service &service, const QString &command, const QJsonObject &params, QJsonObject *answer)
{
    uint peer = uint(-1);
    const ZX2LocalServer::Outcome outcome = request(service, command, params, answer, &peer);
    return report(service, outcome, peer);
}

int printJson(const QJsonObject &answer)
{
    QTextStream(stdout) << QJsonDocument(answer).toJson(QJsonDocument::Indented);
    return isSuccess(answer) ? Succeeded : Refused;
}

// Prints the answer raw, or its "results" through the view when it succeeded.
template <typename View>
int print(const QJsonObject &answer, bool json, View view)
{
    if (json)
        return printJson(answer);
    if (isSuccess(answer))
        QTextStream(stdout) << view(answer.value(QStringLiteral("results")).toObject());
    else
        QTextStream(stderr) << "reverseproxyctl: " << toString(answer.value(QStringLiteral("errmsg")))
                            << " (err " << toInt(answer.value(QStringLiteral("err")), -1) << ")" << Qt::endl;
    return isSuccess(answer) ? Succeeded : Refused;
}

// The results of the status; none when the service has no status command.
QJsonObject statusResults(const Service &service)
{
    QJsonObject answer;
    uint peer = uint(-1);
    if (request(service, QStringLiteral("reverseproxy_status"), QJsonObject(), &answer, &peer)
        != ZX2LocalServer::Answered)
        return QJsonObject();
    if (!isSuccess(answer) && toInt(answer.value(QStringLiteral("err"))) != ZX2Error::ERR_MISSING)
        QTextStream(stderr) << "reverseproxyctl: no rule states: "
                            << toString(answer.value(QStringLiteral("errmsg"))) << Qt::endl;
    return answer.value(QStringLiteral("results")).toObject();
}

// The disabled rules of the status.
RuleView::DisabledRules disabledRules(const Service &service)
{
    return RuleView::disabledRules(statusResults(service));
}

int list(const Service &service, bool json)
{
    QJsonObject answer;
    if (const int asked = ask(service, QStringLiteral("reverseproxy_alload"), QJsonObject(), &answer))
        return asked;
    const QJsonObject status = json || !isSuccess(answer) ? QJsonObject() : statusResults(service);
    const RuleView::DisabledRules disabled = RuleView::disabledRules(status);
    return print(answer, json, [&](const QJsonObject &rules) {
        return RuleView::rulesTable(rules, disabled) + RuleView::certificatesText(status);
    });
}

int show(const Service &service, int pxyno, bool json)
{
    QJsonObject answer;
    const QJsonObject params{{QStringLiteral("pxyno"), pxyno}};
    if (const int asked = ask(service, QStringLiteral("reverseproxy_acquit"), params, &answer))
        return asked;
    const RuleView::DisabledRules disabled =
        json || !isSuccess(answer) ? RuleView::DisabledRules() : disabledRules(service);
    return print(answer, json, [&](const QJsonObject &rule) { return RuleView::ruleDetails(rule, disabled); });
}

int status(const Service &service, bool json)
{
    QJsonObject answer;
    if (const int asked = ask(service, QStringLiteral("reverseproxy_status"), QJsonObject(), &answer))
        return asked;
    return print(answer, json, RuleView::statusText);
}

// A rule asking for "acme" is refused until the CA's terms are accepted in
// the service's configuration: say so when that is why.
void explainAcmeRefusal(const QJsonObject &params, const QJsonObject &answer)
{
    const bool acme = QJsonDocument(params).toJson(QJsonDocument::Compact).contains("\"certificate\":\"acme\"");
    const QString message = toString(answer.value(QStringLiteral("errmsg")));
    if (isSuccess(answer) || !acme || !message.endsWith(QLatin1String("(certificate)")))
        return;
    const QString configPath = orbaPath(QString::fromLatin1(kReverseproxyConfig));
    const QJsonObject acmeConfig = ZX2File::readJsonObject(configPath).value(QStringLiteral("acme")).toObject();
    if (!acmeConfig.value(QStringLiteral("accept-terms")).toBool())
        QTextStream(stderr) << "reverseproxyctl: a rule may ask for \"acme\" only once the CA's terms are accepted in "
                            << configPath << " (\"acme\": {\"accept-terms\": true})" << Qt::endl;
}

int raw(const Service &service, const QString &command, const QJsonObject &params)
{
    QJsonObject answer;
    if (const int asked = ask(service, command, params, &answer))
        return asked;
    explainAcmeRefusal(params, answer);
    return printJson(answer);
}

// The rules with how each back end answered, checked from this process:
// the service itself never connects out.
int listChecked(const Service &service, bool json)
{
    QJsonObject answer;
    if (const int asked = ask(service, QStringLiteral("reverseproxy_alload"), QJsonObject(), &answer))
        return asked;
    if (!isSuccess(answer))
        return print(answer, json, [](const QJsonObject &) { return QString(); });
    QJsonObject rules = answer.value(QStringLiteral("results")).toObject();
    QList<QJsonObject> records;
    for (const QJsonValue &rule : qAsConst(rules))
        records.append(rule.toObject());
    const QMap<int, BackendCheck::Outcome> outcomes = BackendCheck::checkAll(records);
    if (json) {
        for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
            QJsonObject record = rule.value().toObject();
            record.insert(QStringLiteral("backend"),
                          outcomes.value(toInt(record.value(QStringLiteral("pxyno")))).toJson());
            rule.value() = record;
        }
        answer.insert(QStringLiteral("results"), rules);
        return printJson(answer);
    }
    RuleView::BackendStates states;
    for (auto outcome = outcomes.cbegin(); outcome != outcomes.cend(); ++outcome)
        states.insert(outcome.key(), outcome.value().text());
    const RuleView::DisabledRules disabled = disabledRules(service);
    return print(answer, false, [&](const QJsonObject &all) { return RuleView::rulesTable(all, disabled, states); });
}

int exportRules(const Service &service, const QString &file)
{
    QJsonObject answer;
    if (const int asked = ask(service, QStringLiteral("reverseproxy_alload"), QJsonObject(), &answer))
        return asked;
    if (!isSuccess(answer))
        return print(answer, false, [](const QJsonObject &) { return QString(); });
    const QByteArray document = RuleTransfer::exportDocument(answer.value(QStringLiteral("results")).toObject(),
                                                             QDateTime::currentDateTimeUtc());
    if (file.isEmpty()) {
        QFile out;
        return out.open(stdout, QIODevice::WriteOnly) && out.write(document) == document.size()
                   ? Succeeded : fail(QStringLiteral("cannot write the rules to standard output"));
    }
    // A file that is there is either the old export or the whole new one.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(document) != document.size() || !out.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(file, out.errorString()));
    return Succeeded;
}

QString importedText(const QJsonObject &results)
{
    const int count = toInt(results.value(QStringLiteral("imported")));
    const bool replace = toBool(results.value(QStringLiteral("replace")));
    if (toBool(results.value(QStringLiteral("dryrun"))))
        return QStringLiteral("dry run: %1 rules would be imported%2; nothing changed\n")
            .arg(count).arg(replace ? QStringLiteral(", replacing the table") : QString());
    return QStringLiteral("imported %1 rules%2\n").arg(count).arg(replace ? QStringLiteral(", replacing the table")
                                                                          : QString());
}

int importRules(const Service &service, const QString &file, bool replace, bool dryRun, bool json)
{
    QFile in;
    const bool opened = file == QLatin1String("-") ? in.open(stdin, QIODevice::ReadOnly)
                                                   : (in.setFileName(file), in.open(QIODevice::ReadOnly));
    if (!opened)
        return fail(QStringLiteral("cannot read %1: %2").arg(file, in.errorString()));
    QJsonArray rules;
    const QString error = RuleTransfer::readDocument(in.readAll(), &rules);
    if (!error.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(file, error));
    const QJsonObject params{{QStringLiteral("rules"), rules}, {QStringLiteral("replace"), replace},
                             {QStringLiteral("dryrun"), dryRun}};
    QJsonObject answer;
    if (const int asked = ask(service, QStringLiteral("reverseproxy_import"), params, &answer))
        return asked;
    explainAcmeRefusal(params, answer);
    return print(answer, json, importedText);
}

// The record of the rule named by its number or name, through answer (the
// service's, when it refused); Succeeded or the exit status.
int findRule(const Service &service, const QString &rule, QJsonObject *record, QJsonObject *answer)
{
    bool number = false;
    const int pxyno = rule.toInt(&number);
    const QString command = number ? QStringLiteral("reverseproxy_acquit") : QStringLiteral("reverseproxy_alload");
    const QJsonObject params = number ? QJsonObject{{QStringLiteral("pxyno"), pxyno}} : QJsonObject();
    if (const int asked = ask(service, command, params, answer))
        return asked;
    const QJsonObject results = answer->value(QStringLiteral("results")).toObject();
    *record = number ? results : results.value(rule).toObject();
    if (isSuccess(*answer) && record->isEmpty())
        return fail(QStringLiteral("no rule named %1").arg(rule), Refused);
    return Succeeded;
}

int setPassword(const Service &service, const QString &rule, const QString &user)
{
    QJsonObject record;
    QJsonObject answer;
    if (const int found = findRule(service, rule, &record, &answer))
        return found;
    if (!isSuccess(answer))
        return print(answer, false, [](const QJsonObject &) { return QString(); });
    QString password;
    const QString error = RuleAccess::readPassword(&password);
    if (!error.isEmpty())
        return fail(error, Refused);
    if (const int asked = ask(service, QStringLiteral("reverseproxy_change"),
                              RuleAccess::withPassword(record, user, password), &answer))
        return asked;
    return print(answer, false, [&](const QJsonObject &) {
        return QStringLiteral("password of %1 set for rule %2\n").arg(user, record.value(QStringLiteral("name")).toString());
    });
}

int trail(const Service &service, int limit, int pxyno, bool json)
{
    QJsonObject params{{QStringLiteral("limit"), limit}};
    if (pxyno > 0)
        params.insert(QStringLiteral("pxyno"), pxyno);
    QJsonObject answer;
    if (const int asked = ask(service, QStringLiteral("reverseproxy_log"), params, &answer))
        return asked;
    if (json || !isSuccess(answer))
        return print(answer, json, [](const QJsonObject &) { return QString(); });
    QTextStream(stdout) << RuleView::auditTable(answer.value(QStringLiteral("results")).toArray());
    return Succeeded;
}

// The number of entries -n asks for; empty when it fits.
QString readLogLimit(const QCommandLineParser &parser, int *limit)
{
    *limit = kDefaultLogEntries;
    if (!parser.isSet(QStringLiteral("n")))
        return QString();
    bool ok = false;
    *limit = parser.value(QStringLiteral("n")).toInt(&ok);
    return ok && *limit >= 1 && *limit <= 1000 ? QString() : QStringLiteral("-n needs a whole number from 1 to 1000");
}

// --check belongs to list, --replace and --dry-run to import, -n to log; empty when they fit.
QString readCommandOptions(const QCommandLineParser &parser, const QString &command)
{
    if (parser.isSet(QStringLiteral("n")) && command != QLatin1String("log"))
        return QStringLiteral("-n goes with log only");
    if (parser.isSet(QStringLiteral("check")) && command != QLatin1String("list"))
        return QStringLiteral("--check goes with list only");
    if ((parser.isSet(QStringLiteral("replace")) || parser.isSet(QStringLiteral("dry-run")))
        && command != QLatin1String("import"))
        return QStringLiteral("--replace and --dry-run go with import only");
    return QString();
}

// Checks the words after a readable command; empty when they fit.
QString readViewArgs(const QStringList &args, int *pxyno)
{
    const QString &view = args.at(0);
    if (view == QLatin1String("show")) {
        bool ok = false;
        *pxyno = args.size() == 2 ? args.at(1).toInt(&ok) : 0;
        return ok && *pxyno > 0 ? QString() : QStringLiteral("expected show N with a rule number N above 0");
    }
    if (view == QLatin1String("log")) {
        bool ok = args.size() == 1;
        *pxyno = args.size() == 2 ? args.at(1).toInt(&ok) : 0;
        const bool fits = ok && (args.size() == 1 || *pxyno > 0);
        return fits ? QString() : QStringLiteral("expected log [RULE] with a rule number RULE above 0");
    }
    if (view == QLatin1String("export"))
        return args.size() <= 2 ? QString() : QStringLiteral("expected export [FILE]");
    if (view == QLatin1String("import"))
        return args.size() == 2 ? QString() : QStringLiteral("expected import FILE");
    if (view == QLatin1String("passwd"))
        return args.size() == 3 ? QString() : QStringLiteral("expected passwd RULE USER");
    return args.size() == 1 ? QString() : QStringLiteral("%1 takes no parameters").arg(view);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kReverseproxyVersion));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption lpcidOption(QStringLiteral("lpcid"),
        QStringLiteral("Socket name or path of the service."), QStringLiteral("NAME"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait for the answer (default %1).").arg(kDefaultTimeout),
        QStringLiteral("SECONDS"));
    const QCommandLineOption jsonOption(QStringLiteral("json"),
        QStringLiteral("Print the answer of list, show, status or import as JSON."));
    parser.addOptions({lpcidOption, timeoutOption, jsonOption});
    parser.addOptions({{QStringLiteral("check"), QStringLiteral("With list: check every rule's back end from here.")},
                       {QStringLiteral("replace"), QStringLiteral("With import: replace the whole rule table.")},
                       {QStringLiteral("dry-run"), QStringLiteral("With import: check the rules, change nothing.")},
                       {QStringLiteral("n"), QStringLiteral("With log: the newest N entries."), QStringLiteral("N")}});
    parser.addPositionalArgument(QStringLiteral("COMMAND"),
                                 QStringLiteral("list, show, status, export, import, log, passwd or a service command."));
    parser.addPositionalArgument(QStringLiteral("PARAMS-JSON"),
        QStringLiteral("Parameters of a service command, a JSON object; the rule number of show or log;"
                       " the file of export or import."),
        QStringLiteral("[PARAMS-JSON | N | FILE]"));

    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return Succeeded;
    }
    if (parser.isSet(versionOption))
        parser.showVersion(); // exits

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty() || args.size() > (args.at(0) == QLatin1String("passwd") ? 3 : 2))
        return fail(QStringLiteral("expected COMMAND [PARAMS-JSON]; see --help"));
    const QStringList views{QStringLiteral("list"), QStringLiteral("show"), QStringLiteral("status"),
                            QStringLiteral("export"), QStringLiteral("import"), QStringLiteral("log"),
                            QStringLiteral("passwd")};
    const bool isView = views.contains(args.at(0));
    Service service;
    QJsonObject params;
    int pxyno = 0;
    int logLimit = 0;
    QString error = readTimeout(parser, timeoutOption, &service.timeout);
    if (error.isEmpty())
        error = isView ? readViewArgs(args, &pxyno) : readParams(args, &params);
    if (error.isEmpty())
        error = readCommandOptions(parser, args.at(0));
    if (error.isEmpty())
        error = readLogLimit(parser, &logLimit);
    if (error.isEmpty())
        error = readLpcid(parser.value(lpcidOption), &service.lpcid);
    if (!error.isEmpty())
        return fail(error);

    const bool json = parser.isSet(jsonOption);
    if (args.at(0) == QLatin1String("list"))
        return parser.isSet(QStringLiteral("check")) ? listChecked(service, json) : list(service, json);
    if (args.at(0) == QLatin1String("export"))
        return exportRules(service, args.value(1));
    if (args.at(0) == QLatin1String("import"))
        return importRules(service, args.at(1), parser.isSet(QStringLiteral("replace")),
                           parser.isSet(QStringLiteral("dry-run")), json);
    if (args.at(0) == QLatin1String("show"))
        return show(service, pxyno, json);
    if (args.at(0) == QLatin1String("status"))
        return status(service, json);
    if (args.at(0) == QLatin1String("passwd"))
        return setPassword(service, args.at(1), args.at(2));
    if (args.at(0) == QLatin1String("log"))
        return trail(service, logLimit, pxyno, json);
    return raw(service, args.at(0), params);
}
