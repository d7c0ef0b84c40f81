// The engine's device socket as a local client reaches it: the input is the
// byte stream a client sends, cut into requests by the engine's frame reader
// and served by an engine on the simulated platform, each control code with
// whatever input the client gives it. Between requests the platform carries
// traffic (a connect to port 80 or 443, and for the connect before it the
// established flow with a segment each way), so that answers, flow operations
// and events find something to act on, and port rules decide which of the
// connects reach the engine; the held connects' time-outs run as
// under the daemon's ticker. Every request is answered once, within the
// capacity its client gave, in a reply that reads back the same.
#include <deque>
#include <memory>
#include <string_view>
#include <vector>

#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/device_frame.h"
#include "engine_protocol/nfe_protocol.h"
#include "fuzz/fuzz_support.h"

using namespace hbt;

namespace {

constexpr uint64_t kSecond = 10000000;

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

struct Replies {
    std::size_t expected = 0;
    std::size_t received = 0;

    DeviceCompletion For(const DeviceRequestHeader& request) {
        ++expected;
        return [this, request](DeviceReply reply) {
            ++received;
            if (NfeSucceeded(reply.status)) FUZZ_CHECK(reply.output.size() <= request.outputCapacity);
            std::vector<uint8_t> frame;
            AppendDeviceReply(request.id, reply, frame);
            DeviceReplyHeader header;
            const ByteScan scan = ScanDeviceReply(frame.data(), frame.size(), header);
            FUZZ_CHECK(scan.IsComplete() && scan.length == frame.size());
            FUZZ_CHECK(header.id == request.id && header.status == reply.status);
        };
    }
};

// The traffic between two requests.
class Traffic {
public:
    explicit Traffic(SimPlatform& platform) : platform_(platform) {}

    void Step() {
        if (previous_) {
            const uint64_t flow = platform_.Establish(previous_->connection, previous_->endpointHandle);
            const bool tls = previous_->connection.remote.Port() == 443;
            platform_.Segment(flow, NFE_STREAM_FLAG_SEND,
                              tls ? std::vector<uint8_t>{0x16, 0x03, 0x01, 0x00, 0x05, 0x01, 0x00, 0x00, 0x01, 0x03}
                                  : Bytes("GET / HTTP/1.1\r\nHost: example.com\r\n\r\n"));
            platform_.Segment(flow, NFE_STREAM_FLAG_RECEIVE, {0x16, 0x03, 0x03, 0x00, 0x02, 0x02, 0x00});
            flows_.push_back(flow);
            if (flows_.size() > 2) {
                platform_.EndFlow(flows_.front());
                flows_.pop_front();
            }
        }
        Held next;
        next.connection.local.SetPort(static_cast<uint16_t>(40000 + steps_));
        next.connection.remote.SetPort(steps_ % 2 == 0 ? 80 : 443);
        next.endpointHandle = platform_.Connect(next.connection).endpointHandle;
        previous_ = next;
        ++steps_;
        platform_.Advance(kSecond);
    }

private:
    struct Held {
        SimConnection connection;
        uint64_t endpointHandle = 0;
    };

    SimPlatform& platform_;
    std::optional<Held> previous_;
    std::deque<uint64_t> flows_;
    unsigned steps_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::LogEverything();
    Replies replies;
    {
        SimPlatform platform;
        NfeEngine engine(platform);
        platform.Attach(engine);
        std::unique_ptr<InProcessEngineDevice> device = InProcessEngineDevice::Open(engine);
        FUZZ_CHECK(device != nullptr);
        Traffic traffic(platform);

        std::size_t offset = 0;
        for (;;) {
            DeviceRequestHeader header;
            const ByteScan scan = ScanDeviceRequest(data + offset, size - offset, header);
            if (!scan.IsComplete()) break;  // the client is gone, or sent what no engine takes
            const uint8_t* input = data + offset + kDeviceRequestHeaderSize;
            device->Submit(header.controlCode, std::vector<uint8_t>(input, input + header.inputLength),
                           header.outputCapacity, replies.For(header));
            offset += scan.length;
            traffic.Step();
            engine.ExpirePending();
        }
        // The client's end: the engine stops, and a waiting request is answered.
        device->Close();
        FUZZ_CHECK(replies.received == replies.expected);
        engine.Teardown();
    }
    fuzz::DrainLog();
    return 0;
}
