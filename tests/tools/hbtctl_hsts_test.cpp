// hbtctl hsts and the promises check-https keeps. check-https runs in-process
// against a test server's port (as in hbtctl_check_https_test.cpp), with the
// test's home as the user's; the hsts commands run the real hbtctl.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/https_check/test_server.h"
#include "tests/tools/hbtctl_runner.h"
#include "tools/check_https_command.h"

namespace hbt {
namespace {

using test::HbtctlRun;
using test::HttpReply;
using test::MakeServerContext;
using test::SharedPki;
using test::TestServer;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr char kDate[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC";

class HbtctlHsts : public test::HbtctlHomeTest {
protected:
    void SetUp() override {
        HbtctlHomeTest::SetUp();
        if (const char* home = std::getenv("HOME")) ownHome_ = home;
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
        unsetenv("XDG_DOCUMENTS_DIR");
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        setenv("HOME", ownHome_.c_str(), 1);
        HbtctlHomeTest::TearDown();
    }

    // check-https of site.example against a server answering with the given header line.
    std::string CheckWithHeader(const std::string& header) {
        TestServer server(test::HttpsHandler(MakeServerContext(SharedPki().Issue({.names = {"site.example"}})),
                                             HttpReply(200, header)));
        std::FILE* out = std::tmpfile();
        ctl::RunCheckHttps({"site.example", "--address", "127.0.0.1"}, server.Port(), out);
        std::rewind(out);
        std::string text;
        char buffer[512];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), out)) > 0;) text.append(buffer, n);
        std::fclose(out);
        return text;
    }

    std::string ownHome_;
};

TEST_F(HbtctlHsts, CheckHttpsKeepsAndWithdrawsTheSitesPromise) {
    const std::string kept = CheckWithHeader("Strict-Transport-Security: max-age=3600; includeSubDomains");
    EXPECT_THAT(kept, MatchesRegex(".*HTTPS is available\nHSTS: site.example until " + std::string(kDate) +
                                   " with subdomains\n"));
    EXPECT_THAT(Run({"hsts", "list"}).out, MatchesRegex("site.example\t" + std::string(kDate) + "\tsubdomains\n"));

    EXPECT_TRUE(CheckWithHeader("Strict-Transport-Security: max-age=0").ends_with(
        "HTTPS is available\nHSTS: site.example withdrawn\n"));
    EXPECT_EQ(Run({"hsts", "list"}).out, "");
    // Nothing left to withdraw: nothing said.
    EXPECT_TRUE(CheckWithHeader("Strict-Transport-Security: max-age=0").ends_with("HTTPS is available\n"));
}

TEST_F(HbtctlHsts, AddAndForgetWithTheirRefusals) {
    const HbtctlRun added = Run({"hsts", "add", "A.Example.", "--subdomains", "--days", "2"});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_THAT(added.out, MatchesRegex("HSTS: a.example until " + std::string(kDate) + " with subdomains\n.*"));
    EXPECT_EQ(Run({"hsts", "add", "b.example"}).status, 0);
    EXPECT_THAT(Run({"hsts", "list"}).out, MatchesRegex("a.example\t" + std::string(kDate) + "\tsubdomains\n" +
                                                        "b.example\t" + kDate + "\t-\n"));

    EXPECT_EQ(Run({"hsts", "add", "192.0.2.1"}).status, 1);
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"hsts", "add"}, {"hsts", "add", "c.example", "--days", "0"},
          {"hsts", "add", "c.example", "--days", "731"}, {"hsts", "add", "c.example", "--weeks", "1"},
          {"hsts", "forget"}, {"hsts"}}) {
        EXPECT_EQ(Run(wrong).status, 2) << ::testing::PrintToString(wrong);
    }

    EXPECT_EQ(Run({"hsts", "forget", "a.example"}).status, 0);
    const HbtctlRun again = Run({"hsts", "forget", "a.example"});
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("no learned HTTPS promise for a.example"));
    EXPECT_THAT(Run({"hsts", "list"}).out, MatchesRegex("b.example\t" + std::string(kDate) + "\t-\n"));
}

TEST_F(HbtctlHsts, ImportReplacesThePreloadedNamesOfAChromiumList) {
    const auto list = home_ / "preload.json";
    std::ofstream(list) << "// a list in Chromium's layout\n"
                           "{ \"entries\": [\n"
                           "  { \"name\": \"pinned.example\", \"pins\": \"test\" },\n"
                           "  { \"name\": \"sub.example\", \"mode\": \"force-https\", \"include_subdomains\": true },\n"
                           "  { \"name\": \"exact.example\", \"mode\": \"force-https\" },\n"
                           "  { \"name\": \"192.0.2.1\", \"mode\": \"force-https\" }\n"
                           "] }\n";
    const HbtctlRun imported = Run({"hsts", "import", list.string()});
    EXPECT_EQ(imported.status, 0) << imported.err;
    EXPECT_THAT(imported.out, MatchesRegex("imported 2 preloaded names \\(1 with subdomains\\) into .*/Documents/"
                                           "Harbinet/hsts_preload.txt\nskipped 1 entries of other modes and 1 with "
                                           "names that cannot hold a promise\n.*"));
    ASSERT_EQ(Run({"hsts", "add", "own.example"}).status, 0);
    EXPECT_THAT(Run({"hsts", "list"}).out, MatchesRegex("own.example\t" + std::string(kDate) +
                                                        "\t-\nexact.example\tpreloaded\t-\n"
                                                        "sub.example\tpreloaded\tsubdomains\n"));
    EXPECT_EQ(Run({"hsts", "forget", "exact.example"}).status, 1);

    std::ofstream(list) << "{ \"entries\": [ { \"name\": \"x.example\" } ";
    const HbtctlRun broken = Run({"hsts", "import", list.string()});
    EXPECT_EQ(broken.status, 1);
    EXPECT_THAT(broken.err, HasSubstr("preload.json: line 1: ']' expected"));
    EXPECT_THAT(Run({"hsts", "list"}).out, HasSubstr("sub.example\tpreloaded\tsubdomains\n"));
}

}  // namespace
}  // namespace hbt
