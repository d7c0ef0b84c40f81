// The enforcement decision end to end: a request arrives on a real proxy
// connection, the checker talks TLS to a loopback server, and the answer is a
// redirect, a page, or the request passed through to its destination.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <thread>

#include "hsts/hsts_host.h"
#include "http/http_request.h"
#include "http/http_traffic.h"
#include "https_check/https_checker.h"
#include "log/log_queue.h"
#include "http/ip_excluder.h"
#include "text/text_conversion.h"
#include "tests/http/loopback.h"
#include "tests/https_check/test_server.h"
#include "tests/log/log_test_fixture.h"

namespace hbt {
namespace {

constexpr const char* kRequest = "GET /p HTTP/1.1\r\nHost: h.example\r\n\r\n";

class NoExcluder : public CIpExcluder {
public:
    bool AddAddress(const SocketAddressSlot&) override { return true; }
    bool RemoveAddress(const SocketAddressSlot&) override { return true; }
};

class FixedPreferences : public CPreferencesGetter {
public:
    std::shared_ptr<const Preferences> GetPreferences() override {
        ++calls;
        return std::make_shared<const Preferences>(value);
    }
    Preferences value;
    int calls = 0;
};

enum class Answer { Redirect, GreenPage, RedPage, PassedThrough, LoopPage };

struct Outcome {
    Answer answer;
    std::string page;  // what the client received
};

class HttpTrafficDecisionTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        SetScreenLogLevel(3);
        folder_ = std::filesystem::temp_directory_path() / ("hbt_decision_" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        if (checker_) {
            checker_->StopChecks();
            checker_->WaitForRunningChecks();
        }
        tls_.reset();
        std::filesystem::remove_all(folder_);
        LogTest::TearDown();
    }

    // The host's HTTPS server: a certificate for the given names.
    void ServeHttps(std::vector<std::string> names, const test::ServerTlsOptions& tlsOptions = {},
                    const std::string& reply = test::HttpReply(200)) {
        tls_ = std::make_unique<test::TestServer>(test::HttpsHandler(
            test::MakeServerContext(test::SharedPki().Issue({.names = std::move(names)}), tlsOptions), reply));
        HttpsCheckerOptions options;
        options.cachePath = (folder_ / "https_cache.xml").string();
        options.httpsPort = tls_->Port();
        options.bestEffortStepTimeoutMs = 2000;
        options.strictStepTimeoutMs = 2000;
        options.resolver = [](const std::string& host, int, SocketAddressSlot& address, int& error) {
            if (host != "www.h.example") {
                error = 11001;
                return false;
            }
            address = test::Loopback4();
            return true;
        };
        checker_ = CHttpsChecker::Create(options);
    }

    // A TLS policy that every test server meets unless a test narrows it.
    void SetMode(bool bestEffort, bool check, bool autoRedirect) {
        preferences_.value.allowedSslVersions = {kVersionTls12, kVersionTls13};
        preferences_.value.checkEncMethod = kCipherAllowAll;
        preferences_.value.allowInsecureIfNoHttps = bestEffort;
        preferences_.value.checkBeforeRedirect = check;
        preferences_.value.autoRedirect = autoRedirect;
    }

    Outcome Send(const std::string& request, bool limitHit = false) {
        auto pair = test::MakeConnectedPair();
        CHttpTraffic traffic(pair.accepted, &excluder_);
        traffic.SetHttpsChecker(checker_.get());
        const ConnectionDescription description = DescribeConnection(origin_.Address(), 4242, L"/usr/bin/app");
        auto done = std::async(std::launch::async, [&] {
            const bool ok =
                traffic.Process(description, &preferences_, limitHit, 50000, &counters_) == ProcessResult::kHandled;
            pair.accepted->Close();
            return ok;
        });
        test::SendText(*pair.client, request);
        ::shutdown(static_cast<int>(pair.client->Handle()), SHUT_WR);
        Outcome outcome{Answer::PassedThrough, test::ReadToEnd(*pair.client)};
        EXPECT_TRUE(done.get()) << traffic.errorText;
        const std::string& page = outcome.page;
        if (page.starts_with("HTTP/1.1 307 Temporary Redirect\r\n")) {
            outcome.answer = Answer::Redirect;
        } else if (page.find("Infinite loop connection detected!") != std::string::npos) {
            outcome.answer = Answer::LoopPage;
        } else if (page.find("&#x2713;") != std::string::npos) {
            outcome.answer = Answer::GreenPage;
        } else if (page.find("&#x2717;") != std::string::npos) {
            outcome.answer = Answer::RedPage;
        } else {
            EXPECT_TRUE(origin_.WaitForConnections(++passedThrough_));
            EXPECT_EQ(origin_.Received().back(), request);
        }
        return outcome;
    }

    bool Logged(const std::string& text) {
        for (const LogRecord& record : LogQueue::Instance().TakeAll()) {
            if (record.message.find(Utf8ToWide(text)) != std::wstring::npos) return true;
        }
        return false;
    }

    std::vector<uint64_t> Counters() const {
        return {counters_.httpsProxyConnections, counters_.httpBypassedByRule, counters_.httpBypassedWithoutHttps,
                counters_.httpUserActionRequests, counters_.httpRedirects,   counters_.httpLoopReports};
    }

    std::filesystem::path folder_;
    test::RecordingServer origin_;  // where the browser was going on port 80
    std::unique_ptr<test::TestServer> tls_;
    std::shared_ptr<CHttpsChecker> checker_;
    NoExcluder excluder_;
    FixedPreferences preferences_;
    HttpCounters counters_;
    std::size_t passedThrough_ = 0;
};

struct ModeCase {
    const char* name;
    bool bestEffort;
    bool check;
    bool autoRedirect;
    bool httpsWorks;
    Answer answer;
    int checks;  // TLS connections the decision made (the www retry adds one)
    std::vector<uint64_t> counters;
};

class HttpTrafficModeTest : public HttpTrafficDecisionTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(HttpTrafficModeTest, ModeDecidesTheAnswer) {
    const ModeCase& c = GetParam();
    ServeHttps({c.httpsWorks ? "h.example" : "other.example"});
    SetMode(c.bestEffort, c.check, c.autoRedirect);
    const Outcome outcome = Send(kRequest);
    EXPECT_EQ(outcome.answer, c.answer) << outcome.page.substr(0, 200);
    EXPECT_EQ(tls_->Connections(), c.checks);
    EXPECT_EQ(Counters(), c.counters);
    if (c.answer == Answer::Redirect) {
        EXPECT_NE(outcome.page.find("\r\nLocation: https://h.example/p\r\n"), std::string::npos);
    }
    // The steps are shown under "More info" only when the check failed.
    EXPECT_EQ(outcome.page.find("More info") != std::string::npos, c.answer == Answer::RedPage);
    if (c.answer == Answer::RedPage) {
        EXPECT_NE(outcome.page.find("h.example - checking HTTPS availability"), std::string::npos);
        EXPECT_NE(outcome.page.find("Check SSL certificate failed (hostname mismatch)"), std::string::npos);
        EXPECT_NE(outcome.page.find("www.h.example - checking HTTPS availability"), std::string::npos);
    }
    if (c.answer == Answer::PassedThrough) {
        EXPECT_TRUE(Logged(" bypassed for h.example (HTTPS is not available for this host)"));
    }
}

// Counters: tunnels, rule bypasses, bypasses without HTTPS, pages, redirects, loops.
INSTANTIATE_TEST_SUITE_P(
    Modes, HttpTrafficModeTest,
    ::testing::Values(
        ModeCase{"StrictUncheckedAuto", false, false, true, false, Answer::Redirect, 0, {0, 0, 0, 0, 1, 0}},
        ModeCase{"StrictUncheckedManual", false, false, false, false, Answer::GreenPage, 0, {0, 0, 0, 1, 0, 0}},
        ModeCase{"StrictCheckedHttpsAuto", false, true, true, true, Answer::Redirect, 1, {0, 0, 0, 0, 1, 0}},
        ModeCase{"StrictCheckedHttpsManual", false, true, false, true, Answer::GreenPage, 1, {0, 0, 0, 1, 0, 0}},
        ModeCase{"StrictCheckedNoHttps", false, true, true, false, Answer::RedPage, 2, {0, 0, 0, 1, 0, 0}},
        ModeCase{"BestEffortHttpsIgnoresAuto", true, false, false, true, Answer::Redirect, 1, {0, 0, 0, 0, 1, 0}},
        ModeCase{"BestEffortNoHttps", true, true, true, false, Answer::PassedThrough, 2, {0, 0, 1, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpTrafficDecisionTest, WwwRetryRedirectsToTheWwwHost) {
    ServeHttps({"www.h.example"});  // the bare name fails the certificate step
    SetMode(false, true, true);
    const Outcome outcome = Send(kRequest);
    ASSERT_EQ(outcome.answer, Answer::Redirect);
    EXPECT_NE(outcome.page.find("\r\nLocation: https://www.h.example/p\r\n"), std::string::npos);
    EXPECT_EQ(tls_->Connections(), 2);
    EXPECT_EQ(counters_.httpRedirects, 1u);

    // Without the automatic redirect the page offers the www name but keeps
    // the requested host for the exclusion links.
    SetMode(false, true, false);
    const Outcome page = Send(kRequest);
    ASSERT_EQ(page.answer, Answer::GreenPage);
    EXPECT_NE(page.page.find("Use secure alternative: <a href=\"https://www.h.example/p\""), std::string::npos);
}

TEST_F(HttpTrafficDecisionTest, StrictModeBlocksAHostTheTlsPolicyWouldCut) {
    ServeHttps({"h.example", "www.h.example"}, {.maxVersion = TLS1_2_VERSION});
    SetMode(false, true, true);
    preferences_.value.allowedSslVersions = {kVersionTls13};
    const Outcome outcome = Send(kRequest);
    ASSERT_EQ(outcome.answer, Answer::RedPage) << "no redirect into a connection the inspection cuts";
    EXPECT_NE(outcome.page.find("More info"), std::string::npos);
    EXPECT_NE(outcome.page.find("no HTTP deadloop detected"), std::string::npos);
    EXPECT_NE(outcome.page.find("TLS policy check failed (TLS 1.2 is not allowed)"), std::string::npos);
    EXPECT_EQ(counters_.httpUserActionRequests, 1u);

    // Best-Effort Mode applies no policy: the host is redirected.
    SetMode(true, true, true);
    preferences_.value.allowedSslVersions = {kVersionTls13};
    EXPECT_EQ(Send(kRequest).answer, Answer::Redirect);
}

TEST_F(HttpTrafficDecisionTest, HostsWithoutExactlyOneDotGetNoWwwRetry) {
    ServeHttps({"www.h.example"});
    SetMode(false, true, true);
    for (const std::string host : {"a.h.example", "localhost"}) {
        const Outcome outcome = Send("GET /p HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_EQ(outcome.answer, Answer::RedPage) << host;
        EXPECT_NE(outcome.page.find(host + " - checking HTTPS availability"), std::string::npos) << host;
        EXPECT_EQ(outcome.page.find("www." + host), std::string::npos) << host;
        EXPECT_EQ(outcome.page.find("Check result found in cache"), std::string::npos) << host;
    }
    EXPECT_EQ(tls_->Connections(), 2);

    // A second request is answered from the cache, which the page says.
    const Outcome again = Send("GET /p HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(again.answer, Answer::RedPage);
    EXPECT_NE(again.page.find("Check result found in cache"), std::string::npos);
}

TEST_F(HttpTrafficDecisionTest, RulesPassRequestsThroughWithTheirReason) {
    ServeHttps({"h.example"});
    SetMode(false, true, true);
    struct Case {
        std::string request;
        bool excludeCertReq;
        const char* log;
    };
    const Case cases[] = {
        {"GET /ocsp HTTP/1.1\r\nHost: ca.example\r\nUser-Agent: Microsoft-CryptoAPI/10.0\r\n\r\n", true,
         " bypassed for ca.example (MS OCSP - Certificate Status Request)"},
        {"POST / HTTP/1.1\r\nHost: ca.example\r\nContent-Type: application/ocsp-request\r\n\r\n", true,
         " bypassed for ca.example (CT OCSP - Certificate Status Request)"},
        {"GET / HTTP/1.1\r\nHost: skip.example\r\n\r\n", false, " bypassed for skip.example (exclusion list)"},
    };
    std::wstring message;
    ASSERT_TRUE(preferences_.value.SetExcludedHosts(L"skip.example", message));
    for (const Case& c : cases) {
        preferences_.value.excludeCertReq = c.excludeCertReq;
        EXPECT_EQ(Send(c.request).answer, Answer::PassedThrough) << c.log;
        EXPECT_TRUE(Logged(c.log)) << c.log;
    }
    EXPECT_EQ(Counters(), (std::vector<uint64_t>{0, 3, 0, 0, 0, 0}));
    EXPECT_EQ(tls_->Connections(), 0);

    // With the option off a status request is enforced like any other.
    preferences_.value.excludeCertReq = false;
    SetMode(false, false, false);
    EXPECT_EQ(Send(cases[0].request).answer, Answer::GreenPage);
    EXPECT_EQ(counters_.httpUserActionRequests, 1u);
}

struct PromiseCase {
    const char* name;
    bool bestEffort;
    bool check;
    bool autoRedirect;
};

class HttpTrafficPromiseTest : public HttpTrafficDecisionTest, public ::testing::WithParamInterface<PromiseCase> {};

// The host's HTTPS fails every check here (a certificate for another name),
// and still the promise redirects, without a check.
TEST_P(HttpTrafficPromiseTest, KeptPromiseRedirectsAtOnceInEveryMode) {
    ServeHttps({"other.example"});
    SetMode(GetParam().bestEffort, GetParam().check, GetParam().autoRedirect);
    preferences_.value.honorHsts = true;
    const int64_t expiry = std::time(nullptr) + 30 * 86400;
    ASSERT_EQ(checker_->Promises().Keep("h.example", expiry, false, std::time(nullptr)), HstsChange::kDone);
    const Outcome outcome = Send(kRequest);
    ASSERT_EQ(outcome.answer, Answer::Redirect) << outcome.page.substr(0, 300);
    EXPECT_NE(outcome.page.find("\r\nLocation: https://h.example/p\r\n"), std::string::npos);
    EXPECT_EQ(tls_->Connections(), 0);
    EXPECT_EQ(Counters(), (std::vector<uint64_t>{0, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(Logged(" Enforce HTTPS for h.example (HTTPS promised by the site until " + PromiseExpiryText(expiry) + ")"));
    EXPECT_NE(outcome.page.find("More info"), std::string::npos);
    EXPECT_NE(outcome.page.find("h.example promised HTTPS until " + PromiseExpiryText(expiry)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, HttpTrafficPromiseTest,
                         ::testing::Values(PromiseCase{"StrictUncheckedManual", false, false, false},
                                           PromiseCase{"StrictCheckedAuto", false, true, true},
                                           PromiseCase{"BestEffort", true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HttpTrafficDecisionTest, PreloadedParentCoversItsSubdomains) {
    ServeHttps({"other.example"});
    SetMode(true, true, true);
    preferences_.value.honorHsts = true;
    ASSERT_TRUE(checker_->Promises().ReplacePreloaded({{"example", true}}));
    const Outcome outcome = Send(kRequest);
    ASSERT_EQ(outcome.answer, Answer::Redirect);
    EXPECT_TRUE(Logged(" Enforce HTTPS for h.example (preloaded HTTPS host)"));
    EXPECT_NE(outcome.page.find("example is a preloaded HTTPS host, with its subdomains"), std::string::npos);
    EXPECT_EQ(tls_->Connections(), 0);
}

// Exclusions, certificate status requests and the loop page come first, and
// with the preference off a promise counts for nothing.
TEST_F(HttpTrafficDecisionTest, PromiseYieldsToRulesLoopsAndThePreference) {
    ServeHttps({"other.example"});
    SetMode(true, true, true);
    preferences_.value.honorHsts = true;
    const int64_t now = std::time(nullptr);
    for (const char* host : {"h.example", "skip.example", "ca.example"}) {
        checker_->Promises().Keep(host, now + 9 * 86400, false, now);
    }
    preferences_.value.excludeCertReq = true;
    std::wstring message;
    ASSERT_TRUE(preferences_.value.SetExcludedHosts(L"skip.example", message));
    EXPECT_EQ(Send("GET / HTTP/1.1\r\nHost: skip.example\r\n\r\n").answer, Answer::PassedThrough);
    EXPECT_EQ(Send("GET / HTTP/1.1\r\nHost: ca.example\r\nUser-Agent: Microsoft-CryptoAPI/10.0\r\n\r\n").answer,
              Answer::PassedThrough);
    EXPECT_EQ(Send(kRequest, true).answer, Answer::LoopPage);
    EXPECT_EQ(tls_->Connections(), 0);
    preferences_.value.honorHsts = false;
    EXPECT_EQ(Send(kRequest).answer, Answer::PassedThrough);
    EXPECT_EQ(Counters(), (std::vector<uint64_t>{0, 2, 1, 0, 0, 1}));
}

TEST_F(HttpTrafficDecisionTest, PromiseNearItsEndIsRefreshedInTheBackground) {
    ServeHttps({"h.example"}, {}, test::HttpReply(200, "Strict-Transport-Security: max-age=31536000"));
    SetMode(true, true, true);
    preferences_.value.honorHsts = true;
    const int64_t now = std::time(nullptr);
    checker_->Promises().Keep("h.example", now + 3600, false, now);
    EXPECT_EQ(Send(kRequest).answer, Answer::Redirect);
    ASSERT_TRUE(tls_->WaitForConnections(1));
    // The check's answer renews the promise for a year.
    bool renewed = false;
    for (int turn = 0; turn < 600 && !renewed; ++turn) {  // up to 30 s
        const auto promise = checker_->FindPromise("h.example");
        renewed = promise && promise->expiry >= now + 31536000;
        if (!renewed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(renewed);
}

TEST_F(HttpTrafficDecisionTest, FlaggedConnectionGetsTheLoopPageWithoutReadingPreferences) {
    ServeHttps({"h.example"});
    std::wstring message;
    ASSERT_TRUE(preferences_.value.SetExcludedHosts(L"h.example", message));
    SetMode(true, true, true);
    EXPECT_EQ(Send(kRequest, true).answer, Answer::LoopPage);
    EXPECT_EQ(preferences_.calls, 0);
    EXPECT_EQ(Counters(), (std::vector<uint64_t>{0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(tls_->Connections(), 0);
}

}  // namespace
}  // namespace hbt
