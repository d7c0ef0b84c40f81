#include "https_check/https_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "https_check/https_cache_file.h"
#include "log/log_queue.h"
#include "log/log_settings.h"
#include "platform/socket_address.h"
#include "rules/preferences.h"
#include "tests/https_check/checker_fixture.h"
#include "tests/https_check/test_server.h"

namespace hbt {
namespace {

using test::HttpReply;
using test::MakeServerContext;
using test::SharedPki;
using test::TestServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr const char* kHost = "site.example";
constexpr const char* kWwwHost = "www.site.example";

const Preferences& BestEffort() {
    static const Preferences preferences = [] {
        Preferences p;
        p.allowInsecureIfNoHttps = true;
        return p;
    }();
    return preferences;
}

class HttpsCheckerTest : public test::CheckerFixture {
protected:
    void SetUp() override {
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(3);
        LogQueue::Instance().RegisterReceiver([] {});
        CheckerFixture::SetUp();
    }
    void TearDown() override {
        CheckerFixture::TearDown();
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
    }

    // Step limits generous enough for a loaded machine; the silent-server
    // test shortens them to wait less.
    CHttpsChecker& MakeChecker(uint16_t httpsPort, HostResolver resolver = nullptr, uint64_t stepTimeoutMs = 3000) {
        HttpsCheckerOptions options;
        options.bestEffortStepTimeoutMs = stepTimeoutMs;
        options.strictStepTimeoutMs = stepTimeoutMs;
        options.httpsPort = httpsPort;
        options.resolver = std::move(resolver);
        return CreateChecker(std::move(options));
    }

    // Runs one check of host (requested as itself unless given) against address.
    HttpsCheckResult CheckAt(const SocketAddressSlot& address, const std::string& checked,
                             const std::string& requested = "", bool viaProxy = false, bool* fromCache = nullptr) {
        HttpsCheckResult result;
        const bool cached = checker_->Check(result, checked, requested.empty() ? checked : requested, address,
                                            L"/usr/bin/browser", 42, viaProxy, BestEffort(), false);
        if (fromCache) *fromCache = cached;
        return result;
    }

    static std::vector<std::string> Texts(const HttpsCheckResult& result) {
        std::vector<std::string> texts;
        for (const CheckMessage& m : result.messages) texts.push_back(m.text);
        return texts;
    }

    // Waits until the cache holds an entry for the key whose last message contains text.
    bool WaitForCachedText(const std::string& checked, const std::string& requested, const std::string& text) {
        for (int turn = 0; turn < 600; ++turn) {  // up to 30 s
            HttpsCheckResult cached;
            if (checker_->LookupCache(cached, checked, requested) && !cached.messages.empty() &&
                cached.messages.back().text.find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Waits until the host's cached answer carries the given time stamp.
    bool WaitForStamp(const std::string& host, int64_t time) {
        for (int turn = 0; turn < 600; ++turn) {  // up to 30 s
            HttpsCheckResult cached;
            if (checker_->LookupCache(cached, host, host) && cached.checkTime == time) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

};

TEST_F(HttpsCheckerTest, ValidServerIsAvailableWithEveryStepListed) {
    TestServer server(test::HttpsHandler(MakeServerContext(SharedPki().Issue({.names = {kHost}})), HttpReply(200)));
    MakeChecker(server.Port());
    bool fromCache = true;
    const HttpsCheckResult result = CheckAt(server.Address(), kHost, "", false, &fromCache);
    EXPECT_FALSE(fromCache);
    EXPECT_TRUE(result.available);
    const std::string address = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_THAT(Texts(result), ElementsAre("Connection to " + address + " established", "SSL handshake succeeded",
                                           "Check SSL certificate succeeded", "no HTTP deadloop detected"));
    for (const CheckMessage& m : result.messages) EXPECT_TRUE(m.final && m.ok) << m.text;
    EXPECT_EQ(result.checkTime, now_.load());
    EXPECT_THAT(server.Requests(), ElementsAre("GET / HTTP/1.1\r\nHost: site.example\r\n\r\n"));

    std::vector<std::wstring> lines;
    for (const LogRecord& record : LogQueue::Instance().TakeAll()) {
        if (record.level == kLogVerbose) lines.push_back(record.message);
    }
    EXPECT_THAT(lines, ElementsAre(L"site.example - checking HTTPS availability.", L"site.example - HTTPS is available"));
}

struct OutcomeCase {
    const char* name;
    std::function<TestServer::Handler()> handler;
    const char* checked;
    const char* requested;
    bool available;
    std::string lastText;
};

class HttpsCheckerOutcomeTest : public HttpsCheckerTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(HttpsCheckerOutcomeTest, LastMessageTellsTheOutcome) {
    const OutcomeCase& c = GetParam();
    TestServer server(c.handler());
    MakeChecker(server.Port());
    const HttpsCheckResult result = CheckAt(server.Address(), c.checked, c.requested);
    EXPECT_EQ(result.available, c.available);
    ASSERT_FALSE(result.messages.empty());
    EXPECT_EQ(result.messages.back().text, c.lastText);
    EXPECT_TRUE(result.messages.back().final);
    EXPECT_EQ(result.messages.back().ok, c.available);
    // The answer went to the cache too.
    HttpsCheckResult cached;
    ASSERT_TRUE(checker_->LookupCache(cached, c.checked, c.requested));
    EXPECT_EQ(cached.available, c.available);
}

TestServer::Handler Serving(test::CertificateRequest request, std::string reply) {
    return test::HttpsHandler(MakeServerContext(SharedPki().Issue(request)), std::move(reply));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, HttpsCheckerOutcomeTest,
    ::testing::Values(
        OutcomeCase{"SelfSigned", [] { return Serving({.names = {kHost}, .selfSigned = true}, HttpReply(200)); },
                    kHost, kHost, false, "Check SSL certificate failed (self-signed certificate)"},
        OutcomeCase{"Expired",
                    [] { return Serving({.names = {kHost}, .notBeforeOffset = -9000, .notAfterOffset = -10}, HttpReply(200)); },
                    kHost, kHost, false, "Check SSL certificate failed (certificate has expired)"},
        OutcomeCase{"WrongName", [] { return Serving({.names = {"other.example"}}, HttpReply(200)); }, kHost, kHost,
                    false, "Check SSL certificate failed (hostname mismatch)"},
        OutcomeCase{"PlainHttp", [] { return test::PlainHttpHandler(HttpReply(400)); }, kHost, kHost, false,
                    "SSL handshake failed with error code -2146893048"},
        OutcomeCase{"ClientCertificateAskedFor",
                    [] {
                        return test::HttpsHandler(MakeServerContext(SharedPki().Issue({.names = {kHost}}),
                                                                    {.requestClientCertificate = true}),
                                                  HttpReply(200));
                    },
                    kHost, kHost, false, "SSL handshake failed with error code 590624"},
        OutcomeCase{"ClosedAfterHello", [] { return test::CloseAfterClientHelloHandler(); }, kHost, kHost, false,
                    "SSL handshake failed with error code 240"},
        OutcomeCase{"RedirectToPlainSameHost",
                    [] { return Serving({.names = {kHost}}, HttpReply(301, "Location: http://site.example/")); },
                    kHost, kHost, false, "Dead loop detected in HTTP response"},
        OutcomeCase{"RedirectToHttps",
                    [] { return Serving({.names = {kHost}}, HttpReply(301, "Location: https://site.example/")); },
                    kHost, kHost, true, "no HTTP deadloop detected"},
        OutcomeCase{"LowerCaseLocationIsNotRead",
                    [] { return Serving({.names = {kHost}}, HttpReply(302, "location: http://site.example/")); },
                    kHost, kHost, true, "no HTTP deadloop detected"},
        OutcomeCase{"RedirectToOtherHost",
                    [] { return Serving({.names = {kHost}}, HttpReply(307, "Location: http://cdn.example/")); },
                    kHost, kHost, true, "no HTTP deadloop detected"},
        OutcomeCase{"NotARedirectStatus",
                    [] { return Serving({.names = {kHost}}, HttpReply(200, "Location: http://site.example/")); },
                    kHost, kHost, true, "no HTTP deadloop detected"},
        OutcomeCase{"WwwRedirectsToRequestedHost",
                    [] { return Serving({.names = {kWwwHost}}, HttpReply(301, "Location: http://site.example/")); },
                    kWwwHost, kHost, false, "Dead loop with original host detected in HTTP response"},
        OutcomeCase{"NonHttpAnswer", [] { return Serving({.names = {kHost}}, "SSH-2.0-OpenSSH_9.2\r\n"); }, kHost,
                    kHost, false, "HTTP response check failed - non-HTTP response"},
        OutcomeCase{"NoAnswer", [] { return Serving({.names = {kHost}}, "HTTP/1.1"); }, kHost, kHost, false,
                    "HTTP response check failed - could not read response"}),
    [](const auto& info) { return std::string(info.param.name); });

// What a site's Strict-Transport-Security header leaves in the promise store.
TEST_F(HttpsCheckerTest, VerifiedAnswerKeepsItsPromiseAndMaxAgeZeroWithdrawsIt) {
    struct Case {
        const char* name;
        test::CertificateRequest certificate;
        std::string reply;
        std::optional<HstsPromise> kept;  // what covers "x." + name afterwards
    };
    const std::string sts = "Strict-Transport-Security: max-age=600; includeSubDomains";
    const Case cases[] = {
        {"keep.example", {.names = {"keep.example"}}, HttpReply(200, sts),
         HstsPromise{"keep.example", 1'000'600, true, false}},
        {"withdraw.example", {.names = {"withdraw.example"}}, HttpReply(200, "strict-transport-security: max-age=0"),
         std::nullopt},
        {"selfsigned.example", {.names = {"selfsigned.example"}, .selfSigned = true}, HttpReply(200, sts),
         std::nullopt},
        {"loop.example", {.names = {"loop.example"}}, HttpReply(301, "Location: http://loop.example/\r\n" + sts),
         std::nullopt},
        {"invalid.example", {.names = {"invalid.example"}}, HttpReply(200, sts + "; max-age=5"), std::nullopt},
    };
    MakeChecker(0);
    checker_->Promises().Keep("withdraw.example", now_ + 5000, true, now_);
    for (const Case& c : cases) {
        TestServer server(Serving(c.certificate, c.reply));
        MakeChecker(server.Port());
        CheckAt(server.Address(), c.name);
        EXPECT_EQ(checker_->FindPromise(std::string("x.") + c.name), c.kept) << c.name;
    }
    std::vector<std::wstring> lines;
    for (const LogRecord& record : LogQueue::Instance().TakeAll()) {
        if (record.message.find(L"promise") != std::wstring::npos) lines.push_back(record.message);
    }
    EXPECT_THAT(lines, ElementsAre(L"keep.example - HTTPS promised by the site until 1970-01-12 13:56:40 UTC with "
                                   L"subdomains",
                                   L"withdraw.example - HTTPS promise withdrawn by the site"));
}

TEST_F(HttpsCheckerTest, RefusedConnectionNamesTheSocketError) {
    uint16_t unusedPort;
    SocketAddressSlot address;
    {
        TestServer closedSoon(test::SilentHandler());
        unusedPort = closedSoon.Port();
        address = closedSoon.Address();
    }
    MakeChecker(unusedPort);
    const HttpsCheckResult result = CheckAt(address, kHost);
    EXPECT_FALSE(result.available);
    EXPECT_THAT(Texts(result), ElementsAre("Connection to 127.0.0.1:" + std::to_string(unusedPort) +
                                           " failed with error 10061"));
}

TEST_F(HttpsCheckerTest, Ipv6DestinationIsConnectedOnItsOwnFamily) {
    TestServer server(Serving({.names = {kHost}}, HttpReply(200)), AF_INET6);
    MakeChecker(server.Port());
    const HttpsCheckResult result = CheckAt(server.Address(), kHost);
    EXPECT_TRUE(result.available);
    EXPECT_EQ(result.messages.front().text, "Connection to [::1]:" + std::to_string(server.Port()) + " established");
}

TEST_F(HttpsCheckerTest, SilentServerTimesOutWhileWorkerCachesItsOwnResultLater) {
    TestServer server(test::SilentHandler());
    // Long enough for the worker to reach the handshake on a loaded machine.
    MakeChecker(server.Port(), nullptr, 1500);
    const HttpsCheckResult result = CheckAt(server.Address(), kHost);
    EXPECT_FALSE(result.available);
    ASSERT_GE(result.messages.size(), 2u);
    const CheckMessage& provisional = result.messages[result.messages.size() - 2];
    EXPECT_EQ(provisional, (CheckMessage{false, false, "SSL handshake failed - timeout"}));
    EXPECT_EQ(result.messages.back(), (CheckMessage{true, false, "Check failed with timeout"}));
    EXPECT_TRUE(WaitForCachedText(kHost, kHost, "Check failed with timeout"));

    server.Release();  // the server closes: the worker's handshake ends with 240
    EXPECT_TRUE(WaitForCachedText(kHost, kHost, "SSL handshake failed with error code 240"));
}

TEST_F(HttpsCheckerTest, ProxyConnectNamesTheCheckedHost) {
    TestServer proxy(test::ProxyHandler("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"));
    MakeChecker(443);
    const HttpsCheckResult result = CheckAt(proxy.Address(), kHost, "", true);
    EXPECT_FALSE(result.available);
    EXPECT_THAT(Texts(result),
                ElementsAre("Connection to 127.0.0.1:" + std::to_string(proxy.Port()) + " (proxy) established",
                            "Connection through proxy failed. Proxy server cannot establish a connection with the "
                            "target, status code407"));
    EXPECT_THAT(proxy.Requests(), ElementsAre("CONNECT site.example:443 HTTP/1.1\r\nHost: site.example:443\r\n\r\n"));
}

TEST_F(HttpsCheckerTest, ProxyTunnelCarriesTheWholeCheck) {
    TestServer proxy(test::ProxyHandler("HTTP/1.1 200 Connection established\r\n\r\n",
                                        MakeServerContext(SharedPki().Issue({.names = {kHost}})), HttpReply(200)));
    MakeChecker(443);
    const HttpsCheckResult result = CheckAt(proxy.Address(), kHost, "", true);
    EXPECT_TRUE(result.available);
    EXPECT_EQ(result.messages.at(1).text, "Connection through proxy established");
}

TEST_F(HttpsCheckerTest, BadProxyRepliesAreNamed) {
    const std::pair<std::string, std::string> cases[] = {
        {"XTTP/1.1 200 OK\r\n\r\n", "Proxy returned incorrect HTTP replay."},
        {"Hello world!\r\n\r\n", "Proxy returned incorrect HTTP replay."},
        {"HTTP/1.1 abc\r\n\r\n", "Proxy returned incorrect HTTP replay code."},
        {"HTTP/1.1 200", "Proxy close connection unexpectedly"},
        {"HTT", "Proxy close connection unexpectedly"},
        {"HTTP/1.1 200 OK\r\nX: " + std::string(100001, 'x'), "Proxy replay is too large."},
    };
    // The reply is read byte by byte; a busy machine must not turn the size case into a time-out.
    MakeChecker(443, nullptr, 30000);
    int n = 0;
    for (const auto& [reply, text] : cases) {
        TestServer proxy(test::ProxyHandler(reply));
        const HttpsCheckResult result = CheckAt(proxy.Address(), "p" + std::to_string(++n) + ".example", "", true);
        EXPECT_EQ(result.messages.back().text, "Connection through proxy failed. " + text) << reply.substr(0, 20);
    }
}

TEST_F(HttpsCheckerTest, RandomPathHostsAskForARandomPath) {
    TestServer server(Serving({.names = {"corvant.example"}}, HttpReply(200)));
    MakeChecker(server.Port());
    EXPECT_TRUE(CheckAt(server.Address(), "corvant.example").available);
    EXPECT_TRUE(CheckAt(server.Address(), "corvant.example", "other").available);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& request : requests) {
        EXPECT_THAT(request, MatchesRegex("GET /[89a-f][0-9a-f]{15} HTTP/1.1\r\nHost: corvant.example\r\n\r\n"));
    }
    EXPECT_NE(requests[0], requests[1]);
}

TEST_F(HttpsCheckerTest, ResolveByNameUsesTheLookedUpAddress) {
    TestServer server(Serving({.names = {kWwwHost}}, HttpReply(200)));
    std::vector<int> families;
    MakeChecker(server.Port(), [&](const std::string& host, int family, SocketAddressSlot& address, int& error) {
        families.push_back(family);
        if (host != kWwwHost) {
            error = 11001;
            return false;
        }
        address = SocketAddressSlot::Ipv4({127, 0, 0, 1}, 0);
        return true;
    });
    auto check = [&](const std::string& host, const SocketAddressSlot& destination) {
        HttpsCheckResult result;
        checker_->Check(result, host, kHost, destination, L"", 0, false, BestEffort(), true);
        return result;
    };
    const auto ipv4Destination = SocketAddressSlot::Ipv4({192, 0, 2, 1}, 80);
    HttpsCheckResult result = check(kWwwHost, ipv4Destination);
    EXPECT_TRUE(result.available);
    EXPECT_EQ(result.messages.front().text, "www.site.example resolved as 127.0.0.1:" + std::to_string(server.Port()));

    result = check("www.unknown1.example", ipv4Destination);
    EXPECT_THAT(Texts(result), ElementsAre("Failed to resolve www.unknown1.example - getaddrinfo error 11001"));

    std::array<uint8_t, 16> mapped{};
    mapped[10] = mapped[11] = 0xff;
    mapped[12] = 192;
    mapped[15] = 1;
    std::array<uint8_t, 16> native{0x20, 0x01, 0x0d, 0xb8};
    native[15] = 1;
    check("www.unknown2.example", SocketAddressSlot::Ipv6(mapped, 80));
    check("www.unknown3.example", SocketAddressSlot::Ipv6(native, 80));
    EXPECT_THAT(families, ElementsAre(AF_INET, AF_INET, AF_INET, AF_INET6));
}

TEST_F(HttpsCheckerTest, Ipv6LookupResultIsConnected) {
    TestServer server(Serving({.names = {kWwwHost}}, HttpReply(200)), AF_INET6);
    std::array<uint8_t, 16> loopback{};
    loopback[15] = 1;
    MakeChecker(server.Port(), [&](const std::string&, int, SocketAddressSlot& address, int&) {
        address = SocketAddressSlot::Ipv6(loopback, 0);
        return true;
    });
    std::array<uint8_t, 16> destination{0x20, 0x01, 0x0d, 0xb8};
    destination[15] = 1;
    HttpsCheckResult result;
    checker_->Check(result, kWwwHost, kHost, SocketAddressSlot::Ipv6(destination, 80), L"", 0, false, BestEffort(), true);
    EXPECT_TRUE(result.available);
    EXPECT_EQ(result.messages.front().text, "www.site.example resolved as [::1]:" + std::to_string(server.Port()));
}

TEST_F(HttpsCheckerTest, CachedAnswerIsFreshBelowThreeHundredSeconds) {
    TestServer server(Serving({.names = {kHost}}, HttpReply(200)));
    MakeChecker(server.Port());
    ASSERT_TRUE(CheckAt(server.Address(), kHost).available);
    ASSERT_EQ(server.Connections(), 1);

    bool fromCache = false;
    now_ += 299;
    HttpsCheckResult result = CheckAt(server.Address(), kHost, "", false, &fromCache);
    EXPECT_TRUE(fromCache);
    EXPECT_TRUE(result.available);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.Connections(), 1) << "a fresh answer starts no check";

    now_ += 1;  // 300 s old: returned at once, refreshed in the background
    result = CheckAt(server.Address(), kHost, "", false, &fromCache);
    EXPECT_TRUE(fromCache);
    EXPECT_TRUE(result.available);
    EXPECT_TRUE(server.WaitForConnections(2));
    ASSERT_TRUE(WaitForCachedText(kHost, kHost, "no HTTP deadloop"));
    checker_->WaitForRunningChecks();

    // An answer stamped in the current second counts as fresh.
    HttpsCheckResult cached;
    ASSERT_TRUE(checker_->LookupCache(cached, kHost, kHost));
    now_ = cached.checkTime;
    CheckAt(server.Address(), kHost, "", false, &fromCache);
    EXPECT_TRUE(fromCache);
    checker_->WaitForRunningChecks();
    EXPECT_EQ(server.Connections(), 2) << "an answer of this second starts no check";
}

TEST_F(HttpsCheckerTest, TwoThousandRequestsWithinFiveMinutesCauseOneCheckEach) {
    const TestServer::Handler serve = Serving({.names = {kHost}}, HttpReply(200));
    // The first check is held until the callers have piled up behind it.
    TestServer server([serve](int fd, TestServer& self) {
        self.WaitForRelease();
        serve(fd, self);
    });
    MakeChecker(server.Port());
    constexpr int kCallers = 8;
    constexpr int kRequestsEach = 250;
    auto requests = [&] {
        int available = 0;
        for (int i = 0; i < kRequestsEach; ++i) available += CheckAt(server.Address(), kHost).available;
        return available;
    };
    std::vector<std::future<int>> callers;
    for (int i = 0; i < kCallers; ++i) callers.push_back(std::async(std::launch::async, requests));
    ASSERT_TRUE(server.WaitForConnections(1));
    server.Release();
    for (auto& caller : callers) EXPECT_EQ(caller.get(), kRequestsEach) << "joined callers get the answer";
    EXPECT_EQ(server.Connections(), 1) << "callers without an answer wait for the running check";

    // Old answer: handed out at once, one background check refreshes it.
    now_ += 300;
    int fromCacheCount = 0;
    for (int i = 0; i < kCallers * kRequestsEach; ++i) {
        bool fromCache = false;
        EXPECT_TRUE(CheckAt(server.Address(), kHost, "", false, &fromCache).available);
        fromCacheCount += fromCache;
    }
    EXPECT_EQ(fromCacheCount, kCallers * kRequestsEach);
    ASSERT_TRUE(server.WaitForConnections(2));
    ASSERT_TRUE(WaitForStamp(kHost, now_));
    checker_->WaitForRunningChecks();
    EXPECT_EQ(server.Connections(), 2) << "a running check is not started again";
}

TEST_F(HttpsCheckerTest, FileEntryIsUsedAtOnceAndRefreshed) {
    ASSERT_TRUE(SaveHttpsCacheFile(CachePath(), {{"site.example/site.example", {true}}}));
    TestServer server(Serving({.names = {kHost}}, HttpReply(200)));
    MakeChecker(server.Port());
    bool fromCache = false;
    const HttpsCheckResult result = CheckAt(server.Address(), kHost, "", false, &fromCache);
    EXPECT_TRUE(fromCache);
    EXPECT_TRUE(result.available);
    EXPECT_EQ(result.checkTime, 0);
    EXPECT_THAT(result.messages, ElementsAre(CheckMessage{true, true, "Result from file cache"}));
    EXPECT_TRUE(server.WaitForConnections(1)) << "a background check refreshes the entry";
}

TEST_F(HttpsCheckerTest, FileIsWrittenOnlyForNewOrFlippedAnswers) {
    MakeChecker(443);
    auto store = [&](const std::string& host, bool available) {
        HttpsCheckResult result;
        result.available = available;
        checker_->StoreResult(result, host, host);
    };
    auto fileAnswers = [&] {
        HttpsCacheAnswers answers;
        return LoadHttpsCacheFile(CachePath(), answers) ? answers : HttpsCacheAnswers{{"<no file>", {false}}};
    };
    store("a.example", true);
    EXPECT_EQ(fileAnswers(), (HttpsCacheAnswers{{"a.example/a.example", {true}}}));

    std::filesystem::remove(CachePath());
    store("a.example", true);  // confirmed: no write
    EXPECT_FALSE(std::filesystem::exists(CachePath()));
    store("a.example", false);  // flipped
    EXPECT_EQ(fileAnswers(), (HttpsCacheAnswers{{"a.example/a.example", {false}}}));
    store("b.example", false);  // new key
    EXPECT_EQ(fileAnswers(), (HttpsCacheAnswers{{"a.example/a.example", {false}}, {"b.example/b.example", {false}}}));
}

TEST_F(HttpsCheckerTest, ShutdownEndsRunningChecksAndStopsTheCache) {
    TestServer server(test::SilentHandler());
    HttpsCheckerOptions options;
    options.cachePath = CachePath();
    options.httpsPort = server.Port();
    options.bestEffortStepTimeoutMs = 30000;  // the caller would wait long
    checker_ = CHttpsChecker::Create(options);
    auto caller = std::async(std::launch::async, [&] { return CheckAt(server.Address(), kHost); });
    ASSERT_TRUE(server.WaitForConnections(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the handshake is under way

    checker_->StopChecks();
    EXPECT_TRUE(checker_->WaitForRunningChecks());
    ASSERT_EQ(caller.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(caller.get().available);
    HttpsCheckResult cached;
    EXPECT_FALSE(checker_->LookupCache(cached, kHost, kHost));
    EXPECT_FALSE(std::filesystem::exists(CachePath())) << "nothing is written once stopping";

    HttpsCheckResult later;
    checker_->Check(later, kHost, kHost, server.Address(), L"", 0, false, BestEffort(), false);
    EXPECT_FALSE(later.available);
    EXPECT_EQ(server.Connections(), 1) << "no worker starts a check after the stop";
}

}  // namespace
}  // namespace hbt
