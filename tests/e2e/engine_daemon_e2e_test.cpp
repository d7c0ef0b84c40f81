// hbt-engined for real: the daemon runs in the client namespace on the
// netfilter platform, the test speaks the device protocol as the program
// would, and curl, openssl and the test servers make the traffic.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "HbtEngineDrv/netfilter/command_runner.h"
#include "HbtEngineDrv/netfilter/packet_marks.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/e2e/background_program.h"
#include "tests/e2e/engine_test_client.h"
#include "tests/e2e/netns_pair.h"
#include "tests/e2e/program_copy.h"
#include "tests/e2e/test_server.h"

namespace hbt::e2e {
namespace {

using namespace std::chrono_literals;

bool IsConnect(const NfeEvent& e) { return e.type == NFE_EVENT_CONNECT_REDIRECT; }
auto ConnectTo(const std::string& destination) {
    return [destination](const NfeEvent& e) { return IsConnect(e) && AddressText(e.destination) == destination; };
}
auto MessageIs(const std::string& text) {
    return [text](const NfeEvent& e) { return e.type == NFE_EVENT_MESSAGE && e.MessageText() == text; };
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string OurRulesIn(const std::string& netns) {
    std::string found;
    RunInNamespace(netns, [&] {
        for (const char* save : {"iptables-save", "ip6tables-save"}) {
            std::istringstream out(RunCommand({save}).output);
            for (std::string line; std::getline(out, line);) {
                if (line.find("HARBINET") != std::string::npos) found += line + "\n";
            }
        }
    });
    return found;
}

// The marks of every connection-tracking entry in the namespace.
std::vector<uint32_t> ConntrackMarks(const std::string& netns) {
    std::vector<uint32_t> marks;
    RunInNamespace(netns, [&] {
        for (const char* family : {"ipv4", "ipv6"}) {
            std::istringstream out(RunCommand({"conntrack", "-L", "-f", family}).output);
            for (std::string line; std::getline(out, line);) {
                const auto at = line.find("mark=");
                marks.push_back(at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(line.substr(at + 5))));
            }
        }
    });
    return marks;
}

bool IsOurMark(uint32_t mark) { return (mark & kMarkTagMask) == kMarkTag; }

class EngineDaemonE2e : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        if (!net_.Create(&reason)) GTEST_SKIP() << reason;
        dir_ = ::testing::TempDir() + "hbt-e2e-" + net_.Client();
        mkdir(dir_.c_str(), 0700);
        device_ = dir_ + "/HbtEngineDrv";
        ASSERT_TRUE(server_.Start(net_.Server(), "192.0.2.1", 80));
        ASSERT_TRUE(server6_.Start(net_.Server(), "2001:db8::1", 80));
        StartDaemon();
        std::string error;
        ASSERT_TRUE(client_.Connect(device_, static_cast<uint32_t>(getpid()), Stepwise(), &error)) << error << Log();
    }
    void TearDown() override {
        client_.Close();
        if (daemon_.Pid() > 0) {
            EXPECT_EQ(daemon_.Stop(SIGTERM, 10), 0) << Log();
        }
        if (!net_.Client().empty()) {
            EXPECT_EQ(OurRulesIn(net_.Client()), "") << Log();
            for (uint32_t mark : ConntrackMarks(net_.Client())) EXPECT_FALSE(IsOurMark(mark)) << mark;
        }
        RunCommand({"rm", "-rf", dir_});
    }

    virtual bool Stepwise() const { return false; }

    void StartDaemon() {
        unlink(device_.c_str());
        ASSERT_TRUE(daemon_.Start({"ip", "netns", "exec", net_.Client(), HBT_ENGINED_PATH, "--device", device_},
                                  dir_ + "/engined.log"));
        for (int i = 0; i < 100 && Log().find("serving") == std::string::npos && daemon_.Running(); ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_NE(Log().find("serving"), std::string::npos) << Log();
    }
    // The engine's standard error and every event so far, for failure messages.
    std::string Log() {
        std::string text = "\nengine log:\n" + ReadFile(dir_ + "/engined.log") + "events:\n";
        for (const NfeEvent& e : client_.Events()) {
            text += "  type " + std::to_string(e.type) + " flow " + std::to_string(e.flowId) + " flags " +
                    std::to_string(e.streamFlags) + " bytes " + std::to_string(e.data.size()) + " " +
                    (e.type == NFE_EVENT_MESSAGE ? e.MessageText() : "") + "\n";
        }
        return text;
    }

    // curl in the client namespace, on a thread so the test can answer meanwhile.
    std::future<ProgramRun> Curl(const std::string& url, std::vector<std::string> extra = {}, int maxTime = 8) {
        std::vector<std::string> argv = {"curl", "-s", "-g", "--max-time", std::to_string(maxTime)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(url);
        return std::async(std::launch::async, [this, argv] { return RunProgramIn(net_.Client(), argv); });
    }

    NetnsPair net_;
    std::string dir_;
    std::string device_;
    TcpTestServer server_;
    TcpTestServer server6_;
    BackgroundProgram daemon_;
    EngineTestClient client_;
};

TEST_F(EngineDaemonE2e, ConnectEventsDescribeTheConnectAndPermitLetsItThrough) {
    for (const auto& [url, destination, peers] : {std::tuple{"http://192.0.2.1/", "192.0.2.1:80", &server_},
                                                  std::tuple{"http://[2001:db8::1]/", "[2001:db8::1]:80", &server6_}}) {
        auto curl = Curl(url);
        const auto event = client_.WaitFor(ConnectTo(destination), 5s);
        ASSERT_TRUE(event) << url << Log();
        EXPECT_TRUE(client_.Answer(*event, NFE_ANSWER_PERMIT).Succeeded());
        const ProgramRun run = curl.get();
        EXPECT_EQ(run.output, "hello") << url;
        EXPECT_EQ(event->processId, static_cast<uint32_t>(run.pid));
        EXPECT_EQ(Utf8(event->ApplicationPath()), "/usr/bin/curl");
        const auto seen = peers->WaitForPeers(1, 1);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0], AddressText(event->source)) << url;
    }
}

TEST_F(EngineDaemonE2e, RetransmittedSynsJoinTheHeldConnect) {
    auto curl = Curl("http://192.0.2.1/");
    const auto event = client_.WaitFor(ConnectTo("192.0.2.1:80"), 5s);
    ASSERT_TRUE(event) << Log();
    std::this_thread::sleep_for(2500ms);  // the connecting socket sends its SYN again after 1 s and 3 s
    EXPECT_TRUE(client_.Answer(*event, NFE_ANSWER_PERMIT).Succeeded());
    EXPECT_EQ(curl.get().output, "hello");
    int connects = 0;
    for (const NfeEvent& e : client_.Events()) connects += IsConnect(e) ? 1 : 0;
    EXPECT_EQ(connects, 1) << Log();
}

TEST_F(EngineDaemonE2e, RedirectReachesTheLoopbackListenerFromTheEventsSource) {
    for (const auto& [listen, url, destination] :
         {std::tuple{"127.0.0.1", "http://192.0.2.1/", "192.0.2.1:80"},
          std::tuple{"::1", "http://[2001:db8::1]/", "[2001:db8::1]:80"}}) {
        TcpTestServer proxy;
        ASSERT_TRUE(proxy.Start(net_.Client(), listen, 0));
        auto curl = Curl(url);
        const auto event = client_.WaitFor(ConnectTo(destination), 5s);
        ASSERT_TRUE(event) << url << Log();
        const SocketAddressSlot to = std::string(listen) == "::1"
                                         ? SocketAddressSlot::Ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, proxy.Port())
                                         : SocketAddressSlot::Ipv4({127, 0, 0, 1}, proxy.Port());
        EXPECT_TRUE(client_.Answer(*event, NFE_ANSWER_REDIRECT, to).Succeeded());
        EXPECT_EQ(curl.get().output, "hello") << url;
        const auto seen = proxy.WaitForPeers(1, 1);
        ASSERT_EQ(seen.size(), 1u) << url;
        EXPECT_EQ(seen[0], AddressText(event->source)) << url;
    }
    EXPECT_TRUE(server_.WaitForPeers(1, 0).empty());
    EXPECT_TRUE(server6_.WaitForPeers(1, 0).empty());
}

TEST_F(EngineDaemonE2e, OwnProcessAndEngineMarkedSocketsAreNeverHeld) {
    // The test process is the configured program; a socket carrying the
    // engine's own mark stands for the engine's traffic.
    for (bool engineMark : {false, true}) {
        int fd = -1;
        RunInNamespace(net_.Client(), [&] { fd = socket(AF_INET, SOCK_STREAM, 0); });
        ASSERT_GE(fd, 0);
        if (engineMark) {
            const uint32_t mark = kMarkOwnSocket;
            ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark), 0);
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(80);
        inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << engineMark;
        close(fd);
    }
    EXPECT_EQ(server_.WaitForPeers(2, 2).size(), 2u);
    // The engine is live all the same: curl's connect is reported.
    auto curl = Curl("http://192.0.2.1/");
    const auto event = client_.WaitFor(ConnectTo("192.0.2.1:80"), 5s);
    ASSERT_TRUE(event) << Log();
    client_.Answer(*event, NFE_ANSWER_PERMIT);
    EXPECT_EQ(curl.get().output, "hello");
    int connects = 0;
    for (const NfeEvent& e : client_.Events()) connects += IsConnect(e) ? 1 : 0;
    EXPECT_EQ(connects, 1);
}

TEST_F(EngineDaemonE2e, ALoneUnansweredConnectProceedsAndThreeRoundsStopTheEngine) {
    // Nothing else happens meanwhile: the engine's own ticker lets each lone
    // connect go once its 10 s are up; three rounds in a row stop the engine.
    for (int round = 0; round < 3; ++round) {
        const std::size_t before = client_.Events().size();
        auto curl = Curl("http://192.0.2.1/", {}, 40);
        ASSERT_TRUE(client_.WaitFor(IsConnect, 5s, before)) << round << Log();
        ASSERT_TRUE(client_.WaitFor(MessageIs("107:Abandoned redirection request detected"), 20s, before))
            << round << Log();
        EXPECT_EQ(curl.get().output, "hello") << round;
    }
    const auto stopped = client_.WaitFor(MessageIs("RuzOraDadeda stopped."), 5s);
    ASSERT_TRUE(stopped) << Log();
    EXPECT_EQ(stopped->messageStatus, 1u);
    EXPECT_TRUE(client_.WaitFor(
        MessageIs("124:Too many abandoned redirection requests detected. Engine emergency stop"), 0s));
    EXPECT_EQ(Curl("http://192.0.2.1/", {}, 40).get().output, "hello");  // a stopped engine holds nothing
}

TEST_F(EngineDaemonE2e, KilledEngineNeverBlocksConnectsAndACleanExitLeavesNoRule) {
    ASSERT_EQ(daemon_.Stop(SIGKILL, 5), -1);
    client_.Close();
    // Our rules are still in place, but nobody reads the queue: the kernel lets connects pass.
    EXPECT_NE(OurRulesIn(net_.Client()), "");
    auto curl = Curl("http://192.0.2.1/", {}, 4);
    EXPECT_EQ(curl.get().output, "hello");

    // A new engine takes the leftovers over; its clean exit removes everything.
    StartDaemon();
    EXPECT_EQ(daemon_.Stop(SIGTERM, 10), 0) << Log();
    EXPECT_EQ(OurRulesIn(net_.Client()), "") << Log();
}

TEST_F(EngineDaemonE2e, WithoutThePrivilegeTheEngineExitsWithAClearMessage) {
    // In the client namespace all the same, so nothing could ever reach the machine's own rules.
    const std::string device = "/tmp/hbt-unprivileged-" + net_.Client();
    const std::string folder = "/tmp/hbt-unprivileged-bin-" + net_.Client();
    const std::string engined = CopyProgramForAnyUser(HBT_ENGINED_PATH, folder);
    ASSERT_FALSE(engined.empty());
    const ProgramRun run = RunProgramIn(
        net_.Client(), {"sh", "-c", "setpriv --reuid=65534 --regid=65534 --clear-groups " + engined + " --device " +
                                        device + " 2>&1"});
    unlink(device.c_str());
    std::filesystem::remove_all(folder);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find("intercepting needs root (CAP_NET_ADMIN)"), std::string::npos) << run.output;
    EXPECT_NE(OurRulesIn(net_.Client()), "");  // the running engine's rules were left alone
}

class EngineDaemonInspectE2e : public EngineDaemonE2e {
protected:
    void SetUp() override {
        EngineDaemonE2e::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        const std::string key = dir_ + "/key.pem";
        const std::string cert = dir_ + "/cert.pem";
        ASSERT_EQ(RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                              "-nodes", "-keyout", key, "-out", cert, "-subj", "/CN=192.0.2.1", "-days", "1"})
                      .exitCode,
                  0);
        ASSERT_TRUE(tls_.Start({"ip", "netns", "exec", net_.Server(), "openssl", "s_server", "-accept", "443",
                                "-cert", cert, "-key", key, "-www", "-quiet"}));
        for (int i = 0; i < 50 && RunProgramIn(net_.Server(), {"ss", "-Htln", "sport", "= :443"}).output.empty(); ++i) {
            std::this_thread::sleep_for(100ms);
        }
    }
    bool Stepwise() const override { return true; }

    // Takes events one at a time, as the program's event loop does: answers
    // the connect to 443 with inspect, notes its flow when it is established,
    // and returns the flow's next stream-data event.
    std::optional<NfeEvent> NextSegment(uint64_t* flow) {
        while (auto e = client_.Next(5s)) {
            if (IsConnect(*e) && AddressText(e->destination) == "192.0.2.1:443") {
                connectEndpoint_ = e->endpointHandle;
                EXPECT_TRUE(client_.Answer(*e, NFE_ANSWER_PERMIT | NFE_ANSWER_INSPECT).Succeeded());
            } else if (IsConnect(*e)) {
                EXPECT_TRUE(client_.Answer(*e, NFE_ANSWER_PERMIT).Succeeded());
            } else if (e->type == NFE_EVENT_FLOW_ESTABLISHED && e->endpointHandle == connectEndpoint_) {
                *flow = e->flowId;
            } else if (e->type == NFE_EVENT_STREAM_DATA && e->flowId == *flow) {
                return e;
            }
        }
        return std::nullopt;
    }
    BackgroundProgram tls_;
    uint64_t connectEndpoint_ = 0;
};

TEST_F(EngineDaemonInspectE2e, CapturedHelloGoesBackAndAfterDetachNothingMoreComes) {
    // A permitted plain connect first: its tracking entry is not ours and outlives the engine.
    auto plain = Curl("http://192.0.2.1/");
    while (auto e = client_.Next(5s)) {
        if (!IsConnect(*e)) continue;
        EXPECT_TRUE(client_.Answer(*e, NFE_ANSWER_PERMIT).Succeeded());
        break;
    }
    EXPECT_EQ(plain.get().output, "hello");
    auto curl = Curl("https://192.0.2.1/", {"-k", "-o", "/dev/null", "-w", "%{http_code}"});
    uint64_t flow = 0;
    const auto hello = NextSegment(&flow);
    ASSERT_TRUE(hello) << Log();
    EXPECT_EQ(hello->streamFlags, NFE_STREAM_FLAG_SEND);
    ASSERT_GT(hello->data.size(), 5u);
    EXPECT_EQ(hello->data[0], 0x16);
    EXPECT_EQ(hello->data[5], 0x01);  // ClientHello
    EXPECT_TRUE(client_.Inject(*hello, hello->streamFlags, hello->data).Succeeded());

    const auto answer = NextSegment(&flow);
    ASSERT_TRUE(answer) << Log();
    EXPECT_EQ(answer->streamFlags & NFE_STREAM_FLAG_RECEIVE, NFE_STREAM_FLAG_RECEIVE);
    EXPECT_TRUE(client_.Inject(*answer, answer->streamFlags, answer->data).Succeeded());
    // Whatever else the flow captured meanwhile goes back with the detach.
    EXPECT_TRUE(client_.Detach(*answer).Succeeded());
    EXPECT_EQ(curl.get().output, "200") << Log();
    while (auto e = client_.Next(300ms)) EXPECT_FALSE(e->type == NFE_EVENT_STREAM_DATA && e->flowId == flow);

    // The released flow carried our mark; the engine's exit deletes only such entries.
    const auto marks = ConntrackMarks(net_.Client());
    EXPECT_TRUE(std::any_of(marks.begin(), marks.end(), IsOurMark));
    EXPECT_GE(std::count(marks.begin(), marks.end(), 0u), 1);
    client_.Close();
    ASSERT_EQ(daemon_.Stop(SIGTERM, 10), 0) << Log();
    const auto after = ConntrackMarks(net_.Client());
    EXPECT_FALSE(std::any_of(after.begin(), after.end(), IsOurMark));
    EXPECT_EQ(std::count(after.begin(), after.end(), 0u), std::count(marks.begin(), marks.end(), 0u));
}

TEST_F(EngineDaemonInspectE2e, CloseEndsTheClientsConnectionPromptly) {
    auto curl = Curl("https://192.0.2.1/", {"-k", "-o", "/dev/null", "-w", "%{http_code}"});
    uint64_t flow = 0;
    const auto hello = NextSegment(&flow);
    ASSERT_TRUE(hello) << Log();
    EXPECT_TRUE(client_.Inject(*hello, NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {}).Succeeded());
    const ProgramRun run = curl.get();
    EXPECT_NE(run.exitCode, 28) << "curl waited out its time limit: the close never reached it";
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(run.output, "000");
    bool deleted = false;
    while (auto e = client_.Next(2s)) {
        if (e->type == NFE_EVENT_FLOW_DELETED && e->flowId == flow) {
            deleted = true;
            break;
        }
    }
    EXPECT_TRUE(deleted) << Log();
}

}  // namespace
}  // namespace hbt::e2e
