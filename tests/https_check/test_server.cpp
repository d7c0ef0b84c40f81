#include "tests/https_check/test_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/socket_address.h"

namespace hbt::test {

TestServer::TestServer(Handler handler, int family) : handler_(std::move(handler)), family_(family) {
    // Server writes to clients that already left must fail, not end the test.
    signal(SIGPIPE, SIG_IGN);
    listenFd_ = socket(family, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_storage storage{};
    socklen_t length;
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    }
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(listenFd_, 16) != 0) {
        throw std::runtime_error("test server cannot listen");
    }
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&storage), &length);
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
    stopping_ = true;
    acceptThread_.join();
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        for (int fd : clientFds_) shutdown(fd, SHUT_RDWR);
    }
    changed_.notify_all();
    for (std::thread& handler : handlers_) handler.join();
    for (int fd : clientFds_) close(fd);
    close(listenFd_);
}

SocketAddressSlot TestServer::Address() const {
    if (family_ == AF_INET) return SocketAddressSlot::Ipv4({127, 0, 0, 1}, port_);
    std::array<uint8_t, 16> loopback{};
    loopback[15] = 1;
    return SocketAddressSlot::Ipv6(loopback, port_);
}

void TestServer::AcceptLoop() {
    while (!stopping_) {
        pollfd waiting{listenFd_, POLLIN, 0};
        if (poll(&waiting, 1, 20) <= 0) continue;
        const int fd = accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        clientFds_.push_back(fd);
        ++connections_;
        handlers_.emplace_back([this, fd] { handler_(fd, *this); });
        changed_.notify_all();
    }
}

void TestServer::RecordRequest(const std::string& head) {
    std::lock_guard lock(mutex_);
    requests_.push_back(head);
}

std::vector<std::string> TestServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void TestServer::Release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    changed_.notify_all();
}

void TestServer::WaitForRelease() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return released_; });
}

bool TestServer::WaitForConnections(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return connections_ >= n; });
}

namespace {

int ServeOcsp(SSL* ssl, void* arg) {
    const auto* answer = static_cast<const std::vector<unsigned char>*>(arg);
    auto* copy = static_cast<unsigned char*>(OPENSSL_malloc(answer->size()));
    std::memcpy(copy, answer->data(), answer->size());
    SSL_set_tlsext_status_ocsp_resp(ssl, copy, static_cast<long>(answer->size()));
    return SSL_TLSEXT_ERR_OK;
}

std::string ReadTlsHead(SSL* ssl) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && SSL_read(ssl, &c, 1) == 1) head += c;
    return head;
}

void ServeTls(int fd, TestServer& server, SSL_CTX* context, const std::string& response) {
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        server.RecordRequest(ReadTlsHead(ssl));
        SSL_write(ssl, response.data(), static_cast<int>(response.size()));
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    shutdown(fd, SHUT_WR);
}

}  // namespace

SslCtxPtr MakeServerContext(const Credential& credential, const ServerTlsOptions& options) {
    SslCtxPtr context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    SSL_CTX_use_certificate(context.get(), credential.cert.get());
    SSL_CTX_use_PrivateKey(context.get(), credential.key.get());
    if (options.maxVersion != 0) SSL_CTX_set_max_proto_version(context.get(), options.maxVersion);
    if (!options.cipherList.empty()) SSL_CTX_set_cipher_list(context.get(), options.cipherList.c_str());
    if (options.requestClientCertificate) {
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (!options.ocspAnswer.empty()) {
        auto* answer = new std::vector<unsigned char>(options.ocspAnswer);
        SSL_CTX_set_tlsext_status_cb(context.get(), ServeOcsp);
        SSL_CTX_set_tlsext_status_arg(context.get(), answer);
        // The answer lives as long as the context.
        return SslCtxPtr(context.get(), [context, answer](SSL_CTX*) mutable {
            context.reset();
            delete answer;
        });
    }
    return context;
}

std::string ReadPlainHead(int fd) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) head += c;
    return head;
}

TestServer::Handler HttpsHandler(SslCtxPtr context, std::string response) {
    return [context, response](int fd, TestServer& server) { ServeTls(fd, server, context.get(), response); };
}

TestServer::Handler PlainHttpHandler(std::string response) {
    return [response](int fd, TestServer&) {
        char buffer[512];
        recv(fd, buffer, sizeof(buffer), 0);  // the client hello, taken for a request
        send(fd, response.data(), response.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
    };
}

TestServer::Handler RecordingHttpHandler(std::string response) {
    return [response](int fd, TestServer& server) {
        server.RecordRequest(ReadPlainHead(fd));
        send(fd, response.data(), response.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
    };
}

TestServer::Handler CloseAfterClientHelloHandler() {
    return [](int fd, TestServer&) {
        unsigned char header[5];
        if (recv(fd, header, 5, MSG_WAITALL) != 5) return;
        std::vector<unsigned char> body((header[3] << 8) | header[4]);
        recv(fd, body.data(), body.size(), MSG_WAITALL);
        shutdown(fd, SHUT_WR);
    };
}

TestServer::Handler SilentHandler() {
    return [](int fd, TestServer& server) {
        server.WaitForRelease();
        shutdown(fd, SHUT_WR);
    };
}

TestServer::Handler ProxyHandler(std::string reply, SslCtxPtr context, std::string response) {
    return [reply, context, response](int fd, TestServer& server) {
        server.RecordRequest(ReadPlainHead(fd));
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        if (context) {
            ServeTls(fd, server, context.get(), response);
        } else {
            shutdown(fd, SHUT_WR);
        }
    };
}

std::string HttpReply(int status, const std::string& locationLine) {
    std::string reply = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
    if (!locationLine.empty()) reply += locationLine + "\r\n";
    return reply + "Content-Length: 0\r\n\r\n";
}

std::string HttpOk(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace hbt::test
