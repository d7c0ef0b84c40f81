#include "tests/https_check/test_pki.h"

#include <arpa/inet.h>
#include <openssl/ec.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace hbt::test {
namespace {

KeyPtr NewKey() {
    return KeyPtr(EVP_EC_gen("P-256"));
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) throw std::runtime_error("bad extension " + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

bool IsAddress(const std::string& name) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 || inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

CertPtr NewCertificate(EVP_PKEY* key, const std::string& commonName, long notBefore, long notAfter) {
    static long serial = 1;
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    return cert;
}

}  // namespace

TestPki::TestPki() {
    authority_.key = NewKey();
    authority_.cert = NewCertificate(authority_.key.get(), "Harbinet Test Authority", -86400, 10 * 86400);
    X509* ca = authority_.cert.get();
    X509_set_issuer_name(ca, X509_get_subject_name(ca));
    AddExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    AddExtension(ca, ca, NID_subject_key_identifier, "hash");
    X509_sign(ca, authority_.key.get(), EVP_sha256());

    char folder[] = "/tmp/hbt_pki_XXXXXX";
    if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
    folder_ = folder;
    authorityFile_ = folder_ + "/ca.pem";
    FILE* file = std::fopen(authorityFile_.c_str(), "w");
    PEM_write_X509(file, ca);
    std::fclose(file);
}

TestPki::~TestPki() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

Credential TestPki::Issue(const CertificateRequest& request) const {
    Credential result;
    result.key = NewKey();
    const std::string commonName = request.names.empty() ? "no name" : request.names.front();
    result.cert = NewCertificate(result.key.get(), commonName, request.notBeforeOffset, request.notAfterOffset);
    X509* cert = result.cert.get();
    X509* issuer = request.selfSigned ? cert : authority_.cert.get();
    X509_set_issuer_name(cert, X509_get_subject_name(issuer));
    std::string alternativeNames;
    for (const std::string& name : request.names) {
        if (!alternativeNames.empty()) alternativeNames += ",";
        alternativeNames += (IsAddress(name) ? "IP:" : "DNS:") + name;
    }
    if (!alternativeNames.empty()) AddExtension(cert, issuer, NID_subject_alt_name, alternativeNames);
    AddExtension(cert, issuer, NID_ext_key_usage, request.serverAuthUsage ? "serverAuth" : "clientAuth");
    if (!request.selfSigned) AddExtension(cert, issuer, NID_authority_key_identifier, "keyid:always");
    X509_sign(cert, request.selfSigned ? result.key.get() : authority_.key.get(), EVP_sha256());
    return result;
}

std::vector<unsigned char> TestPki::OcspAnswer(X509* cert, int status) const {
    OCSP_BASICRESP* basic = OCSP_BASICRESP_new();
    OCSP_CERTID* id = OCSP_cert_to_id(nullptr, cert, authority_.cert.get());
    ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
    ASN1_TIME* revokedAt = X509_gmtime_adj(nullptr, -600);
    ASN1_TIME* next = X509_gmtime_adj(nullptr, 3600);
    OCSP_basic_add1_status(basic, id, status, OCSP_REVOKED_STATUS_KEYCOMPROMISE,
                           status == V_OCSP_CERTSTATUS_REVOKED ? revokedAt : nullptr, now, next);
    OCSP_basic_sign(basic, authority_.cert.get(), authority_.key.get(), EVP_sha256(), nullptr, 0);
    OCSP_RESPONSE* response = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
    unsigned char* der = nullptr;
    const int length = i2d_OCSP_RESPONSE(response, &der);
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_free(der);
    OCSP_RESPONSE_free(response);
    ASN1_TIME_free(now);
    ASN1_TIME_free(revokedAt);
    ASN1_TIME_free(next);
    OCSP_CERTID_free(id);
    OCSP_BASICRESP_free(basic);
    return bytes;
}

TestPki& SharedPki() {
    static TestPki pki;
    static const bool trusted = [] {
        setenv("SSL_CERT_FILE", pki.AuthorityFile().c_str(), 1);
        setenv("SSL_CERT_DIR", "/nonexistent", 1);
        return true;
    }();
    (void)trusted;
    return pki;
}

}  // namespace hbt::test
