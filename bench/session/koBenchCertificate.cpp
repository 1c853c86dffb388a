#include "koBenchCertificate.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace {

template <typename T, void (*Free)(T*)>
struct Freer
{
    void operator()(T* object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using File = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

void check(bool ok, const char* step)
{
    if (!ok)
        throw std::runtime_error(std::string("cannot make the bench's TLS certificate (") + step
                                 + "): " + ERR_error_string(ERR_get_error(), nullptr));
}

Certificate selfSigned(EVP_PKEY* key)
{
    Certificate certificate(X509_new());
    check(certificate != nullptr, "X509_new");
    X509* x = certificate.get();
    X509_NAME* name = X509_get_subject_name(x);
    check(X509_set_version(x, 2) && ASN1_INTEGER_set(X509_get_serialNumber(x), 1)
              && X509_gmtime_adj(X509_getm_notBefore(x), -3600) && X509_gmtime_adj(X509_getm_notAfter(x), 86400)
              && X509_set_pubkey(x, key)
              && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                            reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0)
              && X509_set_issuer_name(x, name) && X509_sign(x, key, EVP_sha256()) > 0,
          "certificate fields");
    return certificate;
}

File openForWriting(const std::string& path)
{
    File file(BIO_new_file(path.c_str(), "w"));
    check(file != nullptr, "opening a PEM file");
    return file;
}

} // namespace

void koBenchCertificate::write(const std::string& keyFile, const std::string& certificateFile)
{
    const Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EVP_EC_gen");
    const Certificate certificate = selfSigned(key.get());
    check(PEM_write_bio_PrivateKey(openForWriting(keyFile).get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
          "writing the key");
    check(PEM_write_bio_X509(openForWriting(certificateFile).get(), certificate.get()), "writing the certificate");
}
