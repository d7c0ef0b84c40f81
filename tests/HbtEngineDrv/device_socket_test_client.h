#pragma once
// A bare blocking client of the engine device socket, for tests and benchmarks.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine_protocol/device_frame.h"

namespace hbt {

class DeviceSocketTestClient {
public:
    ~DeviceSocketTestClient() { Close(); }

    // Connects and reads the hello; nullopt when the connection failed.
    std::optional<DeviceHello> Connect(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return std::nullopt;
        std::vector<uint8_t> hello(kDeviceHelloSize);
        if (!ReadExactly(hello.data(), hello.size())) return std::nullopt;
        return DecodeDeviceHello(hello.data());
    }

    bool Send(uint64_t id, uint32_t code, const std::vector<uint8_t>& input = {}, uint32_t capacity = 0) {
        return SendRaw(EncodeDeviceRequest(DeviceRequestHeader{id, code, 0, capacity}, input));
    }

    bool SendRaw(const std::vector<uint8_t>& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    struct Reply {
        DeviceReplyHeader header;
        std::vector<uint8_t> output;
    };

    // Next reply; nullopt when the engine closed the connection.
    std::optional<Reply> Receive() {
        Reply reply;
        uint8_t header[kDeviceReplyHeaderSize];
        if (!ReadExactly(header, sizeof(header))) return std::nullopt;
        reply.header = DecodeDeviceReplyHeader(header);
        reply.output.resize(DeviceReplyOutputLength(reply.header));
        if (!ReadExactly(reply.output.data(), reply.output.size())) return std::nullopt;
        return reply;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        start_ = end_ = 0;
    }

private:
    // Reads through a buffer: replies that arrive together cost one system call.
    bool ReadExactly(uint8_t* out, std::size_t size) {
        std::size_t got = 0;
        while (got < size) {
            if (start_ == end_) {
                ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
                if (n <= 0) return false;
                start_ = 0;
                end_ = static_cast<std::size_t>(n);
            }
            const std::size_t take = std::min(size - got, end_ - start_);
            std::memcpy(out + got, buffer_.data() + start_, take);
            start_ += take;
            got += take;
        }
        return true;
    }

    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(64 * 1024);
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    int fd_ = -1;
};

}  // namespace hbt
