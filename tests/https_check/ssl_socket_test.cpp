#include "https_check/ssl_socket.h"

#include <gtest/gtest.h>
#include <openssl/ocsp.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "platform/socket_address.h"
#include "tests/https_check/test_server.h"

namespace hbt {
namespace {

using test::CertificateRequest;
using test::HttpReply;
using test::MakeServerContext;
using test::SharedPki;
using test::TestServer;

constexpr const char* kHost = "site.example";

std::unique_ptr<CSslSocket> ConnectTo(const TestServer& server) {
    auto socket = std::make_unique<CSslSocket>();
    const auto native = ToNative(server.Address());
    EXPECT_TRUE(socket->Create(native->get()->sa_family));
    EXPECT_EQ(connect(socket->Handle(), native->get(), native->length), 0);
    return socket;
}

bool SendAll(CSslSocket& socket, const std::string& data, std::vector<long>* pieces = nullptr) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const long taken = socket.Send(data.data() + sent, data.size() - sent);
        if (taken <= 0) return false;
        if (pieces) pieces->push_back(taken);
        sent += static_cast<std::size_t>(taken);
    }
    return true;
}

TEST(SslSocketTest, ValidServerHandshakesVerifiesAndExchangesData) {
    auto credential = SharedPki().Issue({.names = {kHost}});
    TestServer server(test::HttpsHandler(MakeServerContext(credential), HttpReply(200)));
    auto socket = ConnectTo(server);

    int error = 0;
    ASSERT_TRUE(socket->Handshake(kHost, error)) << error;
    std::string reason;
    EXPECT_TRUE(socket->VerifyCertificate(kHost, &reason)) << reason;

    // A request longer than one record goes out in record-sized pieces.
    const std::string request = "GET / HTTP/1.1\r\nHost: site.example\r\nX-Pad: " + std::string(40000, 'a') + "\r\n\r\n";
    std::vector<long> pieces;
    ASSERT_TRUE(SendAll(*socket, request, &pieces));
    EXPECT_EQ(pieces.front(), 16384);
    EXPECT_GE(pieces.size(), 3u);

    char status[12];
    ASSERT_TRUE(socket->ReceiveExact(status, sizeof(status)));
    EXPECT_EQ(std::string(status, 12), "HTTP/1.1 200");
    char rest[256];
    long got;
    while ((got = socket->Receive(rest, sizeof(rest))) > 0) {
    }
    EXPECT_EQ(got, 0) << "the close notification ends the stream";
    ASSERT_TRUE(server.WaitForConnections(1));
    socket.reset();
    EXPECT_EQ(server.Requests().at(0), request);
}

TEST(SslSocketTest, RecordSplitOverManyReadsIsAssembled) {
    auto credential = SharedPki().Issue({.names = {kHost}});
    auto context = MakeServerContext(credential);
    TestServer server([context](int fd, TestServer&) {
        SSL* ssl = SSL_new(context.get());
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            // Encrypt into memory, then hand the record to the socket a few bytes at a time.
            BIO* memory = BIO_new(BIO_s_mem());
            SSL_set0_wbio(ssl, memory);
            const std::string reply = HttpReply(200);
            SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
            char* bytes = nullptr;
            const long length = BIO_get_mem_data(memory, &bytes);
            for (long i = 0; i < length; i += 7) {
                send(fd, bytes + i, std::min<long>(7, length - i), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        SSL_free(ssl);
        shutdown(fd, SHUT_WR);
    });
    auto socket = ConnectTo(server);
    int error = 0;
    ASSERT_TRUE(socket->Handshake(kHost, error)) << error;
    char status[12];
    ASSERT_TRUE(socket->ReceiveExact(status, sizeof(status)));
    EXPECT_EQ(std::string(status, 12), "HTTP/1.1 200");
}

struct CertificateCase {
    const char* name;
    CertificateRequest request;
    const char* verifyHost;
    const char* reason;
};

class SslSocketCertificateTest : public ::testing::TestWithParam<CertificateCase> {};

TEST_P(SslSocketCertificateTest, HandshakeSucceedsButVerificationFails) {
    const CertificateCase& c = GetParam();
    auto credential = SharedPki().Issue(c.request);
    TestServer server(test::HttpsHandler(MakeServerContext(credential), HttpReply(200)));
    auto socket = ConnectTo(server);
    int error = 0;
    ASSERT_TRUE(socket->Handshake(c.verifyHost, error)) << error;
    std::string reason;
    EXPECT_FALSE(socket->VerifyCertificate(c.verifyHost, &reason));
    EXPECT_EQ(reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, SslSocketCertificateTest,
    ::testing::Values(
        CertificateCase{"SelfSigned", {.names = {kHost}, .selfSigned = true}, kHost, "self-signed certificate"},
        CertificateCase{"Expired", {.names = {kHost}, .notBeforeOffset = -7200, .notAfterOffset = -3600}, kHost,
                        "certificate has expired"},
        CertificateCase{"WrongName", {.names = {"other.example"}}, kHost, "hostname mismatch"},
        CertificateCase{"WrongAddress", {.names = {"127.0.0.2"}}, "127.0.0.1", "IP address mismatch"},
        CertificateCase{"ClientUsageOnly", {.names = {kHost}, .serverAuthUsage = false}, kHost,
                        "unsuitable certificate purpose"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SslSocketTest, EmptyHostIsNotVerified) {
    auto credential = SharedPki().Issue({.names = {"other.example"}, .selfSigned = true});
    TestServer server(test::HttpsHandler(MakeServerContext(credential), HttpReply(200)));
    auto socket = ConnectTo(server);
    int error = 0;
    ASSERT_TRUE(socket->Handshake("", error));
    EXPECT_TRUE(socket->VerifyCertificate(""));
}

TEST(SslSocketTest, AddressNamesAreVerifiedAgainstAddressEntries) {
    auto credential = SharedPki().Issue({.names = {"127.0.0.1"}});
    TestServer server(test::HttpsHandler(MakeServerContext(credential), HttpReply(200)));
    auto socket = ConnectTo(server);
    int error = 0;
    ASSERT_TRUE(socket->Handshake("127.0.0.1", error));
    EXPECT_TRUE(socket->VerifyCertificate("127.0.0.1"));
}

TEST(SslSocketTest, StapledOcspAnswerDecidesRevocation) {
    auto credential = SharedPki().Issue({.names = {kHost}});
    for (int status : {V_OCSP_CERTSTATUS_GOOD, V_OCSP_CERTSTATUS_REVOKED}) {
        test::ServerTlsOptions options;
        options.ocspAnswer = SharedPki().OcspAnswer(credential.cert.get(), status);
        TestServer server(test::HttpsHandler(MakeServerContext(credential, options), HttpReply(200)));
        auto socket = ConnectTo(server);
        int error = 0;
        ASSERT_TRUE(socket->Handshake(kHost, error));
        std::string reason;
        EXPECT_EQ(socket->VerifyCertificate(kHost, &reason), status == V_OCSP_CERTSTATUS_GOOD);
        if (status == V_OCSP_CERTSTATUS_REVOKED) {
            EXPECT_EQ(reason, "certificate revoked");
        }
    }
}

TEST(SslSocketTest, HandshakeErrorCodes) {
    auto credential = SharedPki().Issue({.names = {kHost}});
    struct Case {
        const char* name;
        TestServer::Handler handler;
        int expected;
    };
    std::vector<Case> cases = {
        {"plain HTTP answer", test::PlainHttpHandler(HttpReply(400)), -2146893048},
        {"closed after the client hello", test::CloseAfterClientHelloHandler(), 240},
        {"client certificate asked for",
         test::HttpsHandler(MakeServerContext(credential, {.requestClientCertificate = true}), HttpReply(200)),
         590624},
    };
    for (Case& c : cases) {
        TestServer server(c.handler);
        auto socket = ConnectTo(server);
        int error = 0;
        EXPECT_FALSE(socket->Handshake(kHost, error)) << c.name;
        EXPECT_EQ(error, c.expected) << c.name;
        char byte;
        EXPECT_EQ(socket->Send("x", 1), -1) << c.name << ": no session after a failed handshake";
        EXPECT_EQ(socket->Receive(&byte, 1), -1) << c.name;
    }
}

TEST(SslSocketTest, ShutdownFromAnotherThreadEndsBlockedRead) {
    auto credential = SharedPki().Issue({.names = {kHost}});
    TestServer server(test::HttpsHandler(MakeServerContext(credential), HttpReply(200)));
    auto socket = ConnectTo(server);
    int error = 0;
    ASSERT_TRUE(socket->Handshake(kHost, error));
    // No request is sent: the server waits for one, the read blocks.
    auto read = std::async(std::launch::async, [&] {
        char buffer[12];
        return socket->ReceiveExact(buffer, sizeof(buffer));
    });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(socket->Shutdown(), 0);
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(read.get());
    EXPECT_TRUE(socket->IsClosed());
    EXPECT_EQ(socket->Shutdown(), -1);
    EXPECT_FALSE(socket->Create(AF_INET)) << "a closed socket is not opened again";
}

TEST(SslSocketTest, ReceiveTimeLimitEndsSilentHandshake) {
    TestServer server(test::SilentHandler());
    auto socket = ConnectTo(server);
    socket->SetIoTimeout(100);
    int error = 0;
    EXPECT_FALSE(socket->Handshake(kHost, error));
    EXPECT_EQ(error, 10060);
    server.Release();
}

}  // namespace
}  // namespace hbt
