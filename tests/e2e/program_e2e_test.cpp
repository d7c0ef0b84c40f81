// harbinet --headless for real: the engine daemon and the program run in the
// client namespace (the program as an ordinary user, with a home and settings
// of its own), plain HTTP and HTTPS servers in the server namespace, and curl
// and openssl stand for the user's applications.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "HbtEngineDrv/netfilter/command_runner.h"
#include "tests/e2e/background_program.h"
#include "tests/e2e/engine_test_client.h"
#include "tests/e2e/netns_pair.h"
#include "tests/e2e/test_server.h"
#include "tests/https_check/test_pki.h"

namespace hbt::e2e {
namespace {

using namespace std::chrono_literals;

// The program runs as this user; the engine lets it (and the test, as root) open the device.
constexpr const char* kUserId = "65534";
// Both names resolve (for curl) to the server namespace: the first over IPv4,
// where the HTTPS server holds a certificate for it, the second over IPv6,
// where nothing listens on 443. Two dots each, so no "www." retry is made.
constexpr const char* kSecureHost = "secure.e2e.test";
constexpr const char* kPlainHost = "plain.e2e.test";
constexpr const char* kServerReply = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The statistics box text as the log shows it (one line per figure).
std::string StatisticsText(int total, int processed, int secured, int blocked, int redirected, int weak) {
    return "] Connections :\nTotal\t\t\t" + std::to_string(total) + "\nProcessed  \t\t" + std::to_string(processed) +
           "\nSecured\t\t\t" + std::to_string(secured) + "\n     HTTP blocked\t\t" + std::to_string(blocked) +
           "\n     Redirected to HTTPS\t" + std::to_string(redirected) + "\n     Weak SSL blocked  \t" +
           std::to_string(weak) + "\n";
}

bool WritePem(const std::string& path, const std::function<int(FILE*)>& write) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool ok = write(file) == 1;
    return std::fclose(file) == 0 && ok;
}

// One authority for the whole run; its files are written per test.
const test::TestPki& Pki() {
    static const test::TestPki pki;
    return pki;
}

class ProgramE2e : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        if (!net_.Create(&reason)) GTEST_SKIP() << reason;
        dir_ = ::testing::TempDir() + "hbt-program-" + net_.Client();
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        for (const char* folder : {"/home", "/config"}) {
            ASSERT_EQ(mkdir((dir_ + folder).c_str(), 0700), 0);
            ASSERT_EQ(chown((dir_ + folder).c_str(), 65534, 65534), 0);
        }
        device_ = dir_ + "/HbtEngineDrv";
        ASSERT_TRUE(server_.Start(net_.Server(), "192.0.2.1", 80));
        ASSERT_TRUE(server6_.Start(net_.Server(), "2001:db8::1", 80));
        StartHttpsServer();
        StartEngine();
        // No update check: nothing but the test addresses is ever contacted.
        SetPreference("updatesCheck", "0");
    }

    void TearDown() override {
        if (program_.Pid() > 0) {
            EXPECT_EQ(program_.Stop(SIGTERM, 15), 0) << Output();
        }
        if (engine_.Pid() > 0) {
            EXPECT_EQ(engine_.Stop(SIGTERM, 10), 0) << ReadFile(dir_ + "/engined.log");
        }
        StopTlsServer(https_);
        if (!dir_.empty()) RunCommand({"rm", "-rf", dir_});
    }

    void StartHttpsServer() {
        const test::Credential credential = Pki().Issue({{kSecureHost}});
        ASSERT_TRUE(WritePem(dir_ + "/ca.pem", [](FILE* f) { return PEM_write_X509(f, Pki().Authority().cert.get()); }));
        ASSERT_TRUE(WritePem(dir_ + "/server.pem", [&](FILE* f) { return PEM_write_X509(f, credential.cert.get()); }));
        ASSERT_TRUE(WritePem(dir_ + "/server.key", [&](FILE* f) {
            return PEM_write_PrivateKey(f, credential.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        }));
        {
            std::ofstream reply(dir_ + "/https-reply");
            reply << "HTTP/1.0 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nsecure";
        }
        StartTlsServer(https_, "ip4");
    }

    // One process per connection: a connection the program blocks never
    // holds up the next one. `family` is "ip4" or "ip6".
    void StartTlsServer(BackgroundProgram& server, const std::string& family) {
        ASSERT_TRUE(server.Start({"ip", "netns", "exec", net_.Server(), "socat", "-T", "10",
                                  "OPENSSL-LISTEN:443,fork,reuseaddr,pf=" + family + (family == "ip6" ? ",ipv6only=1" : "") +
                                      ",verify=0,cert=" + dir_ +
                                      "/server.pem,key=" + dir_ + "/server.key",
                                  // The answer goes out first; reading the request afterwards
                                  // keeps the writer from meeting a closed pipe.
                                  "SYSTEM:cat " + dir_ + "/https-reply; cat >/dev/null"},
                                 dir_ + "/https-" + family + ".log"));
        const std::vector<std::string> listening = {"ss", "-Htln", "-f", family == "ip4" ? "inet" : "inet6", "sport",
                                                    "= :443"};
        for (int i = 0; i < 50 && RunProgramIn(net_.Server(), listening).output.empty(); ++i) {
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_FALSE(RunProgramIn(net_.Server(), listening).output.empty()) << ReadFile(dir_ + "/https-" + family + ".log");
    }

    // The connection a blocked client left open keeps its server process
    // waiting: end those first (by id), then the listener.
    static void StopTlsServer(BackgroundProgram& server) {
        if (server.Pid() <= 0) return;
        const std::string pid = std::to_string(server.Pid());
        std::istringstream children(ReadFile("/proc/" + pid + "/task/" + pid + "/children"));
        for (int child; children >> child;) kill(child, SIGTERM);
        server.Stop(SIGTERM, 5);
    }

    void StartEngine() {
        ASSERT_TRUE(engine_.Start({"ip", "netns", "exec", net_.Client(), HBT_ENGINED_PATH, "--device", device_,
                                   "--allow-uid", kUserId, "--allow-uid", "0"},
                                  dir_ + "/engined.log"));
        for (int i = 0; i < 100 && ReadFile(dir_ + "/engined.log").find("serving") == std::string::npos; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_NE(ReadFile(dir_ + "/engined.log").find("serving"), std::string::npos) << ReadFile(dir_ + "/engined.log");
    }

    // The user's command line: an ordinary user with the test's home, settings and trusted authority.
    std::vector<std::string> AsUser(std::vector<std::string> argv) const {
        std::vector<std::string> full = {"setpriv",
                                         std::string("--reuid=") + kUserId,
                                         std::string("--regid=") + kUserId,
                                         "--clear-groups",
                                         "env",
                                         "-i",
                                         "PATH=/usr/bin:/bin",
                                         "HOME=" + dir_ + "/home",
                                         "XDG_CONFIG_HOME=" + dir_ + "/config",
                                         "HBT_ENGINE_DEVICE=" + device_,
                                         "SSL_CERT_FILE=" + dir_ + "/ca.pem",
                                         "SSL_CERT_DIR=/nonexistent"};
        full.insert(full.end(), argv.begin(), argv.end());
        return full;
    }

    void SetPreference(const std::string& key, const std::string& value) {
        const CommandResult r = RunCommand(AsUser({HBTCTL_PATH, "prefs", "set", key, value}));
        ASSERT_EQ(r.exitCode, 0) << key << "=" << value << ": " << r.errors;
    }
    std::string StoredPreferences() { return RunCommand(AsUser({HBTCTL_PATH, "prefs", "show"})).output; }

    // Starts harbinet --headless with standard output in a file and waits
    // until it serves: both proxy listeners and the control endpoint.
    void StartProgram() {
        std::vector<std::string> argv = {"ip", "netns", "exec", net_.Client(), "sh", "-c", "exec \"$@\" >\"$0\"",
                                         dir_ + "/harbinet.out"};
        for (auto& a : AsUser({HARBINET_PATH, "--headless"})) argv.push_back(a);
        ASSERT_TRUE(program_.Start(argv, dir_ + "/harbinet.err"));
        for (int i = 0; i < 100 && program_.Running(); ++i) {
            const std::string listening = RunProgramIn(net_.Client(), {"ss", "-Htlnp"}).output;
            if (Count(listening, "\"harbinet\"") >= 3) break;
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_GE(Count(RunProgramIn(net_.Client(), {"ss", "-Htlnp"}).output, "\"harbinet\""), 3u) << Output();
        // The switch goes on right after the control endpoint opens.
        std::this_thread::sleep_for(300ms);
    }

    std::string Output() {
        return "\nprogram output:\n" + ReadFile(dir_ + "/harbinet.out") + "\nprogram errors:\n" +
               ReadFile(dir_ + "/harbinet.err") + "\nengine log:\n" + ReadFile(dir_ + "/engined.log");
    }
    // Waits up to `seconds` for `count` occurrences of `text` in the program's output.
    bool WaitForOutput(const std::string& text, std::size_t count = 1, int seconds = 5) {
        for (int i = 0; i < seconds * 20; ++i) {
            if (Count(ReadFile(dir_ + "/harbinet.out"), text) >= count) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    ProgramRun Curl(std::vector<std::string> arguments) {
        std::vector<std::string> argv = {"curl", "-s", "-g", "--max-time", "15", "--cacert", dir_ + "/ca.pem",
                                         "--resolve", std::string(kSecureHost) + ":80:192.0.2.1",
                                         "--resolve", std::string(kSecureHost) + ":443:192.0.2.1",
                                         "--resolve", std::string(kPlainHost) + ":80:[2001:db8::1]"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProgramIn(net_.Client(), argv);
    }
    // Status and redirect target of a plain request for the secure host.
    std::string RedirectOf(const std::string& url) {
        return Curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", url}).output;
    }

    NetnsPair net_;
    std::string dir_;
    std::string device_;
    TcpTestServer server_;
    TcpTestServer server6_;
    BackgroundProgram https_;
    BackgroundProgram engine_;
    BackgroundProgram program_;
};

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
        net_.Client(), AsUser({"env", "HBT_ENGINE_DEVICE=" + dir_ + "/missing", HARBINET_PATH, "--headless"}));
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("] NfeOpenDevice failed with error CreateFileW failed with error 2\n"), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace hbt::e2e
