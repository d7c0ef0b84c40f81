// The core takes up an engine that died and came back.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/core/core_program_fixture.h"

namespace hbt {
namespace {

// The in-process engine's device as the program holds it, with the requests
// sent on it recorded and a kill that closes it under the program, as a dying
// engine daemon does.
class ObservedDevice : public EngineDevice {
public:
    ObservedDevice(std::shared_ptr<EngineDevice> inner, std::function<void(uint32_t)> record)
        : inner_(std::move(inner)), record_(std::move(record)) {}
    void Submit(uint32_t code, std::vector<uint8_t> input, uint32_t capacity, DeviceCompletion done) override {
        record_(code);
        inner_->Submit(code, std::move(input), capacity, std::move(done));
    }
    void Close() override { inner_->Close(); }

private:
    std::shared_ptr<EngineDevice> inner_;
    std::function<void(uint32_t)> record_;
};

class EngineRestartTest : public CoreProgramTest {
protected:
    void SetUp() override {
        CoreProgramTest::SetUp();
        core_.SetEngineDeviceOpener([this](uint32_t& error) -> std::unique_ptr<EngineDevice> {
            std::lock_guard lock(mutex_);
            if (engineDown_) {
                error = 2;  // no engine serves the device
                return nullptr;
            }
            std::shared_ptr<EngineDevice> device = InProcessEngineDevice::Open(engine_);
            if (!device) {
                error = 5;
                return nullptr;
            }
            current_ = device;
            requests_.emplace_back();
            const std::size_t open = requests_.size() - 1;
            return std::make_unique<ObservedDevice>(device, [this, open](uint32_t code) {
                std::lock_guard lock(mutex_);
                requests_[open].push_back(code);
            });
        });
    }

    void KillEngine() {
        std::lock_guard lock(mutex_);
        engineDown_ = true;
        current_->Close();
    }
    void RestartEngine() {
        std::lock_guard lock(mutex_);
        engineDown_ = false;
    }
    std::vector<std::vector<uint32_t>> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Collects lines until one equals `line`.
    bool WaitForLine(const std::wstring& line, std::vector<std::wstring>& seen) {
        return WaitFor([&] {
            for (auto& l : Lines()) seen.push_back(std::move(l));
            return std::find(seen.begin(), seen.end(), line) != seen.end();
        }, 15000ms);
    }
    std::optional<ConnectCompletion> HeldConnectTo80() {
        SimConnection connect;
        connect.local = *ParseIpAddress("127.0.0.1", 41000);
        connect.remote = *ParseIpAddress("93.184.216.34", 80);
        const auto held = platform_.Connect(connect);
        if (held.action != ConnectAction::kPend) return std::nullopt;
        if (!WaitFor([&] { return !platform_.Completions(held.connectHandle).empty(); })) return std::nullopt;
        return platform_.Completions(held.connectHandle)[0];
    }

    std::mutex mutex_;
    bool engineDown_ = false;
    std::shared_ptr<EngineDevice> current_;
    std::vector<std::vector<uint32_t>> requests_;  // per open of the device
};

TEST_F(EngineRestartTest, EngineThatDiesIsShownHaltedAndTakenUpWhenItComesBack) {
    StartAndWaitUntilServing();
    const int refreshesBefore = ui_.refreshes;

    KillEngine();
    std::vector<std::wstring> seen;
    ASSERT_TRUE(WaitForLine(L"Network Engine is gone. Protection is off until it is back.", seen));
    ASSERT_TRUE(WaitFor([&] { return core_.Halted() && ui_.refreshes > refreshesBefore; }));
    EXPECT_FALSE(core_.PreferencesSnapshot()->enabled);

    const int refreshesHalted = ui_.refreshes;
    RestartEngine();
    ASSERT_TRUE(WaitForLine(L"Network Engine is back. Protection restored.", seen));
    EXPECT_FALSE(core_.Halted());
    EXPECT_TRUE(core_.PreferencesSnapshot()->enabled);
    EXPECT_GT(ui_.refreshes, refreshesHalted);
    EXPECT_TRUE(engine_.IsActive());
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    // The new engine holds every connect until it hears the ports again.
    ASSERT_GE(requests[1].size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(requests[1].begin(), requests[1].begin() + 4),
              (std::vector<uint32_t>{NFE_IOCTL_GET_VERSION, NFE_IOCTL_SET_CONFIG, NFE_IOCTL_SET_PORT_RULES,
                                     NFE_IOCTL_START}));
    EXPECT_EQ(engine_.Config()->processId, static_cast<uint32_t>(::getpid()));
    for (const std::wstring line : {L"GetEvent failed with error GetOverlappedResult failed with error 995",
                                    L"Network Engine is gone. Protection is off until it is back.",
                                    L"Network Engine is back. Protection restored."}) {
        EXPECT_EQ(std::count(seen.begin(), seen.end(), line), 1) << line;
    }

    const auto after = HeldConnectTo80();
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->redirect);
    EXPECT_EQ(after->newRemote, core_.Ipv4ProxyAddress());
}

// The engine event loop's waits (between failed reads and between reopen
// attempts) end when the core stops: a day-long wait must not hold up the stop.
TEST_F(EngineRestartTest, StopEndsAWaitAtOnce) {
    StartAndWaitUntilServing();
    std::thread waiter([this] { core_.WaitUnlessStopped(24h); });
    core_.Stop();
    waiter.join();
    core_.WaitUnlessStopped(24h);
}

}  // namespace
}  // namespace hbt
