#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "HbtEngineDrv/device/in_process_engine_device.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {
namespace {

DeviceReply SubmitAndWait(EngineDevice& device, uint32_t code, std::vector<uint8_t> input, uint32_t capacity) {
    auto promise = std::make_shared<std::promise<DeviceReply>>();
    auto reply = promise->get_future();
    device.Submit(code, std::move(input), capacity, [promise](DeviceReply r) { promise->set_value(std::move(r)); });
    return reply.get();
}

// Connects from several threads while the program answers and the engine is
// stopped and started again: every held connect is completed exactly once and
// no connect that passed at once is completed later.
TEST(EngineConcurrencyTest, EveryHeldConnectCompletesExactlyOnce) {
    SimPlatform platform;
    NfeEngine engine(platform);
    platform.Attach(engine);
    auto device = InProcessEngineDevice::Open(engine);
    ASSERT_EQ(SubmitAndWait(*device, NFE_IOCTL_SET_CONFIG, NfeConfig{}.Encode(), 0).status, kStatusSuccess);
    ASSERT_EQ(SubmitAndWait(*device, NFE_IOCTL_START, {}, 0).status, kStatusSuccess);

    std::thread program([&] {
        for (;;) {
            DeviceReply reply = SubmitAndWait(*device, NFE_IOCTL_GET_EVENT, {}, 1 << 20);
            if (reply.status == kStatusCancelled) return;
            auto event = NfeEvent::Decode(reply.output.data(), reply.output.size());
            if (!event) continue;
            if (event->type == NFE_EVENT_CONNECT_REDIRECT) {
                SubmitAndWait(*device, NFE_IOCTL_PROCESS_REDIRECT,
                              NfeEvent::EncodeAnswer(event->redirectRequestId, NFE_ANSWER_PERMIT), 0);
            } else if (event->type == NFE_EVENT_MESSAGE && event->MessageText() == "RuzOraDadeda stopped.") {
                SubmitAndWait(*device, NFE_IOCTL_START, {}, 0);
            }
        }
    });
    std::atomic<bool> churning{true};
    std::atomic<int> heldSoFar{0};
    std::thread churn([&] {
        while (churning.load() && heldSoFar.load() == 0) std::this_thread::yield();
        while (churning.load()) {
            SubmitAndWait(*device, NFE_IOCTL_STOP, {}, 0);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });

    constexpr int kThreads = 4;
    constexpr int kConnects = 3000;
    std::vector<std::vector<SimPlatform::ConnectResult>> results(kThreads);
    std::vector<std::thread> connectors;
    for (int t = 0; t < kThreads; ++t) {
        connectors.emplace_back([&, t] {
            for (int i = 0; i < kConnects; ++i) {
                results[t].push_back(platform.Connect({}));
                if (results[t].back().action == ConnectAction::kPend) heldSoFar.fetch_add(1);
            }
        });
    }
    for (auto& c : connectors) c.join();
    churning.store(false);
    churn.join();
    device->Close();  // lets every still-held connect go
    program.join();

    std::size_t held = 0;
    for (const auto& perThread : results) {
        for (const auto& r : perThread) {
            const std::size_t completions = platform.Completions(r.connectHandle).size();
            if (r.action == ConnectAction::kPend) {
                ++held;
                ASSERT_EQ(completions, 1u) << "held connect " << r.connectHandle;
            } else {
                ASSERT_EQ(completions, 0u) << "passed connect " << r.connectHandle;
            }
        }
    }
    EXPECT_EQ(engine.PendingRedirectCount(), 0u);
}

}  // namespace
}  // namespace hbt
