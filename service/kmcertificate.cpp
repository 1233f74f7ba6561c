#include "kmcertificate.h"

#include "appdata.h"
#include "kmappliance.h"
#include "kmpaths.h"
#include "zx2error.h"
#include "zx2journals.h"
#include "zx2utils.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

namespace {

const QLatin1String kLetsEncrypt("https://acme-v02.api.letsencrypt.org/directory");
const QString kRefused = QStringLiteral("参数内容错误(certificate)");
// A certificate or key larger than this is no certificate chain.
const int kMaxPemLength = 64 * 1024;

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using PrivateKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// Encrypted keys are refused rather than asked for a pass phrase.
int noPassphrase(char *, int, int, void *)
{
    return 0;
}

Certificate readCertificate(const QByteArray &pem)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    return Certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, noPassphrase, nullptr) : nullptr, X509_free);
}

PrivateKey readKey(const QByteArray &pem)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    return PrivateKey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr,
                      EVP_PKEY_free);
}

QByteArray pemOf(const KMRule &rule)
{
    return toString(rule.params.value(QStringLiteral("certificate")).toObject().value(QStringLiteral("pem")))
        .toUtf8();
}

QByteArray keyOf(const KMRule &rule)
{
    return toString(rule.params.value(QStringLiteral("certificate")).toObject().value(QStringLiteral("key")))
        .toUtf8();
}

// A name the certificate must cover: the host, or for "*.example.org" a
// name below it, which only a wildcard certificate covers.
QByteArray coveredName(const QString &host)
{
    return (host.startsWith(QLatin1String("*.")) ? QStringLiteral("wildcard-check") + host.mid(1) : host).toUtf8();
}

bool broughtUsable(const KMRule &rule)
{
    const QByteArray pem = pemOf(rule);
    const QByteArray key = keyOf(rule);
    if (pem.size() > kMaxPemLength || key.size() > kMaxPemLength)
        return false;
    const Certificate certificate = readCertificate(pem);
    const PrivateKey privateKey = readKey(key);
    if (!certificate || !privateKey || X509_check_private_key(certificate.get(), privateKey.get()) != 1)
        return false;
    const QByteArray name = coveredName(rule.source.host);
    return X509_check_host(certificate.get(), name.constData(), size_t(name.size()), 0, nullptr) == 1
           && X509_cmp_current_time(X509_get0_notAfter(certificate.get())) > 0;
}

QString certificatesDir()
{
    return orbaPath(QLatin1String(kReverseproxyDir)) + QStringLiteral("/certificates");
}

// The kept files' common name: a digest of the certificate and its key.
QString fileStem(const KMRule &rule)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(pemOf(rule));
    hash.addData("\n", 1);
    hash.addData(keyOf(rule));
    return QString::fromLatin1(hash.result().toHex().left(32));
}

bool writePrivate(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit()
           && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

bool isCertificateLine(const QString &line)
{
    static const QRegularExpression directive(QStringLiteral("^\\s*SSLCertificate(File|KeyFile|ChainFile)\\b"),
                                              QRegularExpression::CaseInsensitiveOption);
    return directive.match(line).hasMatch();
}

// The appliance's SSL snippet, split into its certificate lines and the rest.
void snippetLines(QStringList &policy, QStringList &certificate)
{
    QFile file(orbaPath(QLatin1String(kApacheSslSnippet)));
    if (!file.open(QIODevice::ReadOnly))
        return;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        (isCertificateLine(line) ? certificate : policy) << line.trimmed();
    }
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.size() <= kMaxPemLength && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The appliance's own certificate, as its snippet names it.
QByteArray applianceCertificate()
{
    QStringList policy;
    QStringList certificate;
    snippetLines(policy, certificate);
    static const QRegularExpression file(QStringLiteral("^SSLCertificateFile\\s+\"?([^\"]+)\"?$"),
                                         QRegularExpression::CaseInsensitiveOption);
    for (const QString &line : qAsConst(certificate)) {
        const QRegularExpressionMatch match = file.match(line);
        if (match.hasMatch())
            return readFile(match.captured(1).trimmed());
    }
    return QByteArray();
}

// The state of a certificate at hand: valid until it expires.
QJsonObject described(const QByteArray &pem)
{
    QString notAfter;
    QString issuer;
    if (!KMCertificate::describe(pem, notAfter, issuer))
        return {{QStringLiteral("state"), QStringLiteral("failed")},
                {QStringLiteral("reason"), QStringLiteral("证书无法读取")}};
    QJsonObject result{{QStringLiteral("notAfter"), notAfter}, {QStringLiteral("issuer"), issuer}};
    const bool expired = QDateTime::fromString(notAfter, Qt::ISODate) <= QDateTime::currentDateTimeUtc();
    result.insert(QStringLiteral("state"), expired ? QStringLiteral("failed") : QStringLiteral("valid"));
    if (expired)
        result.insert(QStringLiteral("reason"), QStringLiteral("证书已过期"));
    return result;
}

QJsonObject stagingJob(const QString &name)
{
    return toJsonObject(readFile(KMCertificate::storeDir() + QStringLiteral("/staging/") + name
                                 + QStringLiteral("/job.json")));
}

// An ACME name: the certificate in use, else how obtaining it goes (mod_md's
// job: ready for the next reload, or its last error).
QJsonObject acmeState(const QString &name)
{
    const QString store = KMCertificate::storeDir();
    const QByteArray pem = readFile(store + QStringLiteral("/domains/") + name + QStringLiteral("/pubcert.pem"));
    if (!pem.isEmpty())
        return described(pem);
    const QJsonObject job = stagingJob(name);
    const QString detail = toString(job.value(QStringLiteral("last")).toObject().value(QStringLiteral("detail")));
    if (toInt(job.value(QStringLiteral("errors"))) > 0 && !detail.isEmpty())
        return {{QStringLiteral("state"), QStringLiteral("failed")}, {QStringLiteral("reason"), detail}};
    return {{QStringLiteral("state"), QStringLiteral("pending")}};
}

// Whether a configuration value can stand inside '...' in Apache's
// configuration; others are left out.
bool quotable(const QString &value)
{
    static const QRegularExpression unsafe(QStringLiteral("['\\\\\\x00-\\x1f\\x7f]|\\$\\{"));
    return !value.isEmpty() && !unsafe.match(value).hasMatch();
}

// Apache's children write into mod_md's store: the directories above it
// that are made here can be passed through by every user.
void makeStoreParents()
{
    const QString root = orbaPath(QStringLiteral("/orba"));
    QString path = root;
    for (const QString &part : KMCertificate::storeDir().mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        if (path == KMCertificate::storeDir() || QFileInfo::exists(path))
            continue;
        if (!QDir().mkdir(path))
            return;
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    }
}

} // namespace

KMAcmeSettings KMAcmeSettings::fromConfig(const QJsonObject &acme)
{
    KMAcmeSettings settings;
    settings.directory = toString(acme.value(QStringLiteral("directory"))).trimmed();
    if (settings.directory.isEmpty())
        settings.directory = kLetsEncrypt;
    settings.email = toString(acme.value(QStringLiteral("email"))).trimmed();
    settings.cacert = toString(acme.value(QStringLiteral("cacert"))).trimmed();
    settings.acceptTerms = acme.value(QStringLiteral("accept-terms")).toBool();
    return settings;
}

KMAcmeSettings KMAcmeSettings::current()
{
    const AppData *app = IAppData();
    return fromConfig(app ? app->configuration().value(QStringLiteral("acme")).toObject() : QJsonObject());
}

KMCertificate::Kind KMCertificate::kind(const QJsonObject &params)
{
    const QJsonValue value = params.value(QStringLiteral("certificate"));
    if (value.isUndefined() || value.isNull() || value == QLatin1String("appliance"))
        return Kind::Appliance;
    if (value == QLatin1String("acme"))
        return Kind::Acme;
    const QJsonObject own = value.toObject();
    if (value.isObject() && own.value(QStringLiteral("pem")).isString() && own.value(QStringLiteral("key")).isString())
        return Kind::Own;
    return Kind::Invalid;
}

bool KMCertificate::ownSite(const KMRule &rule)
{
    const Kind own = kind(rule.params);
    return (own == Kind::Acme || own == Kind::Own) && rule.source.protocol == QLatin1String("https")
           && !rule.source.host.isEmpty();
}

bool KMCertificate::check(ZX2Journals &journals, const KMRule &rule, const KMAcmeSettings &acme,
                          const KMAppliancePorts &ports, const KMNameLookup &names)
{
    const Kind own = kind(rule.params);
    if (own == Kind::Appliance)
        return true;
    KMRuleSide root = rule.source;
    root.path = QStringLiteral("/");
    bool usable = own != Kind::Invalid && ownSite(rule) && !KMAppliance::reservedSource(root, ports, names);
    // A CA validates a plain name over http: no wildcard, no address.
    if (usable && own == Kind::Acme)
        usable = acme.acceptTerms && !rule.source.host.startsWith(QLatin1String("*."))
                 && QHostAddress(rule.source.host).isNull();
    else if (usable)
        usable = broughtUsable(rule);
    if (!usable)
        journals.setErr(ZX2Error::ERR_PARAMS, kRefused);
    return usable;
}

QJsonObject KMCertificate::withoutKey(const QJsonObject &params)
{
    if (kind(params) != Kind::Own)
        return params;
    QJsonObject certificate = params.value(QStringLiteral("certificate")).toObject();
    certificate.insert(QStringLiteral("key"), QString());
    QJsonObject hidden = params;
    hidden.insert(QStringLiteral("certificate"), certificate);
    return hidden;
}

QString KMCertificate::certificateFile(const KMRule &rule)
{
    return certificatesDir() + QLatin1Char('/') + fileStem(rule) + QStringLiteral(".pem");
}

QString KMCertificate::keyFile(const KMRule &rule)
{
    return certificatesDir() + QLatin1Char('/') + fileStem(rule) + QStringLiteral(".key");
}

bool KMCertificate::storeFiles(ZX2Journals &journals, const QList<KMRule> &rules)
{
    if (std::any_of(rules.cbegin(), rules.cend(), [](const KMRule &rule) { return kind(rule.params) == Kind::Acme; }))
        makeStoreParents();
    for (const KMRule &rule : rules) {
        if (!ownSite(rule) || kind(rule.params) != Kind::Own || QFile::exists(keyFile(rule)))
            continue;
        const QString dir = certificatesDir();
        const bool stored = QDir().mkpath(dir)
                            && QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
                            && writePrivate(certificateFile(rule), pemOf(rule))
                            && writePrivate(keyFile(rule), keyOf(rule));
        if (!stored) {
            journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("证书保存失败: ") + dir);
            return false;
        }
    }
    return true;
}

void KMCertificate::pruneFiles(const QList<KMRule> &rules)
{
    QSet<QString> kept;
    for (const KMRule &rule : rules) {
        if (kind(rule.params) == Kind::Own)
            kept << fileStem(rule);
    }
    QDir dir(certificatesDir());
    for (const QString &name : dir.entryList({QStringLiteral("*.pem"), QStringLiteral("*.key")}, QDir::Files)) {
        if (!kept.contains(name.section(QLatin1Char('.'), 0, 0)))
            dir.remove(name);
    }
}

QStringList KMCertificate::tlsLines(const KMRule &rule)
{
    QStringList policy;
    QStringList certificate;
    snippetLines(policy, certificate);
    if (kind(rule.params) == Kind::Own)
        return policy << QStringLiteral("SSLCertificateFile '") + certificateFile(rule) + QLatin1Char('\'')
                      << QStringLiteral("SSLCertificateKeyFile '") + keyFile(rule) + QLatin1Char('\'');
    policy << QStringLiteral("<IfModule !md_module>");
    for (const QString &line : qAsConst(certificate))
        policy << QStringLiteral("    ") + line;
    return policy << QStringLiteral("</IfModule>");
}

QStringList KMCertificate::managedDomainLines(const QStringList &names, const KMAcmeSettings &acme,
                                              const KMAppliancePorts &ports)
{
    if (names.isEmpty())
        return {};
    QStringList lines{QString(), QStringLiteral("# ACME 证书 (mod_md)"), QStringLiteral("<IfModule md_module>"),
                      QStringLiteral("    MDStoreDir '") + storeDir() + QLatin1Char('\''),
                      QStringLiteral("    MDCertificateAgreement accepted")};
    const auto setting = [&lines](const char *directive, const QString &value) {
        if (quotable(value))
            lines << QStringLiteral("    %1 '%2'").arg(QLatin1String(directive), value);
    };
    setting("MDCertificateAuthority", acme.directory);
    setting("MDContactEmail", acme.email);
    setting("MDCACertificateFile", acme.cacert);
    // The CA reaches the appliance on 80 and 443, which its router forwards
    // to the web ports.
    QStringList map;
    if (ports.http > 0 && ports.http != 80)
        map << QStringLiteral("http:") + QString::number(ports.http);
    if (ports.https > 0 && ports.https != 443)
        map << QStringLiteral("https:") + QString::number(ports.https);
    if (!map.isEmpty())
        lines << QStringLiteral("    MDPortMap ") + map.join(QLatin1Char(' '));
    for (const QString &name : names)
        lines << QStringLiteral("    MDomain ") + name;
    return lines << QStringLiteral("</IfModule>");
}

QString KMCertificate::storeDir()
{
    return orbaPath(QLatin1String(kAcmeStore));
}

QString KMCertificate::addressOnPort(const QByteArray &output, int port)
{
    static const QRegularExpression entry(QStringLiteral("^(\\S+):([0-9]+)\\s"));
    for (const QString &line : QString::fromUtf8(output).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = entry.match(line);
        if (match.hasMatch() && match.captured(2).toInt() == port)
            return match.captured(1) + QLatin1Char(':') + match.captured(2);
    }
    return QStringLiteral("*:") + QString::number(port);
}

QString KMCertificate::applianceAddress(int port)
{
    static QMutex lock;
    static QHash<int, QString> known;
    QMutexLocker locker(&lock);
    const auto found = known.constFind(port);
    if (found != known.cend())
        return *found;
    ProcessRequest request;
    request.program = QStringLiteral("apache2ctl");
    request.arguments = QStringList{QStringLiteral("-S")};
    request.finishMs = 20000;
    const ProcessRun run = runProcess(request);
    const QString address = addressOnPort(run.standardOutput + run.standardError, port);
    if (run.succeeded())
        known.insert(port, address);
    return address;
}

QJsonArray KMCertificate::status(const QList<KMRule> &rules)
{
    // Each name's first rule, or the first that names a certificate of its own.
    QStringList names;
    QHash<QString, const KMRule *> byName;
    for (const KMRule &rule : rules) {
        const QString key = rule.hostKey();
        if (rule.source.protocol != QLatin1String("https") || key.isEmpty())
            continue;
        if (!byName.contains(key))
            names << key;
        if (!byName.contains(key) || (ownSite(rule) && !ownSite(*byName.value(key))))
            byName.insert(key, &rule);
    }
    QJsonArray out;
    QJsonObject appliance; // read once, for the first name that has it
    for (const QString &key : qAsConst(names)) {
        const KMRule &rule = *byName.value(key);
        const Kind own = ownSite(rule) ? kind(rule.params) : Kind::Appliance;
        if (own == Kind::Appliance && appliance.isEmpty())
            appliance = described(applianceCertificate());
        QJsonObject entry = own == Kind::Acme  ? acmeState(key)
                            : own == Kind::Own ? described(pemOf(rule))
                                               : appliance;
        entry.insert(QStringLiteral("host"), rule.source.host);
        entry.insert(QStringLiteral("kind"), own == Kind::Acme  ? QStringLiteral("acme")
                                             : own == Kind::Own ? QStringLiteral("own")
                                                                : QStringLiteral("appliance"));
        out << entry;
    }
    return out;
}

QStringList KMCertificate::staged(const QList<KMRule> &rules)
{
    QStringList names;
    for (const KMRule &rule : rules) {
        const QString name = rule.hostKey();
        if (!ownSite(rule) || kind(rule.params) != Kind::Acme || names.contains(name))
            continue;
        if (stagingJob(name).value(QStringLiteral("finished")).toBool()
            && QFile::exists(storeDir() + QStringLiteral("/staging/") + name + QStringLiteral("/pubcert.pem")))
            names << name;
    }
    return names;
}

bool KMCertificate::anyStaged()
{
    return !QDir(storeDir() + QStringLiteral("/staging")).isEmpty(QDir::Dirs | QDir::NoDotAndDotDot);
}

bool KMCertificate::describe(const QByteArray &pem, QString &notAfter, QString &issuer)
{
    const Certificate certificate = readCertificate(pem);
    if (!certificate)
        return false;
    tm time{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &time) != 1)
        return false;
    notAfter = QDateTime(QDate(time.tm_year + 1900, time.tm_mon + 1, time.tm_mday),
                         QTime(time.tm_hour, time.tm_min, time.tm_sec), Qt::UTC)
                   .toString(Qt::ISODate);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_issuer_name(certificate.get()), 0, XN_FLAG_RFC2253) < 0)
        return false;
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    issuer = QString::fromUtf8(data, int(length));
    return true;
}
