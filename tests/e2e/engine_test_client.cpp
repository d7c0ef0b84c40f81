#include "tests/e2e/engine_test_client.h"

#include <arpa/inet.h>

#include "engine_protocol/nfe_protocol.h"
#include "platform/engine_socket_device.h"

namespace hbt::e2e {

EngineTestClient::~EngineTestClient() { Close(); }

bool EngineTestClient::Connect(const std::string& devicePath, uint32_t ownProcessId, bool stepwise,
                               std::string* error) {
    stepwise_ = stepwise;
    client_ = std::make_unique<NfeDeviceClient>([devicePath](uint32_t& win32Error) -> std::unique_ptr<EngineDevice> {
        return SocketEngineDevice::Open(devicePath, win32Error);
    });
    if (!client_->NfeOpenDevice()) {
        *error = "the engine device could not be opened at " + devicePath;
        return false;
    }
    NfeDriverError e = client_->SetConfig(ownProcessId, {{0x16, 0x03}}, {{0xFF, 0xFF}});
    if (e.Succeeded()) e = client_->Start();
    if (!e.Succeeded()) {
        *error = "configuring and starting the engine failed: " + e.message;
        return false;
    }
    reader_ = std::thread([this] { ReadEvents(); });
    return true;
}

void EngineTestClient::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
    if (client_) client_->CloseDevice();
    if (reader_.joinable()) reader_.join();
    client_.reset();
}

void EngineTestClient::ReadEvents() {
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        if (stepwise_) {
            std::unique_lock lock(mutex_);
            arrived_.wait(lock, [&] { return closed_ || credits_ > 0; });
            if (closed_) return;
            --credits_;
        }
        uint32_t bytes = 0;
        const NfeDriverError e = client_->GetEvent(buffer, bytes);
        if (e.kind == NfeErrorKind::kNoEvent) {
            std::lock_guard lock(mutex_);
            ++credits_;  // nothing came: ask again
            continue;
        }
        if (!e.Succeeded()) return;  // the device was closed
        std::optional<NfeEvent> event = NfeEvent::Decode(buffer.data(), bytes);
        if (!event) continue;
        if (onEvent) onEvent(*this, *event);
        {
            std::lock_guard lock(mutex_);
            if (closed_) return;
            events_.push_back(std::move(*event));
        }
        arrived_.notify_all();
    }
}

std::optional<NfeEvent> EngineTestClient::WaitFor(const std::function<bool(const NfeEvent&)>& match,
                                                  std::chrono::milliseconds timeout, std::size_t from) {
    std::unique_lock lock(mutex_);
    std::optional<NfeEvent> found;
    arrived_.wait_for(lock, timeout, [&] {
        for (std::size_t i = from; i < events_.size(); ++i) {
            if (match(events_[i])) {
                found = events_[i];
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<NfeEvent> EngineTestClient::Next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (taken_ == events_.size()) {
        ++credits_;
        arrived_.notify_all();
        arrived_.wait_for(lock, timeout, [&] { return taken_ < events_.size(); });
        // A request that got nothing in time stays outstanding; what it brings waits here.
        if (taken_ == events_.size()) return std::nullopt;
    }
    return events_[taken_++];
}

std::vector<NfeEvent> EngineTestClient::Events() {
    std::lock_guard lock(mutex_);
    return events_;
}

NfeDriverError EngineTestClient::SetPortRules(const NfePortRules& rules) { return client_->SetPortRules(rules); }

NfeDriverError EngineTestClient::Answer(const NfeEvent& connect, uint32_t flags,
                                        const SocketAddressSlot& newDestination) {
    return client_->ProcessRedirect(static_cast<uint32_t>(connect.redirectRequestId),
                                    static_cast<uint32_t>(connect.redirectRequestId >> 32), newDestination, flags);
}

NfeDriverError EngineTestClient::Inject(const NfeEvent& stream, uint32_t flags, const std::vector<uint8_t>& data) {
    return client_->FlowOperation(static_cast<uint32_t>(stream.flowId), static_cast<uint32_t>(stream.flowId >> 32),
                                  NFE_FLOW_INJECT, flags, data);
}

NfeDriverError EngineTestClient::Detach(const NfeEvent& stream) {
    return client_->FlowOperation(static_cast<uint32_t>(stream.flowId), static_cast<uint32_t>(stream.flowId >> 32),
                                  NFE_FLOW_DETACH, 0, {});
}

std::string AddressText(const SocketAddressSlot& s) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!s.IsIpv4() && !s.IsIpv6()) return "family " + std::to_string(s.Family());
    inet_ntop(s.IsIpv6() ? AF_INET6 : AF_INET, s.AddressBytes(), text, sizeof text);
    return s.IsIpv6() ? "[" + std::string(text) + "]:" + std::to_string(s.Port())
                      : std::string(text) + ":" + std::to_string(s.Port());
}

std::string Utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace hbt::e2e
