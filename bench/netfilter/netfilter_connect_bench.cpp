// What the engine adds to a connect: 1000 sequential connects from a client
// namespace to a server namespace without the engine, then through
// hbt-engined with a device client that answers every connect with permit
// (as the program's event loop does); between them the netfilter platform
// alone, permitting at once; then the connect rate with many connectors at
// once; with the engine's rules holding only port 443, connects to the
// port they leave alone; last, the program's own event loop answering (batched
// reads and answers), once leaving the connects alone and once redirecting
// them to a loopback listener as it does to its proxy. Needs root; prints the
// figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "HbtEngineDrv/netfilter/netfilter_platform.h"
#include "engine_client/engine_event_loop.h"
#include "platform/engine_socket_device.h"
#include "platform/file_settings_store.h"
#include "platform/socket_address.h"
#include "rules/preferences_storage.h"
#include "engine_protocol/nfe_port_rules.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/e2e/background_program.h"
#include "tests/e2e/engine_test_client.h"
#include "tests/e2e/netns_pair.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using hbt::e2e::NamespaceScope;

constexpr int kSequentialConnects = 1000;
int rateThreads = 16;  // connectors at once; the first argument overrides it
constexpr auto kRateDuration = 3s;

// One connect to 192.0.2.1:80 from the calling thread's namespace; its time in microseconds, or -1.
double TimedConnect() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(80);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    const auto start = Clock::now();
    const int rc = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    // Reset rather than close: no TIME_WAIT piles up over thousands of connects.
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    return rc == 0 ? us : -1;
}

double MedianOfSequentialConnects(const std::string& netns, int* failures) {
    NamespaceScope scope(netns);
    std::vector<double> times;
    for (int i = 0; i < kSequentialConnects; ++i) {
        const double us = TimedConnect();
        if (us < 0) {
            ++*failures;
        } else {
            times.push_back(us);
        }
    }
    if (times.empty()) return -1;
    std::nth_element(times.begin(), times.begin() + static_cast<long>(times.size() / 2), times.end());
    return times[times.size() / 2];
}

double ConnectsPerSecond(const std::string& netns) {
    std::atomic<long> done{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < rateThreads; ++i) {
        threads.emplace_back([&] {
            NamespaceScope scope(netns);
            while (!stop) {
                if (TimedConnect() >= 0) ++done;
            }
        });
    }
    std::this_thread::sleep_for(kRateDuration);
    stop = true;
    for (auto& t : threads) t.join();
    return static_cast<double>(done) / std::chrono::duration<double>(kRateDuration).count();
}

// A server that only accepts and closes, fast enough not to be what is measured.
class AcceptServer {
public:
    bool Start(const std::string& netns, const char* address = "192.0.2.1", uint16_t port = 80) {
        hbt::e2e::RunInNamespace(netns, [&] { fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address, &a.sin_addr);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4096) != 0) return false;
        thread_ = std::thread([this] {
            for (;;) {
                const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;  // the listener was shut down
                close(c);
            }
        });
        return true;
    }
    ~AcceptServer() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }

private:
    int fd_ = -1;
    std::thread thread_;
};

// The platform alone: every connect is let go as soon as it is seen (the
// attribution of its process included), with no engine and no device.
class PermitAll : public hbt::FilterCallouts {
public:
    hbt::ConnectAction ClassifyConnect(const hbt::ClassifyInfo&) override { return hbt::ConnectAction::kPermit; }
    void ClassifyFlowEstablished(const hbt::ClassifyInfo&) override {}
    hbt::StreamAction ClassifyStream(const hbt::ClassifyInfo&, const hbt::StreamSegment&,
                                     const std::shared_ptr<hbt::FlowContext>&) override {
        return hbt::StreamAction::kAllowConnection;
    }
    void FlowDeleted(uint16_t, uint32_t, const std::shared_ptr<hbt::FlowContext>&) override {}
};

double MedianWithPlatformOnly(const std::string& netns, int* failures) {
    PermitAll callouts;
    hbt::NetfilterPlatform platform;
    {
        NamespaceScope scope(netns);
        std::string error;
        if (!platform.Start(callouts, &error)) {
            std::printf("the platform could not start: %s\n", error.c_str());
            return -1;
        }
    }
    const double median = MedianOfSequentialConnects(netns, failures);
    NamespaceScope scope(netns);
    platform.Stop();
    return median;
}

// The core's side of the program's event loop: one preference snapshot
// shared by every connect, the proxy on loopback, nothing else kept.
class BenchHost : public hbt::EngineEventHost {
public:
    BenchHost(bool redirectPort80, uint16_t proxyPort) : proxy_(*hbt::ParseIpAddress("127.0.0.1", proxyPort)) {
        hbt::FileSettingsStore empty("/nonexistent/harbinet-bench/Harbinet.conf");
        auto preferences = std::make_shared<hbt::Preferences>();
        hbt::LoadPreferences(empty, *preferences);
        preferences->enabled = true;
        std::wstring message;
        preferences->SetHttpPorts(redirectPort80 ? L"80" : L"8080", message);
        preferences_ = std::move(preferences);
    }
    std::atomic<bool> running{true};
    std::atomic<long> redirected{0};

    bool IsRunning() const override { return running; }
    std::shared_ptr<const hbt::Preferences> PreferencesSnapshot() const override { return preferences_; }
    bool IsTemporarilyExcluded(const hbt::SocketAddressSlot&) const override { return false; }
    uint64_t AppendRedirectRecord(const hbt::SocketAddressSlot&, const hbt::SocketAddressSlot&, uint32_t,
                                  const std::wstring&) override {
        return static_cast<uint64_t>(++redirected);
    }
    void WithdrawRedirectRecord(uint64_t) override {}
    void ClearRedirectRecords() override {}
    hbt::SocketAddressSlot ProxyAddress(bool) const override { return proxy_; }
    void Count(hbt::EngineCounter) override {}
    bool DisplayOff() const override { return false; }
    bool AdmitToProxy() override { return true; }
    void EngineGone() override {}
    bool ReopenEngine() override { return false; }

private:
    std::shared_ptr<const hbt::Preferences> preferences_;
    hbt::SocketAddressSlot proxy_;
};

struct LoopFigures {
    double median = -1;
    double rate = -1;
    long redirected = 0;
};

// The median sequential connect and the connect rate with the program's
// event loop answering from its own thread, as in the program.
LoopFigures WithProgramLoop(const std::string& device, const std::string& netns, bool redirect, uint16_t proxyPort,
                            int* failures) {
    LoopFigures figures;
    BenchHost host(redirect, proxyPort);
    hbt::NfeDeviceClient client([device](uint32_t& win32Error) -> std::unique_ptr<hbt::EngineDevice> {
        return hbt::SocketEngineDevice::Open(device, win32Error);
    });
    if (!client.NfeOpenDevice() || !client.SetConfig(static_cast<uint32_t>(getpid()) + 1, {}, {}).Succeeded() ||
        !client.Start().Succeeded()) {
        std::printf("the program's loop could not take up the engine\n");
        return figures;
    }
    hbt::CEngineEventLoop loop(host, client, [](std::chrono::milliseconds wait) { std::this_thread::sleep_for(wait); });
    std::thread loopThread([&loop] { loop.Run(); });
    figures.median = MedianOfSequentialConnects(netns, failures);
    figures.rate = ConnectsPerSecond(netns);
    figures.redirected = host.redirected;
    host.running = false;
    client.CloseDevice();
    loopThread.join();
    return figures;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) rateThreads = std::max(1, std::atoi(argv[1]));
    hbt::e2e::NetnsPair net;
    std::string reason;
    if (!net.Create(&reason)) {
        std::printf("SKIPPED: %s\n", reason.c_str());
        return 0;
    }
    // Connects through the namespaces only; the server accepts and answers.
    AcceptServer server;
    if (!server.Start(net.Server())) {
        std::printf("the test server could not start\n");
        return 1;
    }
    int failures = 0;
    const double bare = MedianOfSequentialConnects(net.Client(), &failures);
    const double bareRate = ConnectsPerSecond(net.Client());
    const double platformOnly = MedianWithPlatformOnly(net.Client(), &failures);

    const std::string dir = "/tmp/hbt-bench-" + net.Client();
    mkdir(dir.c_str(), 0700);
    const std::string device = dir + "/HbtEngineDrv";
    hbt::e2e::BackgroundProgram engine;
    engine.Start({"ip", "netns", "exec", net.Client(), HBT_ENGINED_PATH, "--device", device}, dir + "/engined.log");
    for (int i = 0; i < 100 && ReadFile(dir + "/engined.log").find("serving") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    std::atomic<long> answered{0};
    hbt::e2e::EngineTestClient client;
    client.onEvent = [&answered](hbt::e2e::EngineTestClient& c, const hbt::NfeEvent& e) {
        if (e.type != hbt::NFE_EVENT_CONNECT_REDIRECT) return;
        if (c.Answer(e, hbt::NFE_ANSWER_PERMIT).Succeeded()) ++answered;
    };
    std::string error;
    if (!client.Connect(device, static_cast<uint32_t>(getpid()) + 1, false, &error)) {
        std::printf("%s\n%s", error.c_str(), ReadFile(dir + "/engined.log").c_str());
        return 1;
    }
    const double withEngine = MedianOfSequentialConnects(net.Client(), &failures);
    std::this_thread::sleep_for(100ms);  // the last answer's reply may still be on its way
    const long answeredSequential = answered.load();
    const double engineRate = ConnectsPerSecond(net.Client());
    // The program holds only the ports it monitors: port 80 is not among them here.
    double leftAlone = -1;
    if (client.SetPortRules(hbt::NfePortRules::Of({{443, 443}})).Succeeded()) {
        const long answeredBefore = answered.load();
        leftAlone = MedianOfSequentialConnects(net.Client(), &failures);
        if (answered.load() != answeredBefore) std::printf("connects left alone by the rules were queued\n");
    } else {
        std::printf("the engine refused the port rules\n");
    }
    client.Close();
    // The program's own loop: connects left alone, then redirected to a
    // loopback listener in the client's namespace, as to the proxy.
    constexpr uint16_t kProxyPort = 31080;
    AcceptServer proxy;
    const bool proxyUp = proxy.Start(net.Client(), "127.0.0.1", kProxyPort);
    const LoopFigures loopPermit = WithProgramLoop(device, net.Client(), false, kProxyPort, &failures);
    const LoopFigures loopRedirect =
        proxyUp ? WithProgramLoop(device, net.Client(), true, kProxyPort, &failures) : LoopFigures{};
    engine.Stop(SIGTERM, 10);
    std::remove(device.c_str());
    std::remove((dir + "/engined.log").c_str());
    rmdir(dir.c_str());

    std::printf("sequential connects:          %d each\n", kSequentialConnects);
    std::printf("median connect, no engine:    %.1f us\n", bare);
    std::printf("median connect, platform only: %.1f us (netfilter platform permitting at once, no engine)\n",
                platformOnly);
    std::printf("median connect, with engine:  %.1f us (answered %ld of them)\n", withEngine, answeredSequential);
    std::printf("added median latency:         %.1f us (target < 300 us)\n", withEngine - bare);
    std::printf("median connect, left alone by the rules: %.1f us (a port the engine does not queue)\n", leftAlone);
    std::printf("added median latency, left alone: %.1f us (target <= 40 us)\n", leftAlone - bare);
    std::printf("connects per second, no engine:   %.0f (%d connectors)\n", bareRate, rateThreads);
    std::printf("connects per second, with engine: %.0f (target >= 5000)\n", engineRate);
    std::printf("program's event loop answering, connects left alone:\n");
    std::printf("  median connect %.1f us, added %.1f us; %.0f connects per second (%d connectors)\n",
                loopPermit.median, loopPermit.median - bare, loopPermit.rate, rateThreads);
    std::printf("program's event loop answering, connects redirected to a loopback listener:\n");
    std::printf("  median connect %.1f us, added %.1f us (target <= 80 us); %.0f connects per second "
                "(target >= 20000); %ld redirected\n",
                loopRedirect.median, loopRedirect.median - bare, loopRedirect.rate, loopRedirect.redirected);
    std::printf("failed connects:              %d\n", failures);
    return 0;
}
