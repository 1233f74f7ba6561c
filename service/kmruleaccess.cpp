#include "kmruleaccess.h"

#include "kmfiletransaction.h"
#include "kmpaths.h"
#include "zx2error.h"
#include "zx2journals.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>

#include <crypt.h>
#include <grp.h>
#include <unistd.h>

#include <cstring>

namespace {

const int kMaxEntries = 256;     // addresses, and users, per rule
const int kMaxNameLength = 64;   // characters
const int kMaxPasswordBytes = 72; // bcrypt reads no further
const int kCost = 10;
const int kAddressesPerLine = 32; // Apache reads configuration lines of at most 8 KiB
// Apache's workers read the user files; the appliance runs them in this group.
const char kApacheGroup[] = "www-data";
const char kUsersDir[] = "/users";

// bcrypt as Apache and the system's crypt library both read it. Below cost
// 10 it is weaker than the service's own hashes; above 14 Apache would spend
// seconds on every request.
const QRegularExpression kBcrypt(QStringLiteral("^\\$2[by]\\$(1[0-4])\\$[./A-Za-z0-9]{53}$"));
const QRegularExpression kIpv4(QStringLiteral("^[0-9]{1,3}(\\.[0-9]{1,3}){3}$"));
const QRegularExpression kUserFileName(QStringLiteral("^[0-9a-f]{32}\\.users$"));

const QString kAllow = QStringLiteral("allow");
const QString kUsers = QStringLiteral("users");
const QString kSatisfy = QStringLiteral("satisfy");
const QString kName = QStringLiteral("name");
const QString kPassword = QStringLiteral("password");
const QString kHash = QStringLiteral("hash");

QJsonObject accessOf(const QJsonObject &params)
{
    return params.value(QStringLiteral("access")).toObject();
}

// An address, or an address and a prefix length, in the form Require ip
// reads; the normalised text, or empty when it is none.
QString range(const QString &text)
{
    const int slash = text.indexOf(QLatin1Char('/'));
    const QString address = slash < 0 ? text : text.left(slash);
    QHostAddress parsed;
    const bool ipv6 = address.contains(QLatin1Char(':'));
    if ((!ipv6 && !kIpv4.match(address).hasMatch()) || !parsed.setAddress(address) || !parsed.scopeId().isEmpty())
        return QString();
    if (slash < 0)
        return parsed.toString();
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,3}$"));
    const QString prefix = text.mid(slash + 1);
    const int length = prefix.toInt();
    if (!digits.match(prefix).hasMatch() || length > (ipv6 ? 128 : 32))
        return QString();
    return parsed.toString() + QLatin1Char('/') + QString::number(length);
}

bool validAllow(const QJsonValue &allow)
{
    if (allow.isUndefined() || allow.isNull())
        return true;
    const QJsonArray entries = allow.toArray();
    if (!allow.isArray() || entries.size() > kMaxEntries)
        return false;
    for (const QJsonValue &entry : entries) {
        if (!entry.isString() || range(entry.toString().trimmed()).isEmpty())
            return false;
    }
    return true;
}

// A name the user file and Basic authentication carry unchanged: no ":"
// (the separator of both), no control character; authn_file skips a line
// that begins with "#".
bool validName(const QJsonValue &value)
{
    const QString name = value.toString();
    const int length = name.toUcs4().size();
    if (!value.isString() || length < 1 || length > kMaxNameLength || name.startsWith(QLatin1Char('#')))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char(':') || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

bool validUser(const QJsonObject &user)
{
    if (!validName(user.value(kName)))
        return false;
    const QJsonValue password = user.value(kPassword);
    if (!password.isUndefined()) {
        const QByteArray bytes = password.toString().toUtf8();
        return password.isString() && !bytes.isEmpty() && bytes.size() <= kMaxPasswordBytes && !bytes.contains('\0');
    }
    return kBcrypt.match(user.value(kHash).toString()).hasMatch();
}

bool validUsers(const QJsonValue &users)
{
    if (users.isUndefined() || users.isNull())
        return true;
    const QJsonArray entries = users.toArray();
    if (!users.isArray() || entries.size() > kMaxEntries)
        return false;
    QSet<QString> names;
    for (const QJsonValue &entry : entries) {
        const QJsonObject user = entry.toObject();
        if (!entry.isObject() || !validUser(user) || names.contains(user.value(kName).toString()))
            return false;
        names.insert(user.value(kName).toString());
    }
    return true;
}

bool allOf(const QJsonObject &access)
{
    return access.value(kSatisfy).toString() == QLatin1String("all");
}

// The bcrypt hash of password at the service's cost; empty on failure.
QString bcrypt(const QString &password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$2y$", kCost, nullptr, 0, setting, sizeof setting))
        return QString();
    crypt_data data;
    std::memset(&data, 0, sizeof data);
    const QByteArray phrase = password.toUtf8();
    const char *hash = crypt_rn(phrase.constData(), setting, &data, sizeof data);
    const QString result = hash ? QString::fromLatin1(hash) : QString();
    std::memset(&data, 0, sizeof data); // holds the phrase
    return kBcrypt.match(result).hasMatch() ? result : QString();
}

// The text of the rule's user file: "name:hash" lines. Apache's own bcrypt
// reads "$2y$", which is the same algorithm as "$2b$".
QByteArray userFileText(const QJsonObject &access)
{
    QByteArray text;
    for (const QJsonValue &entry : access.value(kUsers).toArray()) {
        const QJsonObject user = entry.toObject();
        QString hash = user.value(kHash).toString();
        hash.replace(2, 1, QLatin1Char('y'));
        text += user.value(kName).toString().toUtf8() + ':' + hash.toLatin1() + '\n';
    }
    return text;
}

// Named by content: the same users give the same file, whatever number the
// rule has yet.
QString userFileName(const QByteArray &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex().left(32))
           + QStringLiteral(".users");
}

QString usersPath()
{
    return orbaPath(QLatin1String(kReverseproxyDir)) + QLatin1String(kUsersDir);
}

// The realm as Apache's AuthName and the WWW-Authenticate header carry it:
// no quote, backslash or expression character.
QString realmText(const QString &name)
{
    static const QRegularExpression special(QStringLiteral("[\"\\\\%$]"));
    const QString realm = QString(name).remove(special).trimmed();
    return realm.isEmpty() ? QStringLiteral("reverseproxy") : realm;
}

// The group that owns the user files when this process may give them one.
int apacheGroup()
{
    const group *entry = ::geteuid() == 0 ? ::getgrnam(kApacheGroup) : nullptr;
    return entry ? int(entry->gr_gid) : -1;
}

bool usableDirectory(const QString &path, int gid)
{
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() ? !info.isDir() : !QDir().mkpath(path)))
        return false;
    if (gid != -1 && ::chown(QFile::encodeName(path).constData(), uid_t(-1), gid_t(gid)) != 0)
        return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                           | QFileDevice::ReadGroup | QFileDevice::ExeGroup);
}

} // namespace

QString KMRuleAccess::unsafeField(const QJsonValue &access)
{
    if (access.isUndefined() || access.isNull())
        return QString();
    const QJsonObject object = access.toObject();
    if (!access.isObject())
        return QStringLiteral("access");
    if (!validAllow(object.value(kAllow)))
        return QStringLiteral("access.allow");
    if (!validUsers(object.value(kUsers)))
        return QStringLiteral("access.users");
    const QJsonValue satisfy = object.value(kSatisfy);
    if (!satisfy.isUndefined() && !satisfy.isNull() && satisfy.toString() != QLatin1String("any")
        && satisfy.toString() != QLatin1String("all"))
        return QStringLiteral("access.satisfy");
    return QString();
}

bool KMRuleAccess::seal(ZX2Journals &journals, QJsonObject &params)
{
    QJsonObject access = accessOf(params);
    if (access.value(kUsers).toArray().isEmpty())
        return true;
    QJsonArray users;
    for (const QJsonValue &entry : access.value(kUsers).toArray()) {
        const QJsonObject user = entry.toObject();
        const bool given = user.contains(kPassword);
        const QString hash = given ? bcrypt(user.value(kPassword).toString()) : user.value(kHash).toString();
        if (hash.isEmpty()) {
            journals.setErr(ZX2Error::ERR_FAILED, QStringLiteral("密码加密失败(access.users)"));
            return false;
        }
        users.append(QJsonObject{{kName, user.value(kName)}, {kHash, hash}});
    }
    access.insert(kUsers, users);
    params.insert(QStringLiteral("access"), access);
    return true;
}

bool KMRuleAccess::restricts(const QJsonObject &params)
{
    const QJsonObject access = accessOf(params);
    return !access.value(kAllow).toArray().isEmpty() || !access.value(kUsers).toArray().isEmpty();
}

QStringList KMRuleAccess::lines(const QJsonObject &params, const QString &pattern, const QString &realm)
{
    const QJsonObject access = accessOf(params);
    const QJsonArray allow = access.value(kAllow).toArray();
    const bool users = !access.value(kUsers).toArray().isEmpty();
    if (allow.isEmpty() && !users)
        return {};
    QStringList lines{QStringLiteral("<LocationMatch '") + pattern + QStringLiteral("'>")};
    if (users) {
        // The credentials are the appliance's, not the back end's.
        lines << QStringLiteral("    AuthType Basic")
              << QStringLiteral("    AuthName \"") + realmText(realm) + QLatin1Char('"')
              << QStringLiteral("    AuthBasicProvider file")
              << QStringLiteral("    AuthUserFile \"") + usersPath() + QLatin1Char('/')
                     + userFileName(userFileText(access)) + QLatin1Char('"')
              << QStringLiteral("    RequestHeader unset Authorization \"expr=-n %{REMOTE_USER}\"");
    }
    // An address outside the list is refused (403) before credentials are
    // asked for when both must hold; either will do otherwise (401).
    const bool both = users && !allow.isEmpty() && allOf(access);
    const QString indent = both ? QStringLiteral("            ") : QStringLiteral("        ");
    if (both)
        lines << QStringLiteral("    <RequireAll>") << QStringLiteral("        <RequireAny>");
    else
        lines << QStringLiteral("    <RequireAny>");
    for (int first = 0; first < allow.size(); first += kAddressesPerLine) {
        QStringList ranges;
        for (int i = first; i < allow.size() && i < first + kAddressesPerLine; ++i)
            ranges << range(allow.at(i).toString().trimmed());
        lines << indent + QStringLiteral("Require ip ") + ranges.join(QLatin1Char(' '));
    }
    if (both)
        lines << QStringLiteral("        </RequireAny>") << QStringLiteral("        Require valid-user")
              << QStringLiteral("    </RequireAll>");
    else if (users)
        lines << QStringLiteral("        Require valid-user") << QStringLiteral("    </RequireAny>");
    else
        lines << QStringLiteral("    </RequireAny>");
    lines << QStringLiteral("</LocationMatch>");
    return lines;
}

void KMRuleAccess::addUserFile(const QJsonObject &params, QMap<QString, QByteArray> &files)
{
    const QJsonObject access = accessOf(params);
    if (access.value(kUsers).toArray().isEmpty())
        return;
    const QByteArray text = userFileText(access);
    files.insert(userFileName(text), text);
}

bool KMRuleAccess::stage(ZX2Journals &journals, const QMap<QString, QByteArray> &files,
                         KMFileTransaction &transaction)
{
    const QString path = usersPath();
    const QFileInfo info(path);
    if (files.isEmpty() && !info.exists() && !info.isSymLink())
        return true;
    const int gid = apacheGroup();
    if (!usableDirectory(path, gid)) {
        journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("用户文件保存失败：") + path);
        return false;
    }
    const QDir directory(path);
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (!transaction.stage(directory.absoluteFilePath(file.key()), file.value(), gid)) {
            journals.setErr(ZX2Error::ERR_SAVE, QStringLiteral("用户文件保存失败：") + directory.absoluteFilePath(file.key()));
            return false;
        }
    }
    // Other files are not ours.
    for (const QString &name : directory.entryList(QDir::Files)) {
        if (kUserFileName.match(name).hasMatch() && !files.contains(name))
            transaction.stageRemoval(directory.absoluteFilePath(name));
    }
    return true;
}

void KMRuleAccess::removeStrayFiles()
{
    static const QRegularExpression stray(QStringLiteral("^[0-9a-f]{32}\\.users\\.(old[0-9]+|[A-Za-z0-9]{6})$"));
    const QDir directory(usersPath());
    for (const QString &name : directory.entryList(QDir::Files | QDir::Hidden)) {
        if (stray.match(name).hasMatch())
            QFile::remove(directory.absoluteFilePath(name));
    }
}
