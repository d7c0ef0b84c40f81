// Connect events through the whole engine path: a connect is classified and
// held, its event reaches the program through a get-event request, the program
// answers, and the held connect is completed. Measured in-process (the program
// calls the dispatcher directly) and over the Unix-domain device socket.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "HbtEngineDrv/device/device_socket_server.h"
#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/HbtEngineDrv/device_socket_test_client.h"

namespace hbt {
namespace {

constexpr uint32_t kEventCapacity = 64 * 1024;

// Counts completions instead of recording them, and lets the driver wait for them.
class CountingPlatform : public SimPlatform {
public:
    void CompleteConnect(uint64_t, const ConnectCompletion&) override {
        {
            std::lock_guard lock(mutex_);
            ++completed_;
        }
        changed_.notify_all();
    }

    void WaitCompletedAtLeast(uint64_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return completed_ >= count; });
    }

    uint64_t Completed() {
        std::lock_guard lock(mutex_);
        return completed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t completed_ = 0;
};

// Processor time of the whole process (every thread), in microseconds.
double ProcessCpuMicros() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + t.tv_usec; };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

std::vector<uint8_t> StartedConfig() { return NfeConfig{}.Encode(); }

void BM_ConnectPathInProcess(benchmark::State& state) {
    CountingPlatform platform;
    NfeEngine engine(platform);
    platform.Attach(engine);
    auto device = InProcessEngineDevice::Open(engine);
    auto ignore = [](DeviceReply) {};
    device->Submit(NFE_IOCTL_SET_CONFIG, StartedConfig(), 0, ignore);
    device->Submit(NFE_IOCTL_START, {}, 0, ignore);

    std::optional<DeviceReply> got;
    auto keep = [&](DeviceReply r) { got = std::move(r); };
    device->Submit(NFE_IOCTL_GET_EVENT, {}, kEventCapacity, keep);  // the start message
    got.reset();
    device->Submit(NFE_IOCTL_GET_EVENT, {}, kEventCapacity, keep);  // waits
    SimConnection connection;
    for (auto _ : state) {
        platform.Connect(connection);
        // The waiting request completed with the connect event.
        const uint64_t id = GetU64(&got->output[nfe_event_offset::kRedirectRequestId]);
        got.reset();
        device->Submit(NFE_IOCTL_PROCESS_REDIRECT, NfeEvent::EncodeAnswer(id, NFE_ANSWER_PERMIT), 0, ignore);
        device->Submit(NFE_IOCTL_GET_EVENT, {}, kEventCapacity, keep);
    }
    if (platform.Completed() != static_cast<uint64_t>(state.iterations())) state.SkipWithError("lost completions");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectPathInProcess);

// The program side over the socket: one get-event request outstanding at a
// time, answers pipelined behind it.
void RunSocketProgram(DeviceSocketTestClient& client, std::atomic<bool>& stop) {
    uint64_t nextId = 100;
    uint64_t getEventId = nextId++;
    client.Send(getEventId, NFE_IOCTL_GET_EVENT, {}, kEventCapacity);
    while (!stop.load()) {
        auto reply = client.Receive();
        if (!reply) return;
        if (reply->header.id != getEventId) continue;  // an answer's reply
        std::vector<uint8_t> out;
        if (reply->output.size() >= kNfeEventHeaderSize &&
            GetU32(&reply->output[nfe_event_offset::kType]) == NFE_EVENT_CONNECT_REDIRECT) {
            const uint64_t id = GetU64(&reply->output[nfe_event_offset::kRedirectRequestId]);
            out = EncodeDeviceRequest(DeviceRequestHeader{nextId++, NFE_IOCTL_PROCESS_REDIRECT, 0, 0},
                                      NfeEvent::EncodeAnswer(id, NFE_ANSWER_PERMIT));
        }
        getEventId = nextId++;
        std::vector<uint8_t> next =
            EncodeDeviceRequest(DeviceRequestHeader{getEventId, NFE_IOCTL_GET_EVENT, 0, kEventCapacity}, {});
        out.insert(out.end(), next.begin(), next.end());
        if (!client.SendRaw(out)) return;
    }
}

void BM_ConnectPathUnixSocket(benchmark::State& state) {
    const uint64_t window = static_cast<uint64_t>(state.range(0));
    char pattern[] = "/tmp/hbt-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    CountingPlatform platform;
    NfeEngine engine(platform);
    platform.Attach(engine);
    DeviceSocketServer server(engine, DeviceSocketServerOptions{dir + "/dev", {::getuid()}});
    std::string error;
    if (!server.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    DeviceSocketTestClient client;
    client.Connect(dir + "/dev");
    client.Send(1, NFE_IOCTL_SET_CONFIG, StartedConfig());
    client.Send(2, NFE_IOCTL_START);
    client.Receive();
    client.Receive();

    std::atomic<bool> stop{false};
    std::thread program([&] { RunSocketProgram(client, stop); });
    SimConnection connection;
    uint64_t issued = 0;
    const double cpuBefore = ProcessCpuMicros();
    for (auto _ : state) {
        // Keep at most `window` connects held; when the window is full, wait
        // until half of it has drained, as connects arrive in bursts.
        if (issued >= window) platform.WaitCompletedAtLeast(issued - window / 2);
        platform.Connect(connection);
        ++issued;
    }
    platform.WaitCompletedAtLeast(issued);
    // Processor time per connect over all threads (engine, socket and program):
    // what the path costs independent of how busy the machine is.
    state.counters["cpu_us_per_connect"] = (ProcessCpuMicros() - cpuBefore) / static_cast<double>(issued);
    stop.store(true);
    server.Stop();  // ends the program's blocking read
    program.join();
    std::filesystem::remove_all(dir);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectPathUnixSocket)->Arg(1)->Arg(64)->UseRealTime();

// The floor set by the machine: one event-sized message there and back
// between two threads over a Unix-domain socket pair.
void BM_UnixSocketRoundTripBaseline(benchmark::State& state) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    constexpr std::size_t kMessage = kNfeEventHeaderSize + 40;
    std::thread echo([&] {
        std::vector<uint8_t> buffer(kMessage);
        for (;;) {
            std::size_t got = 0;
            while (got < kMessage) {
                const ssize_t n = ::recv(pair[1], buffer.data() + got, kMessage - got, 0);
                if (n <= 0) return;
                got += static_cast<std::size_t>(n);
            }
            if (::send(pair[1], buffer.data(), kMessage, MSG_NOSIGNAL) <= 0) return;
        }
    });
    std::vector<uint8_t> buffer(kMessage);
    for (auto _ : state) {
        ::send(pair[0], buffer.data(), kMessage, MSG_NOSIGNAL);
        std::size_t got = 0;
        while (got < kMessage) {
            const ssize_t n = ::recv(pair[0], buffer.data() + got, kMessage - got, 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    }
    ::shutdown(pair[0], SHUT_RDWR);
    echo.join();
    ::close(pair[0]);
    ::close(pair[1]);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnixSocketRoundTripBaseline)->UseRealTime();

}  // namespace
}  // namespace hbt

BENCHMARK_MAIN();
