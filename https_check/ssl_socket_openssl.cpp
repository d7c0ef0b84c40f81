// CSslSocket on OpenSSL 3.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "https_check/ssl_socket.h"
#include "platform/socket_error.h"

namespace hbt {
namespace {

// The largest plaintext one TLS record carries; Send() never takes more.
constexpr std::size_t kMaxRecordPlaintext = 16384;

// Writes through OpenSSL's socket BIO use write(), which raises SIGPIPE on a
// connection the peer has reset. Block it on this thread for the call and
// swallow a signal the call raised, so the failure comes back as EPIPE.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldMask_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeBlock() {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero{0, 0};
            sigtimedwait(&pipeSet_, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipeSet_;
    sigset_t oldMask_;
    bool wasPending_ = false;
};

// Suspends the handshake when the server asks for a client certificate: the
// check has none to give, and the caller reports this case by its own code.
int RefuseClientCertificate(SSL*, X509**, EVP_PKEY**) { return -1; }

bool IsIpLiteral(const std::string& host) {
    in6_addr v6;
    in_addr v4;
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

// The status values a failed TLS step reports, in the terms of the Windows
// TLS provider:
//   answer is not TLS (no record header, an HTTP reply)   SEC_E_INVALID_TOKEN      0x80090308
//   server alert: handshake failure, insufficient security SEC_E_ALGORITHM_MISMATCH 0x80090331
//   no shared cipher suite                                 SEC_E_ALGORITHM_MISMATCH 0x80090331
//   server alert: protocol version; no shared version      SEC_E_UNSUPPORTED_FUNCTION 0x80090302
//   bad record MAC, decryption failed                      SEC_E_DECRYPT_FAILURE    0x80090330
//   any other alert or malformed handshake message         SEC_E_ILLEGAL_MESSAGE    0x80090326
//   failure inside the library (memory, state)             SEC_E_INTERNAL_ERROR     0x80090304
// Not TLS statuses: 240 when the server closed the connection, the WinSock
// number of a socket failure, 590624 when a client certificate is asked for.
int TlsStatusForReason(int reason) {
    if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) return kSslPeerClosedDuringHandshake;
    if (reason >= SSL_AD_REASON_OFFSET) {
        switch (reason - SSL_AD_REASON_OFFSET) {
            case SSL_AD_HANDSHAKE_FAILURE:
            case SSL_AD_INSUFFICIENT_SECURITY: return kSecAlgorithmMismatch;
            case SSL_AD_PROTOCOL_VERSION: return kSecUnsupportedFunction;
            default: return kSecIllegalMessage;
        }
    }
    switch (reason) {
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_HTTPS_PROXY_REQUEST:
        case SSL_R_UNEXPECTED_RECORD:
        case SSL_R_RECORD_LENGTH_MISMATCH:
        case SSL_R_ENCRYPTED_LENGTH_TOO_LONG: return kSecInvalidToken;
        case SSL_R_NO_SHARED_CIPHER:
        case SSL_R_NO_CIPHERS_AVAILABLE:
        case SSL_R_WRONG_CIPHER_RETURNED: return kSecAlgorithmMismatch;
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_NO_PROTOCOLS_AVAILABLE: return kSecUnsupportedFunction;
        case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
        case SSL_R_DECRYPTION_FAILED:
        case ERR_R_MALLOC_FAILURE:
        case ERR_R_INTERNAL_ERROR: return kSecInternalError;
        default: return kSecIllegalMessage;
    }
}

// Turns the outcome of an SSL call into the error code of this class; errno
// must be the one the call left.
int ErrorCodeFor(SSL* ssl, int callResult, int savedErrno) {
    const int sslError = SSL_get_error(ssl, callResult);
    switch (sslError) {
        case SSL_ERROR_WANT_X509_LOOKUP: return kSslClientCertificateRequested;
        case SSL_ERROR_ZERO_RETURN: return kSslPeerClosedDuringHandshake;
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: return kWsaTimedOut;  // the socket's time limit ran out
        case SSL_ERROR_SYSCALL:
            return savedErrno != 0 ? WinSockErrorFromErrno(savedErrno) : kSslPeerClosedDuringHandshake;
        case SSL_ERROR_SSL: {
            const unsigned long queued = ERR_peek_last_error();
            return queued == 0 ? kSecInternalError : TlsStatusForReason(ERR_GET_REASON(queued));
        }
        default: return kSecInternalError;
    }
}

// True when a stapled OCSP answer, signed for this chain, says the
// certificate is revoked. An answer that does not verify is ignored.
bool StapledAnswerSaysRevoked(SSL* ssl, X509* leaf, STACK_OF(X509) * verifiedChain, X509_STORE* store) {
    const unsigned char* der = nullptr;
    const long length = SSL_get_tlsext_status_ocsp_resp(ssl, &der);
    if (der == nullptr || length <= 0) return false;
    OCSP_RESPONSE* response = d2i_OCSP_RESPONSE(nullptr, &der, length);
    if (response == nullptr) return false;
    bool revoked = false;
    OCSP_BASICRESP* basic = nullptr;
    if (OCSP_response_status(response) == OCSP_RESPONSE_STATUS_SUCCESSFUL &&
        (basic = OCSP_response_get1_basic(response)) != nullptr &&
        OCSP_basic_verify(basic, verifiedChain, store, 0) > 0) {
        X509* issuer = sk_X509_num(verifiedChain) > 1 ? sk_X509_value(verifiedChain, 1) : leaf;
        OCSP_CERTID* id = OCSP_cert_to_id(nullptr, leaf, issuer);
        int status = -1;
        if (id != nullptr &&
            OCSP_resp_find_status(basic, id, &status, nullptr, nullptr, nullptr, nullptr) == 1) {
            revoked = status == V_OCSP_CERTSTATUS_REVOKED;
        }
        OCSP_CERTID_free(id);
    }
    OCSP_BASICRESP_free(basic);
    OCSP_RESPONSE_free(response);
    return revoked;
}

}  // namespace

struct CSslSocket::Impl {
    // Guards fd and closed against a Shutdown() from another thread.
    mutable std::mutex stateMutex;
    int fd = -1;
    bool closed = false;
    // Held by the owning thread during every call into the TLS session, so
    // that a Shutdown() from elsewhere never touches a session in use.
    std::mutex ioMutex;
    SSL_CTX* context = nullptr;
    SSL* session = nullptr;
    std::atomic<int> lastError{0};
    uint16_t version = 0;
    uint16_t cipherSuite = 0;

    void DropSession() {
        SSL_free(session);
        session = nullptr;
    }
};

CSslSocket::CSslSocket() : impl_(std::make_unique<Impl>()) {}

CSslSocket::~CSslSocket() {
    Shutdown();
    impl_->DropSession();
    SSL_CTX_free(impl_->context);
    if (impl_->fd != -1) close(impl_->fd);
}

bool CSslSocket::Create(int addressFamily) {
    {
        std::lock_guard lock(impl_->stateMutex);
        if (impl_->closed || impl_->fd != -1) return false;
        impl_->fd = socket(addressFamily, SOCK_STREAM, IPPROTO_TCP);
        if (impl_->fd == -1) return false;
    }
    if (impl_->context != nullptr) return true;
    impl_->context = SSL_CTX_new(TLS_client_method());
    if (impl_->context == nullptr) return false;
    // The system trust store; SSL_CERT_FILE and SSL_CERT_DIR apply.
    SSL_CTX_set_default_verify_paths(impl_->context);
    // The certificate is judged by VerifyCertificate(), not by the handshake.
    SSL_CTX_set_verify(impl_->context, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_client_cert_cb(impl_->context, RefuseClientCertificate);
    return true;
}

int CSslSocket::Handle() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->fd;
}

bool CSslSocket::IsClosed() const {
    std::lock_guard lock(impl_->stateMutex);
    return impl_->closed;
}

void CSslSocket::SetIoTimeout(unsigned milliseconds) {
    const int fd = Handle();
    if (fd == -1) return;
    timeval limit{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>((milliseconds % 1000) * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

bool CSslSocket::SendRaw(const void* data, std::size_t length) {
    const int fd = Handle();
    if (IsClosed() || fd == -1) return false;
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            impl_->lastError = LastSocketError();
            return false;
        }
        bytes += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

long CSslSocket::ReceiveRaw(void* buffer, std::size_t length) {
    const int fd = Handle();
    if (IsClosed() || fd == -1) return -1;
    ssize_t got;
    do {
        got = recv(fd, buffer, length, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) impl_->lastError = LastSocketError();
    return static_cast<long>(got);
}

bool CSslSocket::Handshake(const std::string& host, int& errorCode) {
    std::lock_guard io(impl_->ioMutex);
    const int fd = Handle();
    if (impl_->context == nullptr || fd == -1 || IsClosed()) {
        errorCode = kSecInternalError;
        return false;
    }
    impl_->DropSession();
    impl_->session = SSL_new(impl_->context);
    if (impl_->session == nullptr || SSL_set_fd(impl_->session, fd) != 1) {
        impl_->DropSession();
        errorCode = kSecInternalError;
        return false;
    }
    // A server name in the hello is a DNS name; addresses are checked by the
    // certificate step only.
    if (!host.empty() && !IsIpLiteral(host)) SSL_set_tlsext_host_name(impl_->session, host.c_str());
    SSL_set_tlsext_status_type(impl_->session, TLSEXT_STATUSTYPE_ocsp);

    ERR_clear_error();
    SigpipeBlock noSigpipe;
    errno = 0;
    const int result = SSL_connect(impl_->session);
    const int savedErrno = errno;
    if (result == 1) {
        impl_->version = static_cast<uint16_t>(SSL_version(impl_->session));
        impl_->cipherSuite = SSL_CIPHER_get_protocol_id(SSL_get_current_cipher(impl_->session));
        return true;
    }
    errorCode = ErrorCodeFor(impl_->session, result, savedErrno);
    ERR_clear_error();
    impl_->DropSession();
    return false;
}

bool CSslSocket::VerifyCertificate(const std::string& host, std::string* reason) {
    if (host.empty()) return true;
    std::lock_guard io(impl_->ioMutex);
    auto fail = [reason](int verifyError) {
        if (reason != nullptr) *reason = X509_verify_cert_error_string(verifyError);
        return false;
    };
    if (impl_->session == nullptr) return fail(X509_V_ERR_UNSPECIFIED);
    X509* leaf = SSL_get0_peer_certificate(impl_->session);
    if (leaf == nullptr) return fail(X509_V_ERR_UNSPECIFIED);

    X509_STORE* store = SSL_CTX_get_cert_store(impl_->context);
    X509_STORE_CTX* verifier = X509_STORE_CTX_new();
    if (verifier == nullptr ||
        X509_STORE_CTX_init(verifier, store, leaf, SSL_get_peer_cert_chain(impl_->session)) != 1) {
        X509_STORE_CTX_free(verifier);
        return fail(X509_V_ERR_OUT_OF_MEM);
    }
    // The server-authentication purpose accepts the server-authentication
    // usage and both server-gated cryptography usages.
    X509_STORE_CTX_set_purpose(verifier, X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(verifier);
    if (IsIpLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    }
    int verifyError = X509_V_OK;
    if (X509_verify_cert(verifier) != 1) {
        verifyError = X509_STORE_CTX_get_error(verifier);
        if (verifyError == X509_V_OK) verifyError = X509_V_ERR_UNSPECIFIED;
    } else if (StapledAnswerSaysRevoked(impl_->session, leaf, X509_STORE_CTX_get0_chain(verifier), store)) {
        verifyError = X509_V_ERR_CERT_REVOKED;
    }
    X509_STORE_CTX_free(verifier);
    ERR_clear_error();
    return verifyError == X509_V_OK ? true : fail(verifyError);
}

long CSslSocket::Send(const void* data, std::size_t length) {
    if (length == 0) return 0;
    std::lock_guard io(impl_->ioMutex);
    if (impl_->session == nullptr || IsClosed()) {
        impl_->lastError = kSecInternalError;
        return -1;
    }
    const int chunk = static_cast<int>(std::min(length, kMaxRecordPlaintext));
    ERR_clear_error();
    SigpipeBlock noSigpipe;
    errno = 0;
    const int written = SSL_write(impl_->session, data, chunk);
    if (written > 0) return written;
    impl_->lastError = ErrorCodeFor(impl_->session, written, errno);
    ERR_clear_error();
    return -1;
}

long CSslSocket::Receive(void* buffer, std::size_t length) {
    std::lock_guard io(impl_->ioMutex);
    if (impl_->session == nullptr) {
        impl_->lastError = kSecInternalError;
        return -1;
    }
    const int wanted = static_cast<int>(std::min<std::size_t>(length, 1 << 30));
    ERR_clear_error();
    SigpipeBlock noSigpipe;
    errno = 0;
    const int got = SSL_read(impl_->session, buffer, wanted);
    const int savedErrno = errno;
    if (got > 0) return got;
    if (SSL_get_error(impl_->session, got) == SSL_ERROR_ZERO_RETURN) {
        impl_->lastError = kSecContextExpired;
        return 0;
    }
    impl_->lastError = ErrorCodeFor(impl_->session, got, savedErrno);
    ERR_clear_error();
    return -1;
}

bool CSslSocket::ReceiveExact(void* buffer, std::size_t length) {
    if (IsClosed() || Handle() == -1) return false;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t have = 0;
    bool lastWasEmpty = false;
    while (have < length) {
        const long got = Receive(bytes + have, length - have);
        if (got < 0) return false;
        if (got == 0) {
            if (lastWasEmpty) return false;
            lastWasEmpty = true;
            continue;
        }
        lastWasEmpty = false;
        have += static_cast<std::size_t>(got);
    }
    return true;
}

int CSslSocket::Shutdown() {
    // A read blocked on another thread holds the session; then only the
    // socket shutdown below runs, which ends that read.
    std::unique_lock io(impl_->ioMutex, std::try_to_lock);
    if (io.owns_lock() && impl_->session != nullptr && !IsClosed() && SSL_is_init_finished(impl_->session)) {
        SigpipeBlock noSigpipe;
        SSL_shutdown(impl_->session);
        ERR_clear_error();
    }
    std::lock_guard lock(impl_->stateMutex);
    if (impl_->closed) return -1;
    impl_->closed = true;
    if (impl_->fd == -1) return 0;
    // The descriptor itself is closed by the destructor, when no thread can
    // still be inside a call on it (a number closed early could be reused).
    return ::shutdown(impl_->fd, SHUT_RDWR) == 0 || errno == ENOTCONN ? 0 : -1;
}

int CSslSocket::LastError() const { return impl_->lastError; }

uint16_t CSslSocket::NegotiatedVersion() const { return impl_->version; }

uint16_t CSslSocket::NegotiatedCipherSuite() const { return impl_->cipherSuite; }

}  // namespace hbt
