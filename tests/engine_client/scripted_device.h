#pragma once
// A device that answers each request from a script and records what was sent.
#include <deque>
#include <functional>
#include <vector>

#include "engine_protocol/engine_device.h"

namespace hbt {

struct SentRequest {
    uint32_t controlCode;
    std::vector<uint8_t> input;
    uint32_t outputCapacity;
};

class ScriptedDevice : public EngineDevice {
public:
    std::deque<DeviceReply> replies;
    std::vector<SentRequest>* sent;
    bool closed = false;
    std::function<void()> onSubmit;  // runs after each request is recorded

    explicit ScriptedDevice(std::vector<SentRequest>* log) : sent(log) {}

    void Submit(uint32_t controlCode, std::vector<uint8_t> input, uint32_t outputCapacity,
                DeviceCompletion done) override {
        sent->push_back({controlCode, std::move(input), outputCapacity});
        if (onSubmit) onSubmit();
        DeviceReply reply;
        if (!replies.empty()) {
            // Like the engine: an answer that does not fit stays at the head.
            if (replies.front().output.size() > outputCapacity) {
                done(DeviceReply{0xC0000023, static_cast<uint32_t>(replies.front().output.size()), {}});
                return;
            }
            reply = std::move(replies.front());
            replies.pop_front();
        }
        done(std::move(reply));
    }
    void Close() override { closed = true; }
};

}  // namespace hbt
