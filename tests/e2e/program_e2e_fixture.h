#pragma once
// The program end to end: harbinet --headless for real, the engine daemon and
// the program in the client namespace (the program as an ordinary user, with a
// home and settings of its own), plain HTTP and HTTPS servers in the server
// namespace; curl and openssl stand for the user's applications.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "HbtEngineDrv/netfilter/command_runner.h"
#include "tests/e2e/background_program.h"
#include "tests/e2e/engine_test_client.h"
#include "tests/e2e/netns_pair.h"
#include "tests/e2e/program_copy.h"
#include "tests/e2e/test_server.h"
#include "tests/https_check/test_pki.h"

namespace hbt::e2e {

using namespace std::chrono_literals;

// The program runs as this user; the engine lets it (and the test, as root) open the device.
constexpr const char* kUserId = "65534";
// Both names resolve (for curl) to the server namespace: the first over IPv4,
// where the HTTPS server holds a certificate for it, the second over IPv6,
// where nothing listens on 443. Two dots each, so no "www." retry is made.
constexpr const char* kSecureHost = "secure.e2e.test";
constexpr const char* kPlainHost = "plain.e2e.test";
constexpr const char* kServerReply = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

inline bool WritePem(const std::string& path, const std::function<int(FILE*)>& write) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool ok = write(file) == 1;
    return std::fclose(file) == 0 && ok;
}

// One authority for the whole run; its files are written per test.
inline const test::TestPki& Pki() {
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
        harbinet_ = CopyProgramForAnyUser(HARBINET_PATH, dir_ + "/bin");
        hbtctl_ = CopyProgramForAnyUser(HBTCTL_PATH, dir_ + "/bin");
        ASSERT_FALSE(harbinet_.empty() || hbtctl_.empty()) << "cannot copy the programs into " << dir_;
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
        const CommandResult r = RunCommand(AsUser({hbtctl_, "prefs", "set", key, value}));
        ASSERT_EQ(r.exitCode, 0) << key << "=" << value << ": " << r.errors;
    }
    std::string StoredPreferences() { return RunCommand(AsUser({hbtctl_, "prefs", "show"})).output; }

    // Starts harbinet --headless (through `launcher`, a command that execs
    // the rest of its line, when given) with standard output in a file and
    // waits until it serves: both proxy listeners and the control endpoint.
    void StartProgram(std::vector<std::string> launcher = {}) {
        std::vector<std::string> argv = {"ip", "netns", "exec", net_.Client(), "sh", "-c", "exec \"$@\" >\"$0\"",
                                         dir_ + "/harbinet.out"};
        launcher.insert(launcher.end(), {harbinet_, "--headless"});
        for (auto& a : AsUser(launcher)) argv.push_back(a);
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

    // Our DNAT rules in the client namespace, both families.
    std::size_t DnatRuleCount() {
        std::string saved;
        RunInNamespace(net_.Client(), [&] {
            for (const char* save : {"iptables-save", "ip6tables-save"}) saved += RunCommand({save, "-t", "nat"}).output;
        });
        return Count(saved, "-A HARBINET_NAT -p tcp -m mark --mark ");
    }

    // Status and redirect target of a plain request for the secure host.
    std::string RedirectOf(const std::string& url) {
        return Curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", url}).output;
    }

    NetnsPair net_;
    std::string dir_;
    std::string device_;
    std::string harbinet_;  // copies the test's user may run
    std::string hbtctl_;
    TcpTestServer server_;
    TcpTestServer server6_;
    BackgroundProgram https_;
    BackgroundProgram engine_;
    BackgroundProgram program_;
};

}  // namespace hbt::e2e
