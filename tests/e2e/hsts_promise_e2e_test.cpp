// A site's HTTPS promise, kept by the program for every application: once the
// site has answered HTTPS with Strict-Transport-Security, blocking its port
// 443 on the path no longer gets plain HTTP passed through in Best-Effort
// Mode, also after the program starts again without its cached answers.
#include <signal.h>

#include <fstream>
#include <string>

#include "tests/e2e/program_e2e_fixture.h"

namespace hbt::e2e {
namespace {

class HstsPromiseE2e : public ProgramE2e {
protected:
    void ReplyWithPromise() {
        std::ofstream reply(dir_ + "/https-reply");
        reply << "HTTP/1.0 200 OK\r\nStrict-Transport-Security: max-age=86400\r\nContent-Length: 6\r\n"
                 "Connection: close\r\n\r\nsecure";
    }
    // What someone on the path does: drops every packet to port 443.
    bool BlockHttps() {
        bool added = false;
        RunInNamespace(net_.Server(), [&] {
            added = RunCommand({"iptables", "-A", "INPUT", "-p", "tcp", "--dport", "443", "-j", "DROP"}).exitCode == 0;
        });
        return added;
    }
    // hbtctl beside the program, where it can reach the running one.
    std::string Hbtctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {hbtctl_};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgramIn(net_.Client(), AsUser(argv)).output;
    }
};

TEST_F(HstsPromiseE2e, PromisedHostIsRedirectedWhenItsHttpsIsBlocked) {
    ReplyWithPromise();
    StartProgram();
    ASSERT_EQ(RedirectOf("http://secure.e2e.test/a"), "307 https://secure.e2e.test/a") << Output();
    EXPECT_EQ(Hbtctl({"hsts", "list"}).rfind("secure.e2e.test\t", 0), 0u) << Hbtctl({"hsts", "list"});

    ASSERT_EQ(program_.Stop(SIGTERM, 15), 0) << Output();
    ASSERT_TRUE(BlockHttps());
    RunCommand({"rm", "-f", dir_ + "/home/Documents/Harbinet/https_cache.xml"});
    StartProgram();
    EXPECT_EQ(RedirectOf("http://secure.e2e.test/b"), "307 https://secure.e2e.test/b") << Output();
    EXPECT_TRUE(WaitForOutput("Enforce HTTPS for secure.e2e.test (HTTPS promised by the site until ")) << Output();
    EXPECT_TRUE(server_.WaitForPeers(1, 0).empty()) << "the request never left the machine";

    // Without the promise the same request is passed through, as the check cannot reach HTTPS.
    EXPECT_NE(Hbtctl({"hsts", "forget", "secure.e2e.test"}).find("took the change up"), std::string::npos);
    EXPECT_EQ(Curl({"-i", "http://secure.e2e.test/c"}).output, kServerReply) << Output();
    EXPECT_TRUE(WaitForOutput("bypassed for secure.e2e.test (HTTPS is not available for this host)")) << Output();
}

}  // namespace
}  // namespace hbt::e2e
