#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// A certificate and its private key (PEM), as an owner brings them.
struct TestCertificate
{
    QByteArray pem;
    QByteArray key;
};

// A self-signed certificate (EC P-256) whose common name is the first of
// names and whose subjectAltName lists them all, valid from fromDays to
// toDays (relative to now; negative is past).
TestCertificate makeTestCertificate(const QStringList &names, int fromDays = -1, int toDays = 30);

#endif // TESTCERTIFICATES_H
