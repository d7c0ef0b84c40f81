// The netfilter platform on its own, in a client namespace, driven by a small
// scripted engine: real connects from curl, real rules and queues.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <arpa/inet.h>
#include <mutex>
#include <thread>

#include "HbtEngineDrv/netfilter/command_runner.h"
#include "HbtEngineDrv/netfilter/netfilter_platform.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/e2e/background_program.h"
#include "tests/e2e/netns_pair.h"
#include "tests/e2e/test_server.h"

namespace hbt::e2e {
namespace {

using namespace std::chrono_literals;

// The platform never looks inside a flow context; any object will do.
std::shared_ptr<FlowContext> OpaqueContext() {
    auto owner = std::make_shared<int>(0);
    return std::shared_ptr<FlowContext>(owner, reinterpret_cast<FlowContext*>(owner.get()));
}

enum class Answer { kPermit, kRedirect, kInspect };
enum class StreamPlan { kEcho, kCloseOnFirstSend, kKeep };

struct Segment {
    uint64_t flowId;
    uint32_t flags;
    std::vector<uint8_t> data;
};

// Answers on its own thread, as the program would over the device.
class ScriptedEngine : public FilterCallouts {
public:
    explicit ScriptedEngine(NetfilterPlatform& platform) : platform_(platform), worker_([this] { Work(); }) {}
    ~ScriptedEngine() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        worker_.join();
    }

    Answer answer = Answer::kPermit;
    SocketAddressSlot redirectTo;
    StreamPlan streamPlan = StreamPlan::kEcho;
    std::size_t detachAfterSegments = 2;

    ConnectAction ClassifyConnect(const ClassifyInfo& info) override {
        Post([this, info] {
            {
                std::lock_guard lock(mutex_);
                connects_.push_back(info);
            }
            ConnectCompletion c;
            if (answer == Answer::kRedirect) {
                c.redirect = true;
                c.newRemote = redirectTo;
            }
            if (answer == Answer::kInspect) {
                std::lock_guard lock(mutex_);
                inspect_.insert({info.endpointHandle.value_or(0), true});
            }
            platform_.CompleteConnect(info.connectHandle, c);
        });
        return ConnectAction::kPend;
    }
    void ClassifyFlowEstablished(const ClassifyInfo& info) override {
        std::lock_guard lock(mutex_);
        if (inspect_.erase(info.endpointHandle.value_or(0)) == 0) return;
        platform_.AssociateFlowContext(*info.flowHandle, kLayerStreamV4, kStreamCalloutIdV4, OpaqueContext());
    }
    StreamAction ClassifyStream(const ClassifyInfo& info, const StreamSegment& segment,
                                const std::shared_ptr<FlowContext>&) override {
        const uint64_t flowId = *info.flowHandle;
        Segment s{flowId, segment.streamFlags, segment.data};
        {
            std::lock_guard lock(mutex_);
            if (detached_.count(flowId) != 0) return StreamAction::kAllowConnection;
            segments_.push_back(s);
        }
        Post([this, s] { OnSegment(s); });
        return StreamAction::kBlock;
    }
    void FlowDeleted(uint16_t, uint32_t, const std::shared_ptr<FlowContext>&) override {
        std::lock_guard lock(mutex_);
        ++deleted_;
    }

    std::vector<ClassifyInfo> Connects() {
        std::lock_guard lock(mutex_);
        return connects_;
    }
    std::vector<Segment> Segments() {
        std::lock_guard lock(mutex_);
        return segments_;
    }
    std::vector<uint32_t> InjectResults() {
        std::lock_guard lock(mutex_);
        return injectResults_;
    }
    int Deleted() {
        std::lock_guard lock(mutex_);
        return deleted_;
    }

private:
    void OnSegment(const Segment& s) {
        if (streamPlan == StreamPlan::kKeep) return;
        if (streamPlan == StreamPlan::kCloseOnFirstSend) {
            Record(platform_.InjectStream({s.flowId, kLayerStreamV4, kStreamCalloutIdV4,
                                           NFE_STREAM_FLAG_RECEIVE | NFE_STREAM_FLAG_RECEIVE_DISCONNECT, {}}));
            return;
        }
        // The flow is marked released before its last segment goes back, so
        // that what the client sends in answer passes instead of being
        // reported for a flow that is about to be let go.
        bool detach = false;
        {
            std::lock_guard lock(mutex_);
            detach = ++carried_ >= detachAfterSegments && detached_.insert(s.flowId).second;
        }
        Record(platform_.InjectStream({s.flowId, kLayerStreamV4, kStreamCalloutIdV4, s.flags, s.data}));
        if (detach) platform_.RemoveFlowContext(s.flowId, kLayerStreamV4, kStreamCalloutIdV4);
    }
    void Record(uint32_t status) {
        std::lock_guard lock(mutex_);
        injectResults_.push_back(status);
    }
    void Post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        wake_.notify_all();
    }
    void Work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    NetfilterPlatform& platform_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<ClassifyInfo> connects_;
    std::map<uint64_t, bool> inspect_;
    std::set<uint64_t> detached_;
    std::size_t carried_ = 0;  // segments injected back so far
    std::vector<Segment> segments_;
    std::vector<uint32_t> injectResults_;
    int deleted_ = 0;
    std::thread worker_;
};

std::string SlotText(const SocketAddressSlot& s) {
    char text[64] = {};
    inet_ntop(s.IsIpv6() ? AF_INET6 : AF_INET, s.AddressBytes(), text, sizeof text);
    return s.IsIpv6() ? "[" + std::string(text) + "]:" + std::to_string(s.Port())
                      : std::string(text) + ":" + std::to_string(s.Port());
}

std::string OurRulesIn(const std::string& netns) {
    std::string found;
    RunInNamespace(netns, [&] {
        for (const char* save : {"iptables-save", "ip6tables-save"}) {
            const std::string out = RunCommand({save}).output;
            if (out.find("HARBINET") != std::string::npos) found += out;
        }
    });
    return found;
}

class NetfilterPlatformE2e : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        if (!net_.Create(&reason)) GTEST_SKIP() << reason;
        ASSERT_TRUE(server_.Start(net_.Server(), "192.0.2.1", 80));
        ASSERT_TRUE(server6_.Start(net_.Server(), "2001:db8::1", 80));
        StartPlatform();
    }
    void TearDown() override {
        StopPlatform();
        if (!net_.Client().empty()) {
            EXPECT_EQ(OurRulesIn(net_.Client()), "");
        }
    }
    void StartPlatform() {
        // Everything the platform makes (sockets, threads, rule commands) lives in the client namespace.
        NamespaceScope scope(net_.Client());
        ASSERT_TRUE(scope.Ok());
        NetfilterOptions options;
        options.monitorInterval = 200ms;
        platform_ = std::make_unique<NetfilterPlatform>(options);
        engine_ = std::make_unique<ScriptedEngine>(*platform_);
        std::string error;
        ASSERT_TRUE(platform_->Start(*engine_, &error)) << error;
    }
    void StopPlatform() {
        if (!platform_) return;
        NamespaceScope scope(net_.Client());
        platform_->Stop();
        engine_.reset();
        platform_.reset();
    }
    ProgramRun Curl(const std::string& url, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {"curl", "-s", "-g", "--max-time", "8"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(url);
        return RunProgramIn(net_.Client(), argv);
    }

    NetnsPair net_;
    TcpTestServer server_;
    TcpTestServer server6_;
    std::unique_ptr<NetfilterPlatform> platform_;
    std::unique_ptr<ScriptedEngine> engine_;
};

TEST_F(NetfilterPlatformE2e, ConnectsAreHeldAttributedAndPermitted) {
    for (const auto& [url, remote] : {std::pair{"http://192.0.2.1/", "192.0.2.1:80"},
                                      std::pair{"http://[2001:db8::1]/", "[2001:db8::1]:80"}}) {
        const std::size_t before = engine_->Connects().size();
        const ProgramRun run = Curl(url);
        EXPECT_EQ(run.output, "hello") << url;
        const auto connects = engine_->Connects();
        ASSERT_EQ(connects.size(), before + 1) << url;
        const ClassifyInfo& c = connects.back();
        EXPECT_EQ(SlotText(c.remote), remote);
        EXPECT_EQ(c.local.IsIpv6(), std::string(url).find('[') != std::string::npos);
        EXPECT_EQ(c.processId.value_or(0), static_cast<uint32_t>(run.pid));
        EXPECT_EQ(c.applicationId, u"/usr/bin/curl");
        EXPECT_EQ(c.userSid.size(), 16u);
    }
    const auto peers = server_.WaitForPeers(1, 1);
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_EQ(peers[0], SlotText(engine_->Connects()[0].local));
}

TEST_F(NetfilterPlatformE2e, RedirectArrivesAtTheLoopbackListenerWithTheOriginalSource) {
    for (const auto& [listen, url] : {std::pair{"127.0.0.1", "http://192.0.2.1/"},
                                      std::pair{"::1", "http://[2001:db8::1]/"}}) {
        TcpTestServer proxy;
        ASSERT_TRUE(proxy.Start(net_.Client(), listen, 0));
        engine_->answer = Answer::kRedirect;
        engine_->redirectTo = std::string(listen) == "::1"
                                  ? SocketAddressSlot::Ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, proxy.Port())
                                  : SocketAddressSlot::Ipv4({127, 0, 0, 1}, proxy.Port());
        const ProgramRun run = Curl(url);
        EXPECT_EQ(run.output, "hello") << url;
        const auto peers = proxy.WaitForPeers(1, 2);
        ASSERT_EQ(peers.size(), 1u) << url;
        EXPECT_EQ(peers[0], SlotText(engine_->Connects().back().local)) << url;
    }
    EXPECT_TRUE(server_.WaitForPeers(1, 0).empty());
}

TEST_F(NetfilterPlatformE2e, RulesRemovedByTheMonitorComeBack) {
    RunInNamespace(net_.Client(), [] { RunCommand({"iptables", "-t", "mangle", "-F", "HARBINET_OUT"}); });
    std::this_thread::sleep_for(1s);
    EXPECT_NE(OurRulesIn(net_.Client()).find("-A HARBINET_OUT -p tcp -m tcp --tcp-flags FIN,SYN,RST,ACK SYN"),
              std::string::npos);
    const std::size_t before = engine_->Connects().size();
    EXPECT_EQ(Curl("http://192.0.2.1/").output, "hello");
    EXPECT_EQ(engine_->Connects().size(), before + 1);
}

class InspectE2e : public NetfilterPlatformE2e {
protected:
    void SetUp() override {
        NetfilterPlatformE2e::SetUp();
        if (IsSkipped()) return;
        dir_ = ::testing::TempDir() + "hbt-tls-" + std::to_string(getpid());
        RunCommand({"mkdir", "-p", dir_});
        key_ = dir_ + "/key.pem";
        cert_ = dir_ + "/cert.pem";
        ASSERT_EQ(RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                              "-nodes", "-keyout", key_, "-out", cert_, "-subj", "/CN=192.0.2.1", "-days", "1"})
                      .exitCode,
                  0);
        ASSERT_TRUE(tls_.Start({"ip", "netns", "exec", net_.Server(), "openssl", "s_server", "-accept", "443",
                                "-cert", cert_, "-key", key_, "-www", "-quiet"}));
        for (int i = 0; i < 50 && RunProgramIn(net_.Server(), {"ss", "-Htln", "sport", "= :443"}).output.empty(); ++i) {
            std::this_thread::sleep_for(100ms);
        }
        engine_->answer = Answer::kInspect;
    }
    void TearDown() override {
        tls_.Stop(SIGTERM, 5);
        if (!dir_.empty()) RunCommand({"rm", "-rf", dir_});
        NetfilterPlatformE2e::TearDown();
    }
    std::string dir_, key_, cert_;
    BackgroundProgram tls_;
};

TEST_F(InspectE2e, CapturedHelloInjectedBackCompletesTheHandshake) {
    const ProgramRun run = Curl("https://192.0.2.1/", {"-k", "-o", "/dev/null", "-w", "%{http_code}"});
    EXPECT_EQ(run.output, "200");
    const auto segments = engine_->Segments();
    ASSERT_GE(segments.size(), 2u);
    EXPECT_EQ(segments[0].flags, NFE_STREAM_FLAG_SEND);
    ASSERT_GT(segments[0].data.size(), 5u);
    EXPECT_EQ(segments[0].data[0], 0x16);  // a handshake record: the ClientHello
    EXPECT_EQ(segments[1].flags & NFE_STREAM_FLAG_RECEIVE, NFE_STREAM_FLAG_RECEIVE);
    // After the release nothing more of the flow is reported.
    EXPECT_EQ(segments.size(), engine_->detachAfterSegments);
    for (uint32_t status : engine_->InjectResults()) EXPECT_EQ(status, kStatusSuccess);
}

TEST_F(InspectE2e, CloseTowardsTheApplicationEndsItsConnectionPromptly) {
    engine_->streamPlan = StreamPlan::kCloseOnFirstSend;
    const ProgramRun run = Curl("https://192.0.2.1/", {"-k", "-o", "/dev/null", "-w", "%{http_code}"});
    EXPECT_NE(run.exitCode, 28) << "curl waited out its time limit: the close never reached it";
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(run.output, "000");
    ASSERT_EQ(engine_->InjectResults().size(), 1u);
    EXPECT_EQ(engine_->InjectResults()[0], kStatusSuccess);
}

}  // namespace
}  // namespace hbt::e2e

namespace hbt::e2e {
namespace {

TEST_F(InspectE2e, EndOfTheTrackedConnectionDeletesTheFlow) {
    engine_->streamPlan = StreamPlan::kKeep;  // the ClientHello stays held
    auto curl = std::async(std::launch::async, [this] {
        return Curl("https://192.0.2.1/", {"-k", "-o", "/dev/null", "-w", "%{http_code}"});
    });
    for (int i = 0; i < 50 && engine_->Segments().empty(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_EQ(engine_->Segments().size(), 1u);
    EXPECT_EQ(engine_->Deleted(), 0);
    RunInNamespace(net_.Client(), [] { RunCommand({"conntrack", "-D", "-p", "tcp", "--dport", "443"}); });
    for (int i = 0; i < 30 && engine_->Deleted() == 0; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(engine_->Deleted(), 1);
    curl.get();
}

}  // namespace
}  // namespace hbt::e2e
