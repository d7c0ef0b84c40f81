#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine_protocol/byte_order.h"
#include "engine_protocol/device_frame.h"
#include "engine_protocol/nfe_protocol.h"
#include "platform/engine_socket_device.h"

namespace hbt {

namespace {

constexpr uint32_t kWin32FileNotFound = 2;
constexpr uint32_t kWin32AccessDenied = 5;

bool ReadExact(int fd, uint8_t* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::recv(fd, out + done, size - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool WriteExact(int fd, const uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

uint32_t Win32ErrorForConnect(int error) {
    // EACCES/EPERM: the socket's permissions keep this user out.
    if (error == EACCES || error == EPERM) return kWin32AccessDenied;
    return kWin32FileNotFound;
}

}  // namespace

std::string EngineDevicePath() {
    const char* path = std::getenv("HBT_ENGINE_DEVICE");
    return (path && *path) ? path : kDefaultEngineDevicePath;
}

std::unique_ptr<SocketEngineDevice> SocketEngineDevice::Open(const std::string& path, uint32_t& win32Error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        win32Error = kWin32FileNotFound;
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        win32Error = Win32ErrorForConnect(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    uint8_t hello[8];
    if (!ReadExact(fd, hello, sizeof(hello)) || GetU32(hello) != kEngineSocketMagic) {
        win32Error = kWin32FileNotFound;  // whatever listens there is not the engine
        ::close(fd);
        return nullptr;
    }
    if (GetU32(hello + 4) != kStatusSuccess) {
        win32Error = kWin32AccessDenied;
        ::close(fd);
        return nullptr;
    }
    win32Error = 0;
    return std::unique_ptr<SocketEngineDevice>(new SocketEngineDevice(fd));
}

SocketEngineDevice::SocketEngineDevice(int fd) : fd_(fd) {}

SocketEngineDevice::~SocketEngineDevice() {
    Close();
    ::close(fd_);
}

void SocketEngineDevice::Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                                DeviceCompletion done) {
    if (closed_) {
        done(DeviceReply{kStatusCancelled, 0, {}});
        return;
    }
    uint64_t id;
    {
        std::lock_guard lock(pendingMutex_);
        id = nextRequestId_++;
        pending_.emplace_back(id, std::move(done));
    }
    if (!SendRequest(id, controlCode, input, outputCapacity)) {
        // A reading thread sees the broken connection too; whoever takes the entry completes it.
        if (DeviceCompletion completion = TakePending(id)) completion(DeviceReply{kStatusCancelled, 0, {}});
        return;
    }
    AwaitReply(id);
}

bool SocketEngineDevice::SendRequest(uint64_t requestId, uint32_t controlCode, const std::vector<uint8_t>& input,
                                     uint32_t outputCapacity) {
    std::lock_guard lock(writeMutex_);
    frame_.resize(kDeviceRequestHeaderSize + input.size());
    PutU64(frame_.data(), requestId);
    PutU32(frame_.data() + 8, controlCode);
    PutU32(frame_.data() + 12, static_cast<uint32_t>(input.size()));
    PutU32(frame_.data() + 16, outputCapacity);
    PutU32(frame_.data() + 20, 0);
    if (!input.empty()) std::memcpy(frame_.data() + kDeviceRequestHeaderSize, input.data(), input.size());
    return WriteExact(fd_, frame_.data(), frame_.size());
}

void SocketEngineDevice::AwaitReply(uint64_t requestId) {
    std::unique_lock lock(pendingMutex_);
    replyTaken_.wait(lock, [&] { return !reading_ || FindPendingLocked(requestId) == pending_.end(); });
    if (FindPendingLocked(requestId) == pending_.end()) return;
    reading_ = true;
    lock.unlock();
    ReadRepliesUntil(requestId);
    lock.lock();
    reading_ = false;
    lock.unlock();
    replyTaken_.notify_all();  // one of those still waiting reads on
}

void SocketEngineDevice::ReadRepliesUntil(uint64_t requestId) {
    uint8_t bytes[kDeviceReplyHeaderSize];
    while (ReadExact(fd_, bytes, sizeof(bytes))) {
        // The header tells how much follows; the output is read straight into the reply.
        DeviceReplyHeader header;
        if (ScanDeviceReply(bytes, sizeof(bytes), header).IsMalformed()) break;
        DeviceReply reply{header.status, header.information, {}};
        reply.output.resize(DeviceReplyOutputLength(header));
        if (!ReadExact(fd_, reply.output.data(), reply.output.size())) break;
        if (DeviceCompletion completion = TakePending(header.id)) completion(std::move(reply));
        if (header.id == requestId) return;
        replyTaken_.notify_all();
    }
    closed_ = true;
    FailAllPending();
}

DeviceCompletion SocketEngineDevice::TakePending(uint64_t requestId) {
    std::lock_guard lock(pendingMutex_);
    const auto it = FindPendingLocked(requestId);
    if (it == pending_.end()) return nullptr;
    DeviceCompletion completion = std::move(it->second);
    if (it != pending_.end() - 1) *it = std::move(pending_.back());
    pending_.pop_back();
    return completion;
}

SocketEngineDevice::PendingList::iterator SocketEngineDevice::FindPendingLocked(uint64_t requestId) {
    return std::find_if(pending_.begin(), pending_.end(), [&](const auto& entry) { return entry.first == requestId; });
}

void SocketEngineDevice::FailAllPending() {
    PendingList pending;
    {
        std::lock_guard lock(pendingMutex_);
        pending.swap(pending_);
    }
    for (auto& [id, completion] : pending) completion(DeviceReply{kStatusCancelled, 0, {}});
    replyTaken_.notify_all();
}

void SocketEngineDevice::Close() {
    // A thread reading the socket sees it end, and completes every request as cancelled.
    closed_ = true;
    ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace hbt
