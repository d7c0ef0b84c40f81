// The program as the user meets it: redirects, block pages and their links,
// the TLS policy, statistics, stopping, and a missing engine.
#include <signal.h>

#include <regex>
#include <string>
#include <thread>

#include "tests/e2e/program_e2e_fixture.h"

namespace hbt::e2e {
namespace {

// The statistics box text as the log shows it (one line per figure).
std::string StatisticsText(int total, int processed, int secured, int blocked, int redirected, int weak) {
    return "] Connections :\nTotal\t\t\t" + std::to_string(total) + "\nProcessed  \t\t" + std::to_string(processed) +
           "\nSecured\t\t\t" + std::to_string(secured) + "\n     HTTP blocked\t\t" + std::to_string(blocked) +
           "\n     Redirected to HTTPS\t" + std::to_string(redirected) + "\n     Weak SSL blocked  \t" +
           std::to_string(weak) + "\n";
}

TEST_F(ProgramE2e, BestEffortRedirectsHostsWithHttpsAndPassesTheOthersThrough) {
    StartProgram();
    EXPECT_EQ(RedirectOf("http://secure.e2e.test/a?b=1"), "307 https://secure.e2e.test/a?b=1") << Output();
    EXPECT_TRUE(server_.WaitForPeers(1, 0).empty());  // the request never left the machine

    // Nothing answers HTTPS on the IPv6 address: the page arrives as the server sent it.
    EXPECT_EQ(Curl({"-i", "http://plain.e2e.test/p"}).output, kServerReply) << Output();
    const auto peers = server6_.WaitForPeers(1, 1);
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].rfind("[2001:db8::2]:", 0), 0u) << peers[0];

    EXPECT_TRUE(WaitForOutput("Enforce HTTPS for secure.e2e.test")) << Output();
    EXPECT_TRUE(WaitForOutput("bypassed for plain.e2e.test (HTTPS is not available for this host)")) << Output();
}

TEST_F(ProgramE2e, StrictModeBlockPageLinkAddsTheHostAndForgedLinksChangeNothing) {
    SetPreference("allowInsecureIfNoHttps", "0");
    SetPreference("autoRedirect", "0");
    SetPreference("excludeHosts", "other.example");
    StartProgram();
    const std::string page = Curl({"http://secure.e2e.test/a"}).output;
    EXPECT_NE(page.find("<strong>Add to the exclusion list:</strong>"), std::string::npos) << page << Output();
    std::smatch link;
    const std::regex linkPattern("href=\"(http://127\\.0\\.0\\.1:[0-9]+/add_rule\\?host=secure\\.e2e\\.test&[^\"]*)\"");
    ASSERT_TRUE(std::regex_search(page, link, linkPattern)) << page;
    const std::string addRule = link[1];
    const auto tokenAt = addRule.find("&token=");
    ASSERT_NE(tokenAt, std::string::npos) << addRule;
    EXPECT_TRUE(server_.WaitForPeers(1, 0).empty());

    const std::string before = StoredPreferences();
    std::string otherToken = addRule;
    otherToken.back() = otherToken.back() == 'A' ? 'B' : 'A';
    for (const std::string& forged : {addRule.substr(0, tokenAt), otherToken}) {
        const std::string answer = Curl({"-i", forged}).output;
        EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << forged << "\n" << answer;
        EXPECT_NE(answer.find("<h2>Bad Request</h2>"), std::string::npos) << answer;
    }
    EXPECT_EQ(StoredPreferences(), before);

    const std::string result = Curl({addRule}).output;
    EXPECT_NE(result.find("<h2>Hostname secure.e2e.test added to the exclusion list.</h2>"), std::string::npos)
        << result << Output();
    EXPECT_NE(result.find("<a href=\"http://secure.e2e.test/a\">http://secure.e2e.test/a</a>"), std::string::npos)
        << result;
    EXPECT_NE(StoredPreferences().find("Settings/excludeHosts=secure.e2e.test\\nother.example\n"), std::string::npos)
        << StoredPreferences();

    EXPECT_EQ(Curl({"-i", "http://secure.e2e.test/a"}).output, kServerReply) << Output();
    EXPECT_EQ(server_.WaitForPeers(1, 1).size(), 1u);
    EXPECT_TRUE(WaitForOutput("bypassed for secure.e2e.test (exclusion list)")) << Output();
}

// Programs other than browsers must see a blocked download fail instead of
// saving our page as the file; a browser still shows the page.
TEST_F(ProgramE2e, BlockedDownloadFailsForScriptsAndStillShowsInABrowser) {
    SetPreference("allowInsecureIfNoHttps", "0");
    StartProgram();
    // The address has no HTTPS certificate of its own: Strict Mode blocks it.
    const std::string url = "http://192.0.2.1/file.tar.gz";
    const ProgramRun curl = Curl({"-f", "-o", "/dev/null", "-w", "%{http_code}", url});
    EXPECT_EQ(curl.exitCode, 22) << Output();
    EXPECT_EQ(curl.output, "403");

    const std::string saved = dir_ + "/file.tar.gz";
    const ProgramRun wget = RunProgramIn(net_.Client(), {"wget", "-q", "-T", "15", "-t", "1", "-O", saved, url});
    EXPECT_EQ(wget.exitCode, 8) << Output();  // the server issued an error response
    EXPECT_EQ(ReadFile(saved), "");

    const ProgramRun browser = RunProgramIn(
        net_.Client(), {"timeout", "60", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                        "--no-first-run", "--disable-background-networking", "--disable-component-update",
                        "--disable-sync", "--user-data-dir=" + dir_ + "/chromium", "--dump-dom", url});
    EXPECT_NE(browser.output.find("Non-secure HTTP Connection Blocked by  Harbinet"), std::string::npos)
        << browser.output << Output();
    EXPECT_TRUE(server_.WaitForPeers(1, 0).empty());  // nothing reached the server
}

TEST_F(ProgramE2e, TlsPolicyStopsATls10OnlyClientAndLetsAModernOneThrough) {
    SetPreference("allowInsecureIfNoHttps", "0");
    SetPreference("allowTls10", "0");
    SetPreference("logLevel", "3");
    BackgroundProgram https6;
    StartTlsServer(https6, "ip6");
    StartProgram();
    const ProgramRun modern = Curl({"https://secure.e2e.test/"});
    EXPECT_EQ(modern.output, "secure") << "curl exit " << modern.exitCode << Output();

    for (const std::string address : {"192.0.2.1", "[2001:db8::1]"}) {
        const ProgramRun old = RunProgramIn(
            net_.Client(), {"sh", "-c",
                            "exec timeout 15 openssl s_client -connect " + address +
                                ":443 -servername secure.e2e.test -tls1 -cipher DEFAULT@SECLEVEL=0 -CAfile " + dir_ +
                                "/ca.pem </dev/null 2>&1"});
        EXPECT_NE(old.exitCode, 0) << address << old.output;
        EXPECT_NE(old.output.find("no peer certificate available"), std::string::npos) << address << old.output;
        EXPECT_NE(old.output.find("alert handshake failure"), std::string::npos) << address << old.output << Output();
    }
    EXPECT_TRUE(WaitForOutput("(secure.e2e.test) (block: insecure TLS 1.0", 2)) << Output();
    // The server hears that the refused connections are over.
    std::string open;
    for (int i = 0; i < 50; ++i) {
        open = RunProgramIn(net_.Server(), {"ss", "-Htn", "state", "established", "sport", "= :443"}).output;
        if (open.empty()) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(open, "");
    kill(program_.Pid(), SIGUSR1);
    EXPECT_TRUE(WaitForOutput(StatisticsText(3, 3, 2, 0, 0, 2))) << Output();
    StopTlsServer(https6);
}

// The server's TLS 1.3 answer is refused: the client hears why in an alert
// instead of meeting a bare close it would take for a network fault.
TEST_F(ProgramE2e, RefusedServerAnswerReachesTheClientAsAnAlert) {
    SetPreference("allowInsecureIfNoHttps", "0");
    SetPreference("allowTls13", "0");
    StartProgram();
    const ProgramRun client = RunProgramIn(
        net_.Client(), {"sh", "-c",
                        "exec timeout 15 openssl s_client -connect 192.0.2.1:443 -servername secure.e2e.test "
                        "-CAfile " + dir_ + "/ca.pem </dev/null 2>&1"});
    EXPECT_NE(client.exitCode, 0) << client.output;
    EXPECT_NE(client.output.find("alert protocol version"), std::string::npos) << client.output << Output();
    EXPECT_EQ(client.output.find("BEGIN CERTIFICATE"), std::string::npos) << "nothing of the server's answer";
    EXPECT_TRUE(WaitForOutput("(secure.e2e.test) (block: insecure TLS 1.3)")) << Output();
}

TEST_F(ProgramE2e, OneRedirectMovesTheStatisticsShownOnSignalAndAtStop) {
    StartProgram();
    kill(program_.Pid(), SIGUSR1);
    EXPECT_TRUE(WaitForOutput(StatisticsText(0, 0, 0, 0, 0, 0))) << Output();

    EXPECT_EQ(RedirectOf("http://secure.e2e.test/"), "307 https://secure.e2e.test/") << Output();
    kill(program_.Pid(), SIGUSR1);
    EXPECT_TRUE(WaitForOutput(StatisticsText(1, 1, 1, 1, 1, 0))) << Output();

    EXPECT_EQ(program_.Stop(SIGTERM, 15), 0) << Output();
    EXPECT_EQ(Count(ReadFile(dir_ + "/harbinet.out"), StatisticsText(1, 1, 1, 1, 1, 0)), 2u) << Output();
}

TEST_F(ProgramE2e, StoppingLeavesConnectionsWorkingAndTheEngineStopped) {
    StartProgram();
    EXPECT_EQ(RedirectOf("http://secure.e2e.test/"), "307 https://secure.e2e.test/") << Output();
    EXPECT_EQ(DnatRuleCount(), 1u);  // to the program's IPv4 proxy
    ASSERT_EQ(program_.Stop(SIGTERM, 15), 0) << Output();

    // Nothing holds or redirects a connect any more: the request reaches the
    // server at once and its page comes back as sent.
    EXPECT_EQ(Curl({"--max-time", "3", "-i", "http://secure.e2e.test/"}).output, kServerReply);
    const auto peers = server_.WaitForPeers(1, 1);
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0].rfind("192.0.2.2:", 0), 0u) << peers[0];
    EXPECT_TRUE(engine_.Running());

    // The program let the device go: another client may open it.
    EngineTestClient next;
    std::string error;
    EXPECT_TRUE(next.Connect(device_, static_cast<uint32_t>(getpid()), false, &error)) << error;
    EXPECT_EQ(DnatRuleCount(), 0u);  // the rule went with the program
    next.Close();
}

// A service manager restarts an engine that was killed: the program takes up the new one by itself.
TEST_F(ProgramE2e, ProtectionComesBackWhenAKilledEngineIsStartedAgain) {
    StartProgram();
    EXPECT_EQ(RedirectOf("http://secure.e2e.test/"), "307 https://secure.e2e.test/") << Output();
    const auto killed = std::chrono::steady_clock::now();
    engine_.Stop(SIGKILL, 10);
    const std::string gone = "] Network Engine is gone. Protection is off until it is back.\n";
    ASSERT_TRUE(WaitForOutput(gone)) << Output();

    StartEngine();
    const auto restarted = std::chrono::steady_clock::now();
    std::string answer;
    for (int i = 0; i < 300 && answer != "307 https://secure.e2e.test/"; ++i) {
        if (i > 0) std::this_thread::sleep_for(100ms);
        answer = RedirectOf("http://secure.e2e.test/");
    }
    EXPECT_EQ(answer, "307 https://secure.e2e.test/") << Output();
    const auto now = std::chrono::steady_clock::now();
    const auto ms = [](auto duration) {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
    };
    std::printf("[   INFO   ] protection back %lld ms after the engine served again (%lld ms after the kill)\n",
                ms(now - restarted), ms(now - killed));
    EXPECT_TRUE(WaitForOutput("] Network Engine is back. Protection restored.\n")) << Output();
    const std::string output = ReadFile(dir_ + "/harbinet.out");
    EXPECT_EQ(Count(output, gone), 1u) << Output();
    EXPECT_EQ(Count(output, "GetEvent failed with error"), 1u) << Output();
    EXPECT_TRUE(program_.Running());
}

TEST_F(ProgramE2e, WithoutTheEngineTheProgramEndsWithStatus2) {
    const ProgramRun run = RunProgramIn(
        net_.Client(), AsUser({"env", "HBT_ENGINE_DEVICE=" + dir_ + "/missing", harbinet_, "--headless"}));
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("] NfeOpenDevice failed with error CreateFileW failed with error 2\n"), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace hbt::e2e
