#include "fuzzservice.h"

#include "appdata.h"
#include "kmreverseproxy.h"
#include "testfiles.h"
#include "zx2cabinet.h"
#include "zx2journals.h"
#include "zx2localserver.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const QString &why, const QByteArray &detail = QByteArray())
{
    std::fprintf(stderr, "invariant broken: %s\n%s\n", qPrintable(why), detail.constData());
    std::abort();
}

QTemporaryDir &rootDir()
{
    static QTemporaryDir dir;
    return dir;
}

void prepareRoot()
{
    const QString root = rootDir().path();
    const QString bin = root + QStringLiteral("/bin");
    // Something listens on 2222: rules on that port must be refused.
    if (!writeDefinePorts(root, 80, 443) || !writeStandins(bin, bin)
        || !writeTestFile(bin + QStringLiteral("/netstat.txt"), "tcp 0 0 0.0.0.0:2222 0.0.0.0:* LISTEN 1/sshd\n"))
        fail(QStringLiteral("cannot write the appliance files"));

    const QString tls = root + QStringLiteral("/etc/apache2/snippets/");
    const QString error = writeCertificate(tls);
    if (!error.isEmpty())
        fail(QStringLiteral("no certificate: ") + error);
    if (!writeTestFile(tls + QStringLiteral("ssl.conf"),
                       QStringLiteral("SSLCertificateFile \"%1server.crt\"\nSSLCertificateKeyFile \"%1server.key\"\n")
                           .arg(tls).toUtf8()))
        fail(QStringLiteral("cannot write the certificate snippet"));

    qputenv("ORBA_ROOT", root.toUtf8());
    qputenv("PATH", (bin + QLatin1Char(':')).toUtf8() + qgetenv("PATH"));
}

int creates = 0;
int accepted = 0;

void printAcceptance()
{
    std::fprintf(stderr, "rules accepted by reverseproxy_create: %d of %d\n", accepted, creates);
}

} // namespace

FuzzService::FuzzService()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    if (!rootDir().isValid())
        fail(QStringLiteral("no temporary directory"));
    prepareRoot();
    std::atexit(printAcceptance);
    AppData::create();
    ZX2Journals journals;
    if (!IAppData()->reverseproxy()->start(journals))
        fail(QStringLiteral("rule manager did not start"));
}

FuzzService &FuzzService::instance()
{
    static FuzzService service;
    return service;
}

int FuzzService::call(const QString &cmd, const QJsonObject &params, QJsonObject *answer)
{
    ZX2Cabinet cabinet;
    QJsonObject result{{QStringLiteral("err"), 9999}};
    IAppData()->server()->doCall(result, {{QStringLiteral("cmd"), cmd}, {QStringLiteral("params"), params}},
                                 &cabinet);
    if (answer)
        *answer = result;
    if (cmd == QLatin1String("reverseproxy_create")) {
        ++creates;
        accepted += cabinet.err() == 0 ? 1 : 0;
    }
    return cabinet.err();
}

QJsonObject FuzzService::rules()
{
    QJsonObject answer;
    if (call(QStringLiteral("reverseproxy_alload"), QJsonObject(), &answer) != 0)
        fail(QStringLiteral("listing failed"), QJsonDocument(answer).toJson());
    return answer.value(QStringLiteral("results")).toObject();
}

void FuzzService::prune(int keep)
{
    QList<int> numbers;
    const QJsonObject all = rules();
    for (const QJsonValue &rule : all)
        numbers << rule.toObject().value(QStringLiteral("pxyno")).toInt();
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; i < numbers.size() - keep; ++i) {
        if (call(QStringLiteral("reverseproxy_remove"), {{QStringLiteral("pxyno"), numbers.at(i)}}) != 0)
            fail(QStringLiteral("removing a listed rule failed"));
    }
}

QString FuzzService::root() const
{
    return rootDir().path();
}

QMap<QString, QByteArray> FuzzService::generatedFiles() const
{
    QMap<QString, QByteArray> files;
    const QDir dir(root() + QStringLiteral("/etc/reverseproxy"));
    QStringList paths{dir.filePath(QStringLiteral("http.conf")), dir.filePath(QStringLiteral("https.conf"))};
    const QDir hosts(dir.filePath(QStringLiteral("virtualhost")));
    for (const QString &name : hosts.entryList(QDir::Files))
        paths << hosts.filePath(name);
    for (const QString &path : qAsConst(paths)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(path, file.readAll());
    }
    return files;
}

namespace {

QJsonValue fuzzString(FuzzedDataProvider &fdp)
{
    static const char *const pieces[] = {"http", "https", "HTTPS ", "/", "//", "/app", "/api", "'", "\"",
                                         "\\", "\n", "\r", "\t", " ", "#", "<", ">", "(", "[", "]",
                                         "*", "?", "$", "%{", "${X}", "::1", "[::1]", "127.0.0.1",
                                         "localhost", "example.org", ":8080", "é", "\xe4\xb8\xad"};
    QString text;
    const int parts = fdp.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < parts; ++i) {
        if (fdp.ConsumeBool())
            text += QString::fromUtf8(pieces[fdp.ConsumeIntegralInRange<size_t>(0, std::size(pieces) - 1)]);
        else
            text += QString::fromUtf8(fdp.ConsumeRandomLengthString(24).c_str());
    }
    return text;
}

QJsonValue fuzzValue(FuzzedDataProvider &fdp, int depth = 0)
{
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return QJsonValue(QJsonValue::Undefined);
    case 1: return QJsonValue();
    case 2: return fdp.ConsumeBool();
    case 3: return fdp.ConsumeIntegralInRange<int>(-2, 70000);
    case 4: return fdp.ConsumeFloatingPoint<double>();
    case 5: return depth < 2 ? QJsonArray{fuzzValue(fdp, depth + 1)} : QJsonValue(QJsonArray());
    default: return fuzzString(fdp);
    }
}

void put(QJsonObject &object, const QString &key, const QJsonValue &value)
{
    if (!value.isUndefined())
        object.insert(key, value);
}

QJsonObject fuzzSide(FuzzedDataProvider &fdp)
{
    QJsonObject side;
    put(side, QStringLiteral("protocol"),
        fdp.ConsumeIntegralInRange<int>(0, 3) != 0
            ? QJsonValue(fdp.ConsumeBool() ? QStringLiteral("http") : QStringLiteral(" HTTPS"))
            : fuzzValue(fdp));
    put(side, QStringLiteral("host"), fdp.ConsumeBool() ? QJsonValue(QJsonValue::Undefined) : fuzzValue(fdp));
    put(side, QStringLiteral("port"),
        fdp.ConsumeBool() ? QJsonValue(fdp.ConsumeIntegralInRange<int>(0, 9000)) : fuzzValue(fdp));
    put(side, QStringLiteral("path"), fdp.ConsumeBool() ? fuzzString(fdp) : fuzzValue(fdp));
    return side;
}

QJsonArray fuzzHeaders(FuzzedDataProvider &fdp)
{
    static const char *const directives[] = {"RequestHeader", "Header", "ProxyPreserveHost",
                                             "ProxyAddHeaders", "SetEnv", "Require"};
    QJsonArray headers;
    const int count = fdp.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < count; ++i) {
        QJsonObject header;
        put(header, QStringLiteral("key"),
            fdp.ConsumeBool()
                ? QJsonValue(QString::fromLatin1(directives[fdp.ConsumeIntegralInRange<size_t>(0, 5)]))
                : fuzzValue(fdp));
        put(header, QStringLiteral("value"), fuzzValue(fdp));
        put(header, QStringLiteral("description"), fuzzValue(fdp));
        headers.append(header);
    }
    return headers;
}

} // namespace

QJsonObject fuzzRule(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    if (bytes.startsWith('{')) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            return document.object();
    }
    FuzzedDataProvider fdp(data, size);
    QJsonObject rule;
    put(rule, QStringLiteral("name"), fdp.ConsumeIntegralInRange<int>(0, 3) != 0
                                          ? QJsonValue(QString::fromUtf8(fdp.ConsumeRandomLengthString(12).c_str()))
                                          : fuzzValue(fdp));
    put(rule, QStringLiteral("source"), fdp.ConsumeIntegralInRange<int>(0, 7) != 0 ? QJsonValue(fuzzSide(fdp)) : fuzzValue(fdp));
    put(rule, QStringLiteral("dest"), fdp.ConsumeIntegralInRange<int>(0, 7) != 0 ? QJsonValue(fuzzSide(fdp)) : fuzzValue(fdp));
    if (fdp.ConsumeBool())
        put(rule, QStringLiteral("hsts"), fuzzValue(fdp));
    if (fdp.ConsumeBool())
        put(rule, QStringLiteral("desterrpage"), fuzzValue(fdp));
    if (fdp.ConsumeBool())
        put(rule, QStringLiteral("httpversion"), fdp.ConsumeBool() ? QJsonValue(QStringLiteral(" HTTP/1.1")) : fuzzValue(fdp));
    if (fdp.ConsumeBool())
        put(rule, QStringLiteral("timeouts"), QJsonObject{{QStringLiteral("conn"), fuzzValue(fdp)},
                                                          {QStringLiteral("recv"), fuzzValue(fdp)}});
    if (fdp.ConsumeBool())
        put(rule, QStringLiteral("httpheaders"), fuzzHeaders(fdp));
    // Requests arrive as JSON text: what text cannot carry (NaN, infinities)
    // never reaches the service.
    return QJsonDocument::fromJson(QJsonDocument(rule).toJson(QJsonDocument::Compact)).object();
}

void checkGeneratedFiles(const QMap<QString, QByteArray> &files)
{
    static const QRegularExpression location(QStringLiteral("^ *<Location '[^']*'>$"));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString text = QString::fromUtf8(it.value());
        if (text.toUtf8() != it.value())
            fail(QStringLiteral("not UTF-8: ") + it.key(), it.value());
        int open = 0;
        int hosts = 0;
        int serverNames = 0;
        for (const QString &line : text.split(QLatin1Char('\n'))) {
            for (const QChar c : line) {
                if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                    fail(QStringLiteral("control character in ") + it.key(), it.value());
            }
            if (line.endsWith(QLatin1Char('\\')))
                fail(QStringLiteral("continuation line in ") + it.key(), it.value());
            const QString trimmed = line.trimmed();
            if (trimmed.startsWith(QLatin1String("<Location "))) {
                if (open++ != 0 || !location.match(line).hasMatch())
                    fail(QStringLiteral("bad Location in ") + it.key(), it.value());
            } else if (trimmed == QLatin1String("</Location>")) {
                if (--open != 0)
                    fail(QStringLiteral("unbalanced Location in ") + it.key(), it.value());
            } else if (trimmed.startsWith(QLatin1String("<VirtualHost"))) {
                ++hosts;
            } else if (trimmed.startsWith(QLatin1String("ServerName"))) {
                ++serverNames;
            }
        }
        const bool virtualHost = it.key().contains(QLatin1String("/virtualhost/"));
        // A custom port's file holds one virtual host per name.
        if (open != 0 || (virtualHost ? hosts < 1 : hosts != 0) || serverNames > hosts)
            fail(QStringLiteral("unbalanced sections in ") + it.key(), it.value());
    }
}
