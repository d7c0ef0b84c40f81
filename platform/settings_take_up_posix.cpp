#include "platform/settings_take_up.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace hbt {

namespace {

constexpr char kRequest[] = "take-up\n";
// A client that connects and says nothing is given up on after this long.
constexpr int kRequestWaitMs = 2000;

// "Harbinet/settings/" and a hash of the file's absolute path: the name fits
// an abstract socket address whatever the path's length.
std::string EndpointName(const std::string& settingsPath) {
    const std::string path = std::filesystem::absolute(settingsPath).lexically_normal().string();
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : path) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    return std::string("Harbinet/settings/") + hex;
}

socklen_t AbstractAddress(const std::string& name, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] stays 0: abstract
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// Reads until a line end, the peer's end or the time limit; the text read.
std::string ReadLine(int fd, int waitMs) {
    std::string text;
    char buffer[64];
    while (text.find('\n') == std::string::npos && text.size() < 256) {
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, waitMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

bool PeerMayAsk(int fd) {
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
    return peer.uid == ::getuid() || peer.uid == 0;
}

}  // namespace

SettingsTakeUpEndpoint::~SettingsTakeUpEndpoint() { Close(); }

bool SettingsTakeUpEndpoint::Open(const std::string& settingsPath, std::function<void()> takeUp, std::string& error) {
    sockaddr_un address;
    const socklen_t length = AbstractAddress(EndpointName(settingsPath), address);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (listenFd_ < 0 || wakeFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        error = errno == EADDRINUSE ? "another program reads the same settings file" : std::strerror(errno);
        Close();
        return false;
    }
    takeUp_ = std::move(takeUp);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void SettingsTakeUpEndpoint::Close() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof(one));
        thread_.join();
    }
    for (int* fd : {&listenFd_, &wakeFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void SettingsTakeUpEndpoint::Serve() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Answer(fd);
        ::close(fd);
    }
}

void SettingsTakeUpEndpoint::Answer(int fd) {
    if (!PeerMayAsk(fd) || ReadLine(fd, kRequestWaitMs) != kRequest) return;
    takeUp_();
    const std::string answer = std::to_string(::getpid()) + "\n";
    [[maybe_unused]] const ssize_t n = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
}

TakeUpAnswer AskProgramToTakeUp(const std::string& settingsPath, std::chrono::milliseconds wait) {
    sockaddr_un address;
    const socklen_t length = AbstractAddress(EndpointName(settingsPath), address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    TakeUpAnswer answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
        answer.kind = TakeUpAnswer::Kind::kNoAnswer;
        if (::send(fd, kRequest, sizeof(kRequest) - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(kRequest) - 1)) {
            const std::string line = ReadLine(fd, static_cast<int>(wait.count()));
            const long pid = line.ends_with('\n') ? std::strtol(line.c_str(), nullptr, 10) : 0;
            if (pid > 0) answer = {TakeUpAnswer::Kind::kTakenUp, static_cast<pid_t>(pid)};
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace hbt
