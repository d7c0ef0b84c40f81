#pragma once
// Loopback servers for the check tests: each accepted connection runs a
// handler on its own thread; stopping the server shuts every connection down.
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_protocol/socket_address_slot.h"
#include "tests/https_check/test_pki.h"

namespace hbt::test {

class TestServer {
public:
    using Handler = std::function<void(int fd, TestServer& server)>;

    explicit TestServer(Handler handler, int family = AF_INET);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t Port() const { return port_; }
    // 127.0.0.1 or ::1 with the server's port.
    SocketAddressSlot Address() const;

    // What handlers saw, for the test to look at.
    void RecordRequest(const std::string& head);
    std::vector<std::string> Requests() const;
    int Connections() const { return connections_; }

    // Silent handlers hold their connection until Release() or the end.
    void Release();
    void WaitForRelease();
    // Blocks until at least n connections were accepted (or 5 s passed).
    bool WaitForConnections(int n);

private:
    void AcceptLoop();

    Handler handler_;
    int family_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    std::vector<int> clientFds_;
    std::vector<std::thread> handlers_;
    std::vector<std::string> requests_;
};

using SslCtxPtr = std::shared_ptr<SSL_CTX>;

struct ServerTlsOptions {
    bool requestClientCertificate = false;
    std::vector<unsigned char> ocspAnswer = {};  // stapled when not empty
    int maxVersion = 0;                          // e.g. TLS1_2_VERSION; 0: the newest
    std::string cipherList = {};                 // TLS 1.2 suites, OpenSSL's names; empty: the default
};
SslCtxPtr MakeServerContext(const Credential& credential, const ServerTlsOptions& options = {});

// Reads a request head (up to the empty line) from a plain socket.
std::string ReadPlainHead(int fd);

// Handlers.
TestServer::Handler HttpsHandler(SslCtxPtr context, std::string response);
TestServer::Handler PlainHttpHandler(std::string response);
// Reads the whole request head, records it, answers and closes.
TestServer::Handler RecordingHttpHandler(std::string response);
TestServer::Handler CloseAfterClientHelloHandler();
TestServer::Handler SilentHandler();
// Reads the CONNECT head, records it and answers with reply; with a TLS
// context it then serves the tunnel like HttpsHandler.
TestServer::Handler ProxyHandler(std::string reply, SslCtxPtr context = nullptr, std::string response = "");

// A reply with status and optional Location line (header name as given).
std::string HttpReply(int status, const std::string& locationLine = "");
// "200 OK" with the body and its Content-Length.
std::string HttpOk(const std::string& body);

}  // namespace hbt::test
