#include "testcertificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

QByteArray drained(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    QByteArray bytes(data, int(length));
    BIO_free(bio);
    return bytes;
}

} // namespace

TestCertificate makeTestCertificate(const QStringList &names, int fromDays, int toDays)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), long(fromDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate), long(toDays) * 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME *name = X509_get_subject_name(certificate);
    const QByteArray commonName = names.value(0).toUtf8();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(commonName.constData()), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    const QByteArray altNames = QStringLiteral("DNS:").append(names.join(QStringLiteral(",DNS:"))).toUtf8();
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, altNames.constData());
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    X509_sign(certificate, key, EVP_sha256());
    TestCertificate out;
    BIO *pem = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(pem, certificate);
    out.pem = drained(pem);
    BIO *privateKey = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(privateKey, key, nullptr, nullptr, 0, nullptr, nullptr);
    out.key = drained(privateKey);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return out;
}
