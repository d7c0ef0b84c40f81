#include "tests/e2e/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "tests/e2e/netns_pair.h"

extern char** environ;

namespace hbt::e2e {
namespace {

std::string PeerText(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
    }
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6->sin6_port));
}

}  // namespace

TcpTestServer::~TcpTestServer() { Stop(); }

bool TcpTestServer::Start(const std::string& netns, const std::string& address, uint16_t port) {
    sockaddr_storage a{};
    socklen_t length = 0;
    if (address.find(':') != std::string::npos) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&a);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &in->sin_addr);
        length = sizeof *in;
    }
    bool ok = false;
    RunInNamespace(netns, [&] {
        fd_ = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ok = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), length) == 0 && listen(fd_, 128) == 0;
    });
    if (!ok) return false;
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    running_ = true;
    thread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void TcpTestServer::Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void TcpTestServer::AcceptLoop() {
    while (running_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int c = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (c < 0) continue;
        {
            std::lock_guard lock(mutex_);
            peers_.push_back(PeerText(peer));
        }
        changed_.notify_all();
        // Read the request head (if any comes soon), then answer and close.
        pollfd r{c, POLLIN, 0};
        char buffer[4096];
        if (poll(&r, 1, 2000) > 0) [[maybe_unused]] ssize_t n = recv(c, buffer, sizeof buffer, 0);
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
        [[maybe_unused]] ssize_t n = send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
        close(c);
    }
}

std::vector<std::string> TcpTestServer::WaitForPeers(std::size_t count, int seconds) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return peers_.size() >= count; });
    return peers_;
}

ProgramRun RunProgramIn(const std::string& netns, const std::vector<std::string>& argv,
                        const std::function<void(int pid)>& onStarted) {
    ProgramRun run;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    std::vector<std::string> full = {"ip", "netns", "exec", netns};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : full) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "ip", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return run;
    }
    run.pid = pid;
    if (onStarted) onStarted(pid);
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace hbt::e2e
