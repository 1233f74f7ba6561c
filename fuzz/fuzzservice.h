#ifndef FUZZSERVICE_H
#define FUZZSERVICE_H

#include <QJsonObject>
#include <QMap>
#include <QString>

#include <cstddef>
#include <cstdint>

// The reverse-proxy service inside a fuzzer process: a temporary appliance
// root (ORBA_ROOT) with the desktop site's Define files (http 80, https 443),
// an SSL snippet with a self-signed certificate, and the test stand-ins for
// "netstat", "systemctl" and "apache2ctl" first on PATH; the application object with a started rule
// manager, reached through its router exactly as a connection would.
class FuzzService
{
public:
    // Sets everything up on the first call (from LLVMFuzzerInitialize).
    static FuzzService &instance();

    // Runs one command with {"cmd": cmd, "params": params}; returns the code
    // of the call's journal and fills answer.
    int call(const QString &cmd, const QJsonObject &params, QJsonObject *answer = nullptr);
    // The rule records by name, as reverseproxy_alload lists them.
    QJsonObject rules();
    // Removes rules, oldest first, until at most keep are left.
    void prune(int keep);

    QString root() const;
    // Every generated file (http.conf, https.conf, virtualhost/*.conf) by path.
    QMap<QString, QByteArray> generatedFiles() const;

private:
    FuzzService();
};

// The rule parameter object of a fuzz input: the input itself when it is a
// JSON object, otherwise a rule built field by field from its bytes, mixing
// plausible values, values of the wrong type and hostile characters.
QJsonObject fuzzRule(const uint8_t *data, size_t size);

// Aborts with the reason when the generated files break a structural rule
// (balanced sections, no control characters, one ServerName at most, ...).
void checkGeneratedFiles(const QMap<QString, QByteArray> &files);

#endif // FUZZSERVICE_H
