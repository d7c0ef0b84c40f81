#include "tests/tls_inspect/openssl_hellos.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>

namespace hbt::test {
namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "OpenSSL failed: %s\n", what);
    ERR_print_errors_fp(stderr);
    std::abort();
}

struct Deleter {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
    void operator()(SSL* p) const { SSL_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Deleter>;

// One self-signed P-256 certificate, made once per test binary.
struct ServerIdentity {
    Owned<EVP_PKEY> key;
    Owned<X509> certificate;
};

const ServerIdentity& Identity() {
    static const ServerIdentity identity = [] {
        ServerIdentity id;
        id.key.reset(EVP_EC_gen("P-256"));
        if (!id.key) Fail("key generation");
        id.certificate.reset(X509_new());
        X509* cert = id.certificate.get();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_set_pubkey(cert, id.key.get());
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test.example"),
                                   -1, -1, 0);
        X509_set_issuer_name(cert, name);
        if (X509_sign(cert, id.key.get(), EVP_sha256()) == 0) Fail("certificate signing");
        return id;
    }();
    return identity;
}

Owned<SSL_CTX> MakeContext(const SSL_METHOD* method, const HelloOptions& options) {
    Owned<SSL_CTX> ctx(SSL_CTX_new(method));
    if (!ctx) Fail("context");
    // TLS 1.0 needs SHA-1 signatures, which the default security level refuses.
    SSL_CTX_set_security_level(ctx.get(), 0);
    if (options.minVersion) SSL_CTX_set_min_proto_version(ctx.get(), options.minVersion);
    if (options.maxVersion) SSL_CTX_set_max_proto_version(ctx.get(), options.maxVersion);
    return ctx;
}

Bytes Drain(BIO* bio) {
    Bytes out;
    uint8_t buffer[4096];
    int n;
    while ((n = BIO_read(bio, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
    return out;
}

void Feed(BIO* bio, const Bytes& bytes) {
    if (BIO_write(bio, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) Fail("feed");
}

}  // namespace

CapturedHellos CaptureHellos(const HelloOptions& options) {
    const ServerIdentity& identity = Identity();
    Owned<SSL_CTX> clientCtx = MakeContext(TLS_client_method(), options);
    Owned<SSL_CTX> serverCtx = MakeContext(TLS_server_method(), options);
    if (!options.cipherList.empty() && SSL_CTX_set_cipher_list(clientCtx.get(), options.cipherList.c_str()) != 1) {
        Fail("cipher list");
    }
    if (SSL_CTX_use_certificate(serverCtx.get(), identity.certificate.get()) != 1 ||
        SSL_CTX_use_PrivateKey(serverCtx.get(), identity.key.get()) != 1) {
        Fail("server identity");
    }

    Owned<SSL> client(SSL_new(clientCtx.get()));
    Owned<SSL> server(SSL_new(serverCtx.get()));
    BIO* clientIn = BIO_new(BIO_s_mem());
    BIO* clientOut = BIO_new(BIO_s_mem());
    BIO* serverIn = BIO_new(BIO_s_mem());
    BIO* serverOut = BIO_new(BIO_s_mem());
    SSL_set_bio(client.get(), clientIn, clientOut);
    SSL_set_bio(server.get(), serverIn, serverOut);
    if (!options.serverName.empty()) SSL_set_tlsext_host_name(client.get(), options.serverName.c_str());

    CapturedHellos hellos;
    const int connected = SSL_connect(client.get());
    if (connected > 0 || SSL_get_error(client.get(), connected) != SSL_ERROR_WANT_READ) Fail("client hello");
    hellos.clientFlight = Drain(clientOut);
    Feed(serverIn, hellos.clientFlight);
    const int accepted = SSL_accept(server.get());
    if (accepted > 0 || SSL_get_error(server.get(), accepted) != SSL_ERROR_WANT_READ) Fail("server answer");
    hellos.serverFlight = Drain(serverOut);
    hellos.version = static_cast<uint16_t>(SSL_version(server.get()));
    // Mid-handshake the choice is still the pending suite (TLS 1.2) or already current (TLS 1.3).
    const SSL_CIPHER* chosen = SSL_get_pending_cipher(server.get());
    if (!chosen) chosen = SSL_get_current_cipher(server.get());
    if (!chosen) Fail("no chosen suite");
    hellos.cipherSuite = SSL_CIPHER_get_protocol_id(chosen);
    if (hellos.clientFlight.empty() || hellos.serverFlight.empty()) Fail("no hello bytes");
    return hellos;
}

Bytes FirstRecord(const Bytes& flight) {
    if (flight.size() < 5) return flight;
    const std::size_t length = 5u + (flight[3] << 8 | flight[4]);
    return Bytes(flight.begin(), flight.begin() + std::min(length, flight.size()));
}

}  // namespace hbt::test
