// Proxy figures on loopback, in one run:
//   1. relay throughput for a 1 GiB upload through a tunnel of the proxy, as a ratio to
//      the same upload sent directly, beside the same ratio for socat (socat -b 20000)
//      and for haproxy in TCP mode with option splice-auto, both started here on
//      loopback;
//   2. time from connect to the complete 307 answer through the core (median
//      and 99th percentile): accept, connection thread, record, request head,
//      decision, page, close; beside nginx answering `return 307` to the same
//      client, in turns;
//   3. the same time in Best-Effort Mode, where the 307 waits for the HTTPS
//      check of the host: its HTTPS server is a TLS listener started here on
//      loopback, which the core's checker is pointed at. After one warm-up
//      request (the check itself) 1000 requests follow one at a time, and the
//      TLS connections the listener accepted meanwhile show whether the
//      five-minute cache of the answers holds (0 when it does);
//   4. resident memory with 2000 relays open at once.
// Usage: proxy_bench [megabytes, default 1024] [relays, default 2000]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/hbt_core.h"
#include "https_check/https_checker.h"
#include "platform/safe_socket.h"
#include "platform/socket_address.h"
#include "rules/preferences.h"
#include "tests/core/fake_nat.h"
#include "tests/https_check/test_server.h"
#include "bench/resident_memory.h"

namespace hbt {
namespace {

using Clock = std::chrono::steady_clock;
// A tunnel request: passed through whatever the preferences say.
constexpr char kRequestHead[] = "CONNECT bench.example:443 HTTP/1.1\r\nHost: bench.example:443\r\n\r\n";

SocketAddressSlot Loopback(uint16_t port = 0) { return *ParseIpAddress("127.0.0.1", port); }

std::shared_ptr<CSafeSocket> Listen() {
    auto socket = CSafeSocket::Create(kFamilyIpv4);
    if (!socket || !BindSocket(socket->Handle(), Loopback()) || !ListenSocket(socket->Handle(), 1000)) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        std::exit(1);
    }
    return socket;
}

uint16_t PortOf(const CSafeSocket& socket) { return LocalAddress(socket.Handle())->Port(); }

// Accepts one connection at a time and counts what arrives until it closes.
class CountingSink {
public:
    CountingSink() : listener_(Listen()), thread_([this] { Run(); }) {}
    ~CountingSink() {
        listener_->Close();
        thread_.join();
    }
    SocketAddressSlot Address() const { return Loopback(PortOf(*listener_)); }
    // Waits until a connection that brought `bytes` has closed.
    void WaitFor(uint64_t bytes) {
        while (lastTotal_.load() != bytes) std::this_thread::sleep_for(std::chrono::microseconds(200));
        lastTotal_ = 0;
    }

private:
    void Run() {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const SocketHandle handle = AcceptSocket(listener_->Handle());
            if (handle == kInvalidSocket) return;
            CSafeSocket socket(handle);
            uint64_t total = 0;
            long received;
            while ((received = ReceiveSome(handle, buffer.data(), buffer.size())) > 0) total += received;
            lastTotal_ = total;
        }
    }
    std::shared_ptr<CSafeSocket> listener_;
    std::atomic<uint64_t> lastTotal_{0};
    std::thread thread_;
};

// Sends the request head and `bytes` of body to `target`; seconds until the sink has all of it.
double TimedUpload(const SocketAddressSlot& target, CountingSink& sink, uint64_t bytes,
                   const std::function<void(uint16_t)>& beforeConnect = {}) {
    auto client = CSafeSocket::Create(kFamilyIpv4);
    BindSocket(client->Handle(), Loopback());
    if (beforeConnect) beforeConnect(LocalAddress(client->Handle())->Port());
    std::vector<char> chunk(1 << 16, 'x');
    const auto start = Clock::now();
    if (!ConnectSocket(client->Handle(), target)) {
        std::fprintf(stderr, "connect failed\n");
        std::exit(1);
    }
    client->SendAll(kRequestHead, sizeof(kRequestHead) - 1);
    for (uint64_t sent = 0; sent < bytes; sent += chunk.size()) {
        client->SendAll(chunk.data(), std::min<uint64_t>(chunk.size(), bytes - sent));
    }
    ::shutdown(static_cast<int>(client->Handle()), SHUT_WR);
    sink.WaitFor(bytes + sizeof(kRequestHead) - 1);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The proxy as the program runs it: listener, accept loop, a redirect record
// per client; its HTTPS checker the process-wide one unless given.
class RunningCore {
public:
    explicit RunningCore(std::shared_ptr<CHttpsChecker> checker = nullptr) {
        // The benchmark's clients connect to the proxy directly: the fake
        // stands in for the kernel's translation record.
        core_.SetOriginalDestinationLookup(nat_.Lookup());
        core_.SetHttpsChecker(std::move(checker));
        std::wstring fatal;
        if (!core_.OpenProxyListeners(fatal)) std::exit(1);
        acceptLoop_ = std::thread([this] { core_.AcceptConnections(core_.Ipv4Listener()); });
    }
    ~RunningCore() {
        core_.Stop();
        acceptLoop_.join();
    }
    CHbtCore& Core() { return core_; }
    void Expect(uint16_t clientPort, const SocketAddressSlot& destination, uint32_t pid = 1) {
        core_.AddRedirectRecord({Loopback(clientPort), destination, pid, L"/usr/bin/bench"});
        nat_.Redirect(clientPort, destination);
    }

private:
    test::FakeNat nat_;  // outlives the core
    CHbtCore core_;
    std::thread acceptLoop_;
};

// A peer listens once its port can no longer be bound; a probe connection
// would use up the one connection socat serves.
void WaitUntilListening(uint16_t port) {
    for (int i = 0; i < 500; ++i) {
        if (!BindSocket(CSafeSocket::Create(kFamilyIpv4)->Handle(), Loopback(port))) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the probe is gone: the port is free
    }
    std::fprintf(stderr, "nothing listens on port %u\n", port);
    std::exit(1);
}

pid_t StartSocat(uint16_t listenPort, uint16_t targetPort) {
    const pid_t child = fork();
    if (child == 0) {
        const std::string listen = "TCP-LISTEN:" + std::to_string(listenPort) + ",bind=127.0.0.1,reuseaddr";
        const std::string target = "TCP:127.0.0.1:" + std::to_string(targetPort);
        execlp("socat", "socat", "-b", "20000", listen.c_str(), target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    WaitUntilListening(listenPort);
    return child;
}

// haproxy in the foreground, its configuration in a folder of its own that
// goes with it.
class Haproxy {
public:
    Haproxy(uint16_t listenPort, uint16_t targetPort) : port_(listenPort) {
        char folder[] = "/tmp/hbt_bench_haproxy_XXXXXX";
        if (!mkdtemp(folder)) std::exit(1);
        folder_ = folder;
        const std::string config = folder_ + "/haproxy.cfg";
        std::ofstream(config) << "global\n  maxconn 100\n"
                              << "defaults\n  mode tcp\n  option splice-auto\n"
                              << "  timeout connect 5s\n  timeout client 60s\n  timeout server 60s\n"
                              << "listen relay\n  bind 127.0.0.1:" << listenPort << "\n"
                              << "  server sink 127.0.0.1:" << targetPort << "\n";
        child_ = fork();
        if (child_ == 0) {
            execlp("haproxy", "haproxy", "-db", "-q", "-f", config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        WaitUntilListening(listenPort);
    }
    ~Haproxy() {
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
        std::filesystem::remove_all(folder_);
    }
    SocketAddressSlot Address() const { return Loopback(port_); }

private:
    uint16_t port_;
    std::string folder_;
    pid_t child_ = -1;
};

uint16_t FreePort() {
    auto probe = Listen();
    return PortOf(*probe);
}

void Throughput(uint64_t megabytes) {
    const uint64_t bytes = megabytes << 20;
    CountingSink sink;
    RunningCore proxy;
    Haproxy haproxy(FreePort(), sink.Address().Port());
    double direct = 1e9, ours = 1e9, socat = 1e9, haproxyTime = 1e9;
    for (int round = 0; round < 3; ++round) {
        direct = std::min(direct, TimedUpload(sink.Address(), sink, bytes));
        ours = std::min(ours, TimedUpload(proxy.Core().Ipv4ProxyAddress(), sink, bytes,
                                          [&](uint16_t port) { proxy.Expect(port, sink.Address()); }));
        // Without "fork", socat serves one connection and exits.
        const uint16_t port = FreePort();
        const pid_t child = StartSocat(port, sink.Address().Port());
        socat = std::min(socat, TimedUpload(Loopback(port), sink, bytes));
        waitpid(child, nullptr, 0);
        haproxyTime = std::min(haproxyTime, TimedUpload(haproxy.Address(), sink, bytes));
    }
    auto rate = [&](double seconds) { return static_cast<double>(megabytes) / seconds; };
    std::printf("relay throughput, %llu MiB upload (best of 3):\n", static_cast<unsigned long long>(megabytes));
    std::printf("  direct        %8.0f MiB/s\n", rate(direct));
    std::printf("  harbinet      %8.0f MiB/s  ratio to direct %.2f\n", rate(ours), direct / ours);
    std::printf("  socat -b 20000 %7.0f MiB/s  ratio to direct %.2f\n", rate(socat), direct / socat);
    std::printf("  haproxy       %8.0f MiB/s  ratio to direct %.2f (tcp, option splice-auto)\n", rate(haproxyTime),
                direct / haproxyTime);
}

// nginx answering every request with a 307, as a web server's own redirect,
// in the foreground with its files in a folder of its own.
class Nginx {
public:
    explicit Nginx(uint16_t listenPort) : port_(listenPort) {
        char folder[] = "/tmp/hbt_bench_nginx_XXXXXX";
        if (!mkdtemp(folder)) std::exit(1);
        folder_ = folder;
        const std::string config = folder_ + "/nginx.conf";
        std::ofstream(config) << "worker_processes 1;\npid " << folder_ << "/nginx.pid;\n"
                              << "error_log " << folder_ << "/error.log;\n"
                              << "events { worker_connections 1024; }\n"
                              << "http {\n  access_log off;\n"
                              << "  client_body_temp_path " << folder_ << ";\n"
                              << "  server {\n    listen 127.0.0.1:" << listenPort << ";\n"
                              << "    return 307 https://$host$request_uri;\n  }\n}\n";
        child_ = fork();
        if (child_ == 0) {
            execlp("nginx", "nginx", "-q", "-p", folder_.c_str(), "-c", config.c_str(), "-g", "daemon off;",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        WaitUntilListening(listenPort);
    }
    ~Nginx() {
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
        std::filesystem::remove_all(folder_);
    }
    SocketAddressSlot Address() const { return Loopback(port_); }

private:
    uint16_t port_;
    std::string folder_;
    pid_t child_ = -1;
};

// Of sorted times.
double Median(const std::vector<double>& sorted) { return sorted[sorted.size() / 2]; }
double P99(const std::vector<double>& sorted) { return sorted[sorted.size() * 99 / 100]; }

// The host the redirect phases ask for; two dots, so no "www." retry is made.
constexpr char kRequestedHost[] = "www.bench.example";

// Microseconds from connect to the complete 307 answer of `server`, one
// request at a time, sorted; `beforeConnect` gets the client's port.
std::vector<double> RedirectTimes(int count, const SocketAddressSlot& server,
                                  const std::function<void(uint16_t)>& beforeConnect) {
    const std::string request = std::string("GET /index.html HTTP/1.1\r\nHost: ") + kRequestedHost +
                                "\r\nConnection: close\r\n\r\n";
    std::vector<double> micros;
    char buffer[16384];
    for (int i = 0; i < count; ++i) {
        auto client = CSafeSocket::Create(kFamilyIpv4);
        BindSocket(client->Handle(), Loopback());
        beforeConnect(LocalAddress(client->Handle())->Port());
        const auto start = Clock::now();
        ConnectSocket(client->Handle(), server);
        client->SendAll(request.data(), request.size());
        std::string answer;
        long received;
        while ((received = ReceiveSome(client->Handle(), buffer, sizeof(buffer))) > 0) answer.append(buffer, received);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (answer.rfind("HTTP/1.1 307", 0) != 0) {
            std::fprintf(stderr, "no redirect received\n");
            std::exit(1);
        }
    }
    std::sort(micros.begin(), micros.end());
    return micros;
}

void RedirectLatency(int count) {
    RunningCore proxy;
    // Strict Mode with automatic redirects and no HTTPS check: every request is redirected.
    Preferences preferences;
    preferences.autoRedirect = true;
    proxy.Core().ReplacePreferences(preferences);
    Nginx nginx(FreePort());
    const SocketAddressSlot destination = Loopback(80);
    std::vector<double> ours, theirs;
    // Taken in turns of a hundred, so that both meet the same load of the machine.
    for (int turn = 0; turn < count / 100; ++turn) {
        const auto a = RedirectTimes(100, proxy.Core().Ipv4ProxyAddress(),
                                     [&](uint16_t port) { proxy.Expect(port, destination); });
        const auto b = RedirectTimes(100, nginx.Address(), [](uint16_t) {});
        ours.insert(ours.end(), a.begin(), a.end());
        theirs.insert(theirs.end(), b.begin(), b.end());
    }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    std::printf("connect to complete 307 answer, %zu requests each, in turns:\n", ours.size());
    std::printf("  harbinet  median %.0f us, p99 %.0f us\n", Median(ours), P99(ours));
    std::printf("  nginx     median %.0f us, p99 %.0f us (return 307)\n", Median(theirs), P99(theirs));
    std::printf("  ratio of medians %.2f\n", Median(ours) / Median(theirs));
}

// The host's HTTPS server: a certificate for it from the test authority
// (trusted through SSL_CERT_FILE), a 200 to the check's GET, and a count of
// the connections it accepted.
test::TestServer StartHttpsServer() {
    return test::TestServer(test::HttpsHandler(
        test::MakeServerContext(test::SharedPki().Issue({.names = {kRequestedHost}})), test::HttpReply(200)));
}

void CachedCheckLatency(int count) {
    const test::TestServer https = StartHttpsServer();
    char folder[] = "/tmp/hbt_bench_https_cache_XXXXXX";
    if (!mkdtemp(folder)) std::exit(1);
    HttpsCheckerOptions options;
    options.cachePath = std::string(folder) + "/https_cache.xml";
    options.httpsPort = https.Port();  // the check goes to the destination's address on this port
    std::vector<double> warmUp, times;
    int checked = 0;
    {
        RunningCore proxy(CHttpsChecker::Create(options));
        Preferences preferences;
        preferences.allowInsecureIfNoHttps = true;  // Best-Effort Mode: every plain request is checked
        proxy.Core().ReplacePreferences(preferences);
        const SocketAddressSlot destination = Loopback(80);
        auto expect = [&](uint16_t port) { proxy.Expect(port, destination); };
        warmUp = RedirectTimes(1, proxy.Core().Ipv4ProxyAddress(), expect);
        checked = https.Connections();
        times = RedirectTimes(count, proxy.Core().Ipv4ProxyAddress(), expect);
    }  // stopping the core waits for checks still running
    const int during = https.Connections() - checked;
    std::filesystem::remove_all(folder);
    std::printf("connect to complete 307 answer in Best-Effort Mode, HTTPS check of a loopback TLS server, "
                "%zu requests after one warm-up:\n",
                times.size());
    std::printf("  harbinet  median %.0f us, p99 %.0f us (warm-up with the check %.0f us)\n", Median(times),
                P99(times), warmUp[0]);
    std::printf("  TLS connections at the host's HTTPS server per %zu requests: %d (warm-up: %d)\n", times.size(),
                during, checked);
}

// Accepts and keeps every connection, reading nothing.
class HoldingSink {
public:
    HoldingSink() : listener_(Listen()), thread_([this] { Run(); }) {}
    ~HoldingSink() {
        listener_->Close();
        thread_.join();
    }
    SocketAddressSlot Address() const { return Loopback(PortOf(*listener_)); }

private:
    void Run() {
        for (;;) {
            const SocketHandle handle = AcceptSocket(listener_->Handle());
            if (handle == kInvalidSocket) return;
            held_.push_back(std::make_shared<CSafeSocket>(handle));
        }
    }
    std::shared_ptr<CSafeSocket> listener_;
    std::vector<std::shared_ptr<CSafeSocket>> held_;
    std::thread thread_;
};

void RelayMemory(int relays) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    HoldingSink sink;
    RunningCore proxy;
    const long before = hbt::bench::ResidentKiB();
    std::vector<std::shared_ptr<CSafeSocket>> clients;
    for (int i = 0; i < relays; ++i) {
        auto client = CSafeSocket::Create(kFamilyIpv4);
        BindSocket(client->Handle(), Loopback());
        // One process per relay, so that no connection counts as a loop.
        proxy.Expect(LocalAddress(client->Handle())->Port(), sink.Address(), 1000 + i);
        ConnectSocket(client->Handle(), proxy.Core().Ipv4ProxyAddress());
        client->SendAll(kRequestHead, sizeof(kRequestHead) - 1);
        clients.push_back(std::move(client));
    }
    const DestinationKey key = MakeDestinationKey(sink.Address());
    auto open = [&] {
        int count = 0;
        for (int i = 0; i < relays; ++i) count += proxy.Core().ConnectionsInProgress(1000 + i, key) == 1;
        return count;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (open() < relays && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let every relay reach its wait
    const long during = hbt::bench::ResidentKiB();
    std::printf("%d relays open (%d counted in progress): resident %.1f MiB (before %.1f MiB, %.1f KiB per relay)\n",
                relays, open(), during / 1024.0, before / 1024.0, static_cast<double>(during - before) / relays);
    for (auto& client : clients) client->Close();
}

}  // namespace
}  // namespace hbt

int main(int argc, char** argv) {
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int relays = argc > 2 ? std::atoi(argv[2]) : 2000;
    signal(SIGPIPE, SIG_IGN);
    hbt::Throughput(megabytes);
    hbt::RedirectLatency(2000);
    hbt::CachedCheckLatency(1000);
    hbt::RelayMemory(relays);
    return 0;
}
