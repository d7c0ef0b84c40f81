#pragma once
// A test certificate authority made at run time, and server certificates
// signed by it (or by themselves).
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace hbt::test {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using CertPtr = std::unique_ptr<X509, CertDeleter>;

struct Credential {
    KeyPtr key;
    CertPtr cert;
};

struct CertificateRequest {
    std::vector<std::string> names;  // DNS names, or IP addresses
    long notBeforeOffset = -3600;    // seconds from now
    long notAfterOffset = 86400;
    bool selfSigned = false;
    bool serverAuthUsage = true;  // false: client authentication only
};

class TestPki {
public:
    TestPki();
    ~TestPki();

    Credential Issue(const CertificateRequest& request) const;
    const Credential& Authority() const { return authority_; }
    // A PEM file holding the authority's certificate, made once.
    const std::string& AuthorityFile() const { return authorityFile_; }
    // A DER OCSP answer signed by the authority with the given status
    // (V_OCSP_CERTSTATUS_GOOD or V_OCSP_CERTSTATUS_REVOKED) for cert.
    std::vector<unsigned char> OcspAnswer(X509* cert, int status) const;

private:
    Credential authority_;
    std::string folder_;
    std::string authorityFile_;
};

// One authority per test process, trusted through SSL_CERT_FILE.
TestPki& SharedPki();

}  // namespace hbt::test
