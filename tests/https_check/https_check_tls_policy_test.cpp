// The HTTPS check's last step in Strict Mode: what the handshake with a real
// loopback server negotiated, judged by the TLS policy, for fresh and for
// cached answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "https_check/https_cache_file.h"
#include "https_check/https_checker.h"
#include "rules/preferences.h"
#include "tests/https_check/checker_fixture.h"
#include "tests/https_check/test_server.h"

namespace hbt {
namespace {

using ::testing::Not;
using ::testing::Contains;

constexpr const char* kHost = "site.example";
constexpr uint16_t kEcdsaAes128Gcm = 0xC02B;

Preferences Policy(bool bestEffort, std::vector<uint16_t> allowed, std::map<uint16_t, bool> overrides = {}) {
    Preferences p;
    p.allowInsecureIfNoHttps = bestEffort;
    p.allowedSslVersions = std::move(allowed);
    p.checkEncMethod = overrides.empty() ? kCipherAllowAll : kCipherCustom;
    p.cipherBaseMode = kCipherAllowAll;
    p.cipherOverrides = std::move(overrides);
    return p;
}

std::unique_ptr<test::TestServer> ServerSpeaking(const test::ServerTlsOptions& tls) {
    return std::make_unique<test::TestServer>(test::HttpsHandler(
        test::MakeServerContext(test::SharedPki().Issue({.names = {kHost}}), tls), test::HttpReply(200)));
}

class HttpsCheckTlsPolicyTest : public test::CheckerFixture {
protected:
    void MakeChecker(uint16_t port) {
        HttpsCheckerOptions options;
        options.httpsPort = port;
        CreateChecker(options);
    }

    HttpsCheckResult Check(const test::TestServer& server, const Preferences& preferences, bool* fromCache = nullptr) {
        HttpsCheckResult result;
        const bool cached = checker_->Check(result, kHost, kHost, server.Address(), L"", 0, false, preferences, false);
        if (fromCache) *fromCache = cached;
        return result;
    }

};

TEST_F(HttpsCheckTlsPolicyTest, LastStepJudgesWhatTheHandshakeNegotiated) {
    struct Case {
        const char* name;
        test::ServerTlsOptions server;
        Preferences preferences;
        bool available;
        const char* lastText;
    };
    const test::ServerTlsOptions tls12Aes128{.maxVersion = TLS1_2_VERSION, .cipherList = "ECDHE-ECDSA-AES128-GCM-SHA256"};
    const Case cases[] = {
        {"allowed", {}, Policy(false, {kVersionTls12, kVersionTls13}), true, "TLS policy check succeeded"},
        {"refused version", tls12Aes128, Policy(false, {kVersionTls13}), false,
         "TLS policy check failed (TLS 1.2 is not allowed)"},
        {"refused suite", tls12Aes128, Policy(false, {kVersionTls12}, {{kEcdsaAes128Gcm, false}}), false,
         "TLS policy check failed (cipher suite 0xC02B TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256 is not allowed)"},
        {"Best-Effort Mode has no such step", tls12Aes128, Policy(true, {kVersionTls13}), true,
         "no HTTP deadloop detected"},
    };
    for (const Case& c : cases) {
        const auto server = ServerSpeaking(c.server);
        HttpsCheckerOptions options;
        options.useCache = false;
        options.httpsPort = server->Port();
        checker_ = CHttpsChecker::Create(options);
        const HttpsCheckResult result = Check(*server, c.preferences);
        EXPECT_EQ(result.available, c.available) << c.name;
        ASSERT_FALSE(result.messages.empty()) << c.name;
        EXPECT_EQ(result.messages.back(), (CheckMessage{true, c.available, c.lastText})) << c.name;
        EXPECT_EQ(result.messages[result.messages.size() - 2].text, c.preferences.allowInsecureIfNoHttps
                                                                        ? "Check SSL certificate succeeded"
                                                                        : "no HTTP deadloop detected")
            << c.name << ": the step comes right after the response check";
    }
}

TEST_F(HttpsCheckTlsPolicyTest, CachedAnswerIsJudgedByThePolicyInForce) {
    const auto server = ServerSpeaking({.maxVersion = TLS1_2_VERSION, .cipherList = "ECDHE-ECDSA-AES128-GCM-SHA256"});
    MakeChecker(server->Port());
    EXPECT_FALSE(Check(*server, Policy(false, {kVersionTls13})).available);
    ++now_;

    bool fromCache = false;
    HttpsCheckResult result = Check(*server, Policy(false, {kVersionTls12, kVersionTls13}), &fromCache);
    EXPECT_TRUE(fromCache);
    EXPECT_TRUE(result.available) << "a wider policy counts at once";
    EXPECT_EQ(result.messages.back().text, "TLS policy check succeeded");

    result = Check(*server, Policy(true, {kVersionTls13}), &fromCache);
    EXPECT_TRUE(fromCache);
    EXPECT_TRUE(result.available) << "so does the switch to Best-Effort Mode";
    EXPECT_THAT(result.messages, Not(Contains(CheckMessage{true, false, "TLS policy check failed (TLS 1.2 is not allowed)"})));
    EXPECT_EQ(server->Connections(), 1);

    HttpsCacheAnswers answers;
    ASSERT_TRUE(LoadHttpsCacheFile(CachePath(), answers));
    EXPECT_EQ(answers, (HttpsCacheAnswers{{"site.example/site.example", {true, 0x0303, kEcdsaAes128Gcm}}}));
}

TEST_F(HttpsCheckTlsPolicyTest, OlderFileEntryIsCheckedAgainInStrictModeOnly) {
    const auto server = ServerSpeaking({.maxVersion = TLS1_2_VERSION});
    ASSERT_TRUE(SaveHttpsCacheFile(CachePath(), {{"site.example/site.example", {true}}}));
    MakeChecker(server->Port());

    bool fromCache = true;
    HttpsCheckResult result = Check(*server, Policy(false, {kVersionTls13}), &fromCache);
    EXPECT_FALSE(fromCache);
    EXPECT_FALSE(result.available);
    EXPECT_EQ(result.messages.back().text, "TLS policy check failed (TLS 1.2 is not allowed)");
    EXPECT_EQ(server->Connections(), 1);

    ASSERT_TRUE(SaveHttpsCacheFile(CachePath(), {{"other.example/other.example", {true}}}));
    MakeChecker(server->Port());
    HttpsCheckResult bestEffort;
    EXPECT_TRUE(checker_->Check(bestEffort, "other.example", "other.example", server->Address(), L"", 0, false,
                                Policy(true, {}), false));
    EXPECT_TRUE(bestEffort.available);
    EXPECT_EQ(bestEffort.messages.front().text, "Result from file cache");
}

}  // namespace
}  // namespace hbt
