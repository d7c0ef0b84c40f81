// DownloadSmallFile against real servers on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>

#include "platform/small_download.h"
#include "tests/https_check/test_pki.h"
#include "tests/https_check/test_server.h"

namespace hbt {
namespace {

using namespace std::chrono_literals;
using test::TestServer;

TestServer::Handler Answer(std::string reply) { return test::RecordingHttpHandler(std::move(reply)); }
std::string Ok(const std::string& body) { return test::HttpOk(body); }

std::string AddressOf(const TestServer& server, const std::string& scheme = "http") {
    return scheme + "://127.0.0.1:" + std::to_string(server.Port()) + "/last_versions/windows/15400/";
}

struct Outcome {
    bool ok;
    std::string text;  // the body, or the error text
};

Outcome Download(const std::string& address, const SmallDownloadOptions& options = {}) {
    std::string body;
    std::string error;
    const bool ok = DownloadSmallFile(address, body, error, options);
    return {ok, ok ? body : error};
}

TEST(DownloadSmallFile, SendsAFreshGetAndReturnsTheBody) {
    TestServer server(Answer(Ok("2 20000 https://corvant.example/get\r\n")));
    const Outcome outcome = Download(AddressOf(server));
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, "2 20000 https://corvant.example/get\r\n");
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string head = server.Requests()[0];
    EXPECT_EQ(head.rfind("GET /last_versions/windows/15400/ HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Cache-Control: no-cache\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Pragma: no-cache\r\n"), std::string::npos) << head;
}

TEST(DownloadSmallFile, StatusAndLengthFailuresHaveTheirTexts) {
    const std::string address = "ADDRESS";
    struct Case {
        std::string reply;
        std::string expected;  // ADDRESS stands for the address asked for
    };
    const Case cases[] = {
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", "File not found on the server (status 404) ADDRESS"},
        {"HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", "Request failed with HTTP status 503 ADDRESS"},
        {"HTTP/1.1 302 Found\r\nLocation: https://elsewhere.example/\r\nContent-Length: 0\r\n\r\n",
         "Request failed with HTTP status 302 ADDRESS"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "File is empty."},
        {Ok(std::string(10001, 'x')), "File is too big."},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n2 20000 x", "Cannot get file length, error = 12150"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n2 20000", "File length mismatch."},
        {"HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n", "File length mismatch."},
    };
    for (const Case& c : cases) {
        TestServer server(Answer(c.reply));
        const std::string asked = AddressOf(server);
        const Outcome outcome = Download(asked);
        std::string expected = c.expected;
        if (const auto at = expected.find(address); at != std::string::npos) expected.replace(at, address.size(), asked);
        EXPECT_FALSE(outcome.ok) << c.reply.substr(0, 60);
        EXPECT_EQ(outcome.text, expected) << c.reply.substr(0, 60);
    }
}

TEST(DownloadSmallFile, TheLargestAllowedBodyArrivesWhole) {
    const std::string body(kSmallFileLimit, 'y');
    TestServer server(Answer(Ok(body)));
    const Outcome outcome = Download(AddressOf(server));
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, body);
}

TEST(DownloadSmallFile, ALayerFailureGivesItsOwnTextEndedByAFullStop) {
    // A port nobody listens on: the listener is gone once the server is.
    std::string address;
    {
        TestServer gone(Answer(""));
        address = AddressOf(gone);
    }
    const Outcome refused = Download(address);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.text.find("Couldn't connect to server"), std::string::npos) << refused.text;
    EXPECT_EQ(refused.text.back(), '.');
    EXPECT_NE(refused.text[refused.text.size() - 2], '\n');

    TestServer silent(test::SilentHandler());
    SmallDownloadOptions options;
    options.totalLimit = 300ms;
    const Outcome held = Download(AddressOf(silent), options);
    EXPECT_FALSE(held.ok);
    EXPECT_NE(held.text.find("timed out"), std::string::npos) << held.text;
    silent.Release();
}

TEST(DownloadSmallFile, ACancelledTransferEndsAtOnce) {
    TestServer silent(test::SilentHandler());
    SmallDownloadOptions options;
    options.totalLimit = 3600s;  // only the cancellation can end it
    bool asked = false;
    options.cancelled = [&] { return asked = silent.Connections() > 0; };
    const Outcome outcome = Download(AddressOf(silent), options);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(asked);
    silent.Release();
}

TEST(DownloadSmallFile, OnlyWebAddressesAreOpened) {
    for (const std::string address : {"ftp://127.0.0.1/last_versions/windows/15400/", "not an address", ""}) {
        const Outcome outcome = Download(address);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.text, "Could not open URL " + address);
    }
}

TEST(DownloadSmallFile, HttpsIsVerifiedAgainstTheTrustStore) {
    test::TestPki& pki = test::SharedPki();  // trusted through SSL_CERT_FILE
    const test::Credential trusted = pki.Issue({{"127.0.0.1"}});
    TestServer good(test::HttpsHandler(test::MakeServerContext(trusted), Ok("2 15400 https://corvant.example/")));
    const Outcome outcome = Download(AddressOf(good, "https"));
    EXPECT_TRUE(outcome.ok) << outcome.text;
    EXPECT_EQ(outcome.text, "2 15400 https://corvant.example/");

    test::CertificateRequest selfSigned{{"127.0.0.1"}};
    selfSigned.selfSigned = true;
    TestServer stranger(test::HttpsHandler(test::MakeServerContext(pki.Issue(selfSigned)), Ok("2 20000 x")));
    const Outcome refused = Download(AddressOf(stranger, "https"));
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.text.find("certificate"), std::string::npos) << refused.text;
}

}  // namespace
}  // namespace hbt
