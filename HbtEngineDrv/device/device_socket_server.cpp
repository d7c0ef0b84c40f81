#include "HbtEngineDrv/device/device_socket_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "HbtEngineDrv/device/device_socket_connection.h"
#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "engine_protocol/device_frame.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

namespace {

// A client that has just hung up may still be closing its device.
constexpr std::chrono::milliseconds kPreviousClientGrace{500};

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void Refuse(int fd) {
    SendAll(fd, EncodeDeviceHello(DeviceHello{kDeviceHelloMagic, kStatusAccessDenied}));
    ::close(fd);
}

}  // namespace

DeviceSocketServer::DeviceSocketServer(NfeEngine& engine, DeviceSocketServerOptions options)
    : engine_(engine), options_(std::move(options)) {}

DeviceSocketServer::~DeviceSocketServer() { Stop(); }

bool DeviceSocketServer::Start(std::string& error) {
    if (!Bind(error)) {
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        error = Errno("eventfd");
        return false;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

bool DeviceSocketServer::Bind(std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options_.path.empty() || options_.path.size() >= sizeof(address.sun_path)) {
        error = "Device path is empty or too long: " + options_.path;
        return false;
    }
    std::memcpy(address.sun_path, options_.path.c_str(), options_.path.size() + 1);

    // The folder of the default path may not exist yet after a reboot.
    const std::string::size_type slash = options_.path.rfind('/');
    if (slash != std::string::npos && slash > 0) ::mkdir(options_.path.substr(0, slash).c_str(), 0755);

    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = Errno("socket");
        return false;
    }
    // A socket file that nobody answers on is left over from an earlier run.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool inUse = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(probe);
    if (inUse) {
        error = "Another engine already serves " + options_.path;
        return false;
    }
    ::unlink(options_.path.c_str());
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        error = Errno("bind " + options_.path);
        return false;
    }
    // Anyone may connect; the peer's uid decides who may use the device.
    ::chmod(options_.path.c_str(), 0666);
    if (::listen(listenFd_, 8) != 0) {
        error = Errno("listen");
        return false;
    }
    return true;
}

void DeviceSocketServer::Stop() {
    if (acceptThread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof(one));
        acceptThread_.join();
    }
    if (client_) {
        client_->Stop();
        client_->Join();
        client_.reset();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(options_.path.c_str());
        listenFd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

void DeviceSocketServer::AcceptLoop() {
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
        Serve(fd);
    }
}

void DeviceSocketServer::Serve(int fd) {
    if (!PeerAllowed(fd)) {
        Refuse(fd);
        return;
    }
    std::unique_ptr<InProcessEngineDevice> device = InProcessEngineDevice::Open(engine_);
    if (!device && client_ && client_->PeerHungUp() && client_->WaitFinished(kPreviousClientGrace)) {
        ReapClient();
        device = InProcessEngineDevice::Open(engine_);
    }
    if (!device) {
        Refuse(fd);
        return;
    }
    ReapClient();
    if (!SendAll(fd, EncodeDeviceHello(DeviceHello{}))) {
        device->Close();
        ::close(fd);
        return;
    }
    client_ = DeviceSocketConnection::Start(fd, std::move(device));
}

void DeviceSocketServer::ReapClient() {
    if (!client_) return;
    client_->Join();
    client_.reset();
}

bool DeviceSocketServer::PeerAllowed(int fd) const {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return std::find(options_.allowedUids.begin(), options_.allowedUids.end(), credentials.uid) !=
           options_.allowedUids.end();
}

}  // namespace hbt
