#include "tools/check_https_command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/https_check/test_server.h"

namespace hbt {
namespace {

using test::HttpReply;
using test::MakeServerContext;
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

TEST(CheckHttpsCommandTest, AvailableHostListsPassedSteps) {
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

TEST(CheckHttpsCommandTest, FailedStepEndsTheList) {
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

TEST(CheckHttpsCommandTest, ProxyRefusalIsShown) {
    TestServer proxy(test::ProxyHandler("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"));
    const CommandRun run = RunCommand({"site.example", "--via-proxy", "127.0.0.1:" + std::to_string(proxy.Port())}, 443);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("- Connection through proxy failed. Proxy server cannot establish a connection with "
                              "the target, status code407\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(proxy.Requests().at(0), "CONNECT site.example:443 HTTP/1.1\r\nHost: site.example:443\r\n\r\n");
}

TEST(CheckHttpsCommandTest, BadArgumentsAreUsageErrors) {
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
    for (const auto& args : cases) EXPECT_EQ(RunCommand(args, 443).status, 2) << ::testing::PrintToString(args);
}

}  // namespace
}  // namespace hbt
