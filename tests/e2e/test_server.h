#pragma once
// TcpTestServer: a listening socket made inside a given network namespace
// that answers every connection with a short HTTP response and records the
// peer address of each ("192.0.2.2:41234", "[2001:db8::2]:41234").
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hbt::e2e {

class TcpTestServer {
public:
    TcpTestServer() = default;
    ~TcpTestServer();
    TcpTestServer(const TcpTestServer&) = delete;
    TcpTestServer& operator=(const TcpTestServer&) = delete;

    // `address` is numeric; port 0 picks a free one.
    bool Start(const std::string& netns, const std::string& address, uint16_t port);
    void Stop();
    uint16_t Port() const { return port_; }

    // Waits up to `seconds` for at least `count` connections.
    std::vector<std::string> WaitForPeers(std::size_t count, int seconds);

private:
    void AcceptLoop();

    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> peers_;
};

// Runs a program to its end and keeps its standard output.
struct ProgramRun {
    int pid = -1;
    int exitCode = -1;
    std::string output;
};

// Starts `argv` inside the namespace (through `ip netns exec`, which execs the
// program in place, so the process id is the program's own). `onStarted`
// sees the process id while the program runs.
ProgramRun RunProgramIn(const std::string& netns, const std::vector<std::string>& argv,
                        const std::function<void(int pid)>& onStarted = {});

}  // namespace hbt::e2e
