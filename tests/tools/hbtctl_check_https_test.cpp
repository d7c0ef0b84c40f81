// hbtctl check-https. Checks against a test server call the command in-process,
// because hbtctl always checks port 443 and the test server has a port of its
// own; everything else runs the real hbtctl.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/https_check/test_server.h"
#include "tests/tools/hbtctl_runner.h"
#include "tools/check_https_command.h"

namespace hbt {
namespace {

using test::HbtctlRun;
using test::HttpReply;
using test::MakeServerContext;
using test::RunHbtctl;
using test::SharedPki;
using test::TestServer;

struct CommandRun {
    int status;
    std::string output;
};

CommandRun RunCommand(const std::vector<std::string>& args, uint16_t port) {
    std::FILE* out = std::tmpfile();
    const int status = ctl::RunCheckHttps(args, port, out);
    std::rewind(out);
    std::string text;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), out)) > 0) text.append(buffer, n);
    std::fclose(out);
    return {status, text};
}

HbtctlRun CheckHttps(std::vector<std::string> args) {
    args.insert(args.begin(), "check-https");
    return RunHbtctl(args);
}

TEST(HbtctlCheckHttps, AvailableHostListsPassedSteps) {
    TestServer server(test::HttpsHandler(MakeServerContext(SharedPki().Issue({.names = {"site.example"}})),
                                         HttpReply(200)));
    const CommandRun run = RunCommand({"site.example", "--address", "127.0.0.1"}, server.Port());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "+ Connection to 127.0.0.1:" + std::to_string(server.Port()) +
                              " established\n"
                              "+ SSL handshake succeeded\n"
                              "+ Check SSL certificate succeeded\n"
                              "+ no HTTP deadloop detected\n"
                              "HTTPS is available\n");
}

TEST(HbtctlCheckHttps, FailedStepEndsTheList) {
    TestServer server(test::HttpsHandler(
        MakeServerContext(SharedPki().Issue({.names = {"site.example"}, .selfSigned = true})), HttpReply(200)));
    const CommandRun run = RunCommand({"--address", "127.0.0.1", "site.example"}, server.Port());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("+ SSL handshake succeeded\n"
                              "- Check SSL certificate failed (self-signed certificate)\n"
                              "HTTPS is not available\n"),
              std::string::npos)
        << run.output;
}

// --strict judges the stored TLS policy as the program's Strict Mode does.
class HbtctlCheckHttpsStrict : public test::HbtctlHomeTest {
protected:
    void SetUp() override {
        HbtctlHomeTest::SetUp();
        setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        HbtctlHomeTest::TearDown();
    }
};

TEST_F(HbtctlCheckHttpsStrict, ShowsTheTlsPolicyStep) {
    TestServer server(test::HttpsHandler(
        MakeServerContext(SharedPki().Issue({.names = {"site.example"}}), {.maxVersion = TLS1_2_VERSION}),
        HttpReply(200)));
    struct Case {
        const char* allowedSslVersions;
        int status;
        const char* ending;
    };
    const Case cases[] = {
        {"772", 1, "+ no HTTP deadloop detected\n- TLS policy check failed (TLS 1.2 is not allowed)\n"
                   "HTTPS is not available\n"},
        {"771,772", 0, "+ no HTTP deadloop detected\n+ TLS policy check succeeded\nHTTPS is available\n"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Run({"prefs", "set", "allowedSslVersions", c.allowedSslVersions}).status, 0);
        const CommandRun run = RunCommand({"site.example", "--address", "127.0.0.1", "--strict"}, server.Port());
        EXPECT_EQ(run.status, c.status) << c.allowedSslVersions;
        EXPECT_TRUE(run.output.ends_with(c.ending)) << run.output;
    }
    // Without --strict the step is not taken.
    const CommandRun bestEffort = RunCommand({"site.example", "--address", "127.0.0.1"}, server.Port());
    EXPECT_TRUE(bestEffort.output.ends_with("+ no HTTP deadloop detected\nHTTPS is available\n")) << bestEffort.output;
}

TEST(HbtctlCheckHttps, ProxyRefusalIsShown) {
    TestServer proxy(test::ProxyHandler("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"));
    const HbtctlRun run = CheckHttps({"site.example", "--via-proxy", "127.0.0.1:" + std::to_string(proxy.Port())});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("- Connection through proxy failed. Proxy server cannot establish a connection with "
                           "the target, status code407\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(proxy.Requests().at(0), "CONNECT site.example:443 HTTP/1.1\r\nHost: site.example:443\r\n\r\n");
}

TEST(HbtctlCheckHttps, BadArgumentsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--strict"},
        {"a.example", "b.example"},
        {"a.example", "--address", "not-an-address"},
        {"a.example", "--address"},
        {"a.example", "--via-proxy", "127.0.0.1"},
        {"a.example", "--via-proxy", "127.0.0.1:99999"},
        {"a.example", "--unknown"},
    };
    for (const auto& args : cases) EXPECT_EQ(CheckHttps(args).status, 2) << ::testing::PrintToString(args);
}

// A proxy reaches HOST by name, so an address given with it would be dropped
// silently; the user is told why instead of only seeing the usage.
TEST(HbtctlCheckHttps, AddressWithProxyIsRefusedWithTheReason) {
    const std::vector<std::vector<std::string>> cases = {
        {"a.example", "--address", "127.0.0.1", "--via-proxy", "127.0.0.1:3128"},
        {"a.example", "--via-proxy", "127.0.0.1:3128", "--address", "127.0.0.1"},
    };
    for (const auto& args : cases) {
        const HbtctlRun run = CheckHttps(args);
        EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
        EXPECT_TRUE(run.err.starts_with("hbtctl check-https: --address and --via-proxy cannot be combined: a check "
                                        "through a proxy reaches HOST by name, so no address can be given\nusage:\n"))
            << run.err;
        EXPECT_NE(run.err.find("[--address IP | --via-proxy IP:PORT]"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

}  // namespace
}  // namespace hbt
