// The engine's redirect rules across program sessions: hbt-engined keeps
// running in the client namespace while the test opens and closes its device
// again and again, as each start of the program does, redirecting curl to a
// new loopback listener (the program's proxy) each time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "HbtEngineDrv/netfilter/command_runner.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/e2e/background_program.h"
#include "tests/e2e/engine_test_client.h"
#include "tests/e2e/netns_pair.h"
#include "tests/e2e/test_server.h"

namespace hbt::e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kReply = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

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

// The destinations of our DNAT rules in the namespace, IPv4 first.
std::vector<std::string> RedirectRules(const std::string& netns) {
    std::vector<std::string> destinations;
    RunInNamespace(netns, [&] {
        for (const char* save : {"iptables-save", "ip6tables-save"}) {
            std::istringstream out(RunCommand({save, "-t", "nat"}).output);
            for (std::string line; std::getline(out, line);) {
                const auto to = line.find("-j DNAT --to-destination ");
                if (line.rfind("-A HARBINET_NAT ", 0) == 0 && to != std::string::npos) {
                    destinations.push_back(line.substr(to + 25));
                }
            }
        }
    });
    return destinations;
}

// A loopback listener standing for the program's proxy: it holds each
// connection it accepts until the test lets it answer.
class LoopbackProxy {
public:
    ~LoopbackProxy() {
        for (int fd : {listener_, connection_}) {
            if (fd >= 0) close(fd);
        }
    }

    bool Start(const std::string& netns, bool ipv6) {
        ipv6_ = ipv6;
        sockaddr_storage a{};
        socklen_t length = 0;
        if (ipv6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof *in6;
        } else {
            auto* in = reinterpret_cast<sockaddr_in*>(&a);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *in;
        }
        bool ok = false;
        RunInNamespace(netns, [&] {
            listener_ = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ok = listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&a), length) == 0 &&
                 listen(listener_, 8) == 0;
        });
        if (!ok) return false;
        socklen_t boundLength = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &boundLength);
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
        return true;
    }

    SocketAddressSlot Address() const {
        return ipv6_ ? SocketAddressSlot::Ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, port_)
                     : SocketAddressSlot::Ipv4({127, 0, 0, 1}, port_);
    }
    // As our DNAT rule names it.
    std::string RuleDestination() const { return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_); }

    bool Accept() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return connection_ >= 0;
    }
    // Reads the request and answers it.
    void Answer() {
        pollfd r{connection_, POLLIN, 0};
        char buffer[4096];
        if (poll(&r, 1, 5000) > 0) [[maybe_unused]] ssize_t n = recv(connection_, buffer, sizeof buffer, 0);
        [[maybe_unused]] ssize_t n = send(connection_, kReply, std::strlen(kReply), MSG_NOSIGNAL);
        close(connection_);
        connection_ = -1;
    }

private:
    bool ipv6_ = false;
    int listener_ = -1;
    int connection_ = -1;
    uint16_t port_ = 0;
};

class RedirectRulesE2e : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        if (!net_.Create(&reason)) GTEST_SKIP() << reason;
        dir_ = ::testing::TempDir() + "hbt-rules-" + net_.Client();
        mkdir(dir_.c_str(), 0700);
        device_ = dir_ + "/HbtEngineDrv";
        ASSERT_TRUE(daemon_.Start({"ip", "netns", "exec", net_.Client(), HBT_ENGINED_PATH, "--device", device_},
                                  dir_ + "/engined.log"));
        ASSERT_TRUE(WaitForLog("serving", 1)) << Log();
    }
    void TearDown() override {
        client_.reset();
        if (daemon_.Pid() > 0) {
            EXPECT_EQ(daemon_.Stop(SIGTERM, 10), 0) << Log();
        }
        RunCommand({"rm", "-rf", dir_});
    }

    std::string Log() { return "\nengine log:\n" + ReadFile(dir_ + "/engined.log"); }
    bool WaitForLog(const std::string& text, std::size_t count) {
        for (int i = 0; i < 100 && Count(ReadFile(dir_ + "/engined.log"), text) < count && daemon_.Running(); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        return Count(ReadFile(dir_ + "/engined.log"), text) >= count;
    }

    // A program session: the device opens only once the engine finished
    // closing the previous one.
    void OpenSession() {
        std::string error;
        for (int attempt = 0; attempt < 10; ++attempt) {
            client_ = std::make_unique<EngineTestClient>();
            if (client_->Connect(device_, static_cast<uint32_t>(getpid()), false, &error)) return;
        }
        FAIL() << error << Log();
    }

    // curl's connect to `url` goes to the proxy; the proxy holds it, accepted.
    std::future<ProgramRun> RedirectCurl(const std::string& url, const std::string& destination, LoopbackProxy& proxy) {
        const std::size_t before = client_->Events().size();
        auto curl = std::async(std::launch::async, [this, url] {
            return RunProgramIn(net_.Client(), {"curl", "-s", "-g", "--max-time", "20", url});
        });
        const auto event = client_->WaitFor(
            [&](const NfeEvent& e) { return e.type == NFE_EVENT_CONNECT_REDIRECT && AddressText(e.destination) == destination; },
            5s, before);
        EXPECT_TRUE(event) << url << Log();
        if (event) {
            EXPECT_TRUE(client_->Answer(*event, NFE_ANSWER_REDIRECT, proxy.Address()).Succeeded());
            EXPECT_TRUE(proxy.Accept()) << url << Log();
        }
        return curl;
    }

    NetnsPair net_;
    std::string dir_;
    std::string device_;
    BackgroundProgram daemon_;
    std::unique_ptr<EngineTestClient> client_;
};

TEST_F(RedirectRulesE2e, EachSessionsRulesGoWithItAndItsRedirectedConnectionsGoOn) {
    LoopbackProxy kept;  // the first session's IPv4 proxy: its connection outlives the session
    std::future<ProgramRun> keptCurl;
    for (int session = 0; session < 3; ++session) {
        OpenSession();
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(RedirectRules(net_.Client()), std::vector<std::string>{}) << session << Log();
        if (session == 1) {
            // The rule that redirected it is gone; connection tracking still translates its packets.
            kept.Answer();
            EXPECT_EQ(keptCurl.get().output, "hello") << Log();
        }

        LoopbackProxy proxy4, proxy6;
        LoopbackProxy& to4 = session == 0 ? kept : proxy4;
        ASSERT_TRUE(to4.Start(net_.Client(), false));
        ASSERT_TRUE(proxy6.Start(net_.Client(), true));
        auto curl4 = RedirectCurl("http://192.0.2.1/", "192.0.2.1:80", to4);
        auto curl6 = RedirectCurl("http://[2001:db8::1]/", "[2001:db8::1]:80", proxy6);
        // A second connect to a target in use adds nothing.
        proxy6.Answer();
        EXPECT_EQ(curl6.get().output, "hello") << session;
        curl6 = RedirectCurl("http://[2001:db8::1]/", "[2001:db8::1]:80", proxy6);
        proxy6.Answer();
        EXPECT_EQ(curl6.get().output, "hello") << session;
        const std::vector<std::string> inUse = {to4.RuleDestination(), proxy6.RuleDestination()};
        EXPECT_EQ(RedirectRules(net_.Client()), inUse) << session;

        if (session == 1) {
            // Restored rules are those of the targets in use, not of the earlier session.
            RunInNamespace(net_.Client(), [] { RunCommand({"iptables", "-t", "nat", "-F", "HARBINET_NAT"}); });
            ASSERT_TRUE(WaitForLog("have been restored", 1)) << Log();
            EXPECT_EQ(RedirectRules(net_.Client()), inUse) << Log();
        }
        if (session == 0) {
            keptCurl = std::move(curl4);
        } else {
            to4.Answer();
            EXPECT_EQ(curl4.get().output, "hello") << session;
        }
        client_.reset();
    }
    OpenSession();
    EXPECT_EQ(RedirectRules(net_.Client()), std::vector<std::string>{}) << Log();
}

}  // namespace
}  // namespace hbt::e2e
