#include "HbtEngineDrv/device/device_socket_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine_protocol/device_frame.h"

namespace hbt {

std::shared_ptr<DeviceSocketConnection> DeviceSocketConnection::Start(int fd, std::unique_ptr<EngineDevice> device) {
    std::shared_ptr<DeviceSocketConnection> connection(new DeviceSocketConnection(fd, std::move(device)));
    connection->writer_ = std::thread([c = connection.get()] { c->WriteLoop(); });
    connection->reader_ = std::thread([c = connection] { c->ReadLoop(); });
    return connection;
}

DeviceSocketConnection::DeviceSocketConnection(int fd, std::unique_ptr<EngineDevice> device)
    : fd_(fd), device_(std::move(device)) {}

DeviceSocketConnection::~DeviceSocketConnection() {
    if (fd_ >= 0) ::close(fd_);
}

void DeviceSocketConnection::Stop() { ::shutdown(fd_, SHUT_RDWR); }

bool DeviceSocketConnection::PeerHungUp() const {
    pollfd probe{fd_, POLLRDHUP, 0};
    return ::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool DeviceSocketConnection::WaitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, timeout, [this] { return finished_; });
}

void DeviceSocketConnection::Join() {
    if (reader_.joinable()) reader_.join();
}

void DeviceSocketConnection::ReadLoop() {
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> chunk(64 * 1024);
    for (;;) {
        const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + n);
        if (!DispatchRequests(buffer)) break;  // a malformed request ends the session
    }
    // The client is gone: this is the close of the device's file.
    device_->Close();
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    writer_.join();
    ::shutdown(fd_, SHUT_RDWR);
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    wake_.notify_all();
}

bool DeviceSocketConnection::DispatchRequests(std::vector<uint8_t>& buffer) {
    // Replies to the requests of one read go out together.
    {
        std::lock_guard lock(mutex_);
        corked_ = true;
    }
    const bool ok = DispatchBuffered(buffer);
    std::unique_lock lock(mutex_);
    corked_ = false;
    if (!outgoing_.empty() && !writing_ && !closing_) SendWithoutBlocking(lock);
    return ok;
}

bool DeviceSocketConnection::DispatchBuffered(std::vector<uint8_t>& buffer) {
    std::size_t offset = 0;
    for (;;) {
        DeviceRequestHeader header;
        const ByteScan scan = ScanDeviceRequest(buffer.data() + offset, buffer.size() - offset, header);
        if (scan.IsMalformed()) return false;
        if (scan.NeedsMore()) break;
        const auto inputBegin = buffer.begin() + static_cast<std::ptrdiff_t>(offset + kDeviceRequestHeaderSize);
        std::vector<uint8_t> input(inputBegin, inputBegin + header.inputLength);
        offset += scan.length;
        device_->Submit(header.controlCode, std::move(input), header.outputCapacity,
                        [self = shared_from_this(), id = header.id](DeviceReply reply) { self->QueueReply(id, reply); });
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
}

void DeviceSocketConnection::QueueReply(uint64_t id, const DeviceReply& reply) {
    std::unique_lock lock(mutex_);
    if (closing_) return;
    AppendDeviceReply(id, reply, outgoing_);
    if (!writing_ && !corked_) SendWithoutBlocking(lock);
}

void DeviceSocketConnection::SendWithoutBlocking(std::unique_lock<std::mutex>& lock) {
    // Sending from the thread that completed the request spares a thread
    // switch per reply; only what the socket cannot take now is left to the
    // writer thread, ahead of anything queued meanwhile.
    sending_.swap(outgoing_);
    writing_ = true;
    lock.unlock();
    ssize_t n = 0;
    do {
        n = ::send(fd_, sending_.data(), sending_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    lock.lock();
    writing_ = false;
    outgoing_.insert(outgoing_.begin(), sending_.begin() + static_cast<std::ptrdiff_t>(sent), sending_.end());
    sending_.clear();
    if (!outgoing_.empty()) wake_.notify_all();
}

void DeviceSocketConnection::WriteLoop() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || (!outgoing_.empty() && !writing_ && !corked_); });
            if (closing_) return;
            sending_.swap(outgoing_);
            writing_ = true;
        }
        const bool ok = SendAll(sending_);
        sending_.clear();
        std::unique_lock lock(mutex_);
        writing_ = false;
        if (!ok) {
            // The client cannot take replies any more: end the session.
            ::shutdown(fd_, SHUT_RDWR);
            wake_.wait(lock, [this] { return closing_; });
            return;
        }
    }
}

bool DeviceSocketConnection::SendAll(const std::vector<uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace hbt
