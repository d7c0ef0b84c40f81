// The program's client over the engine's real Unix-domain socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "HbtEngineDrv/device/device_socket_server.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_client/nfe_device_client.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_protocol.h"
#include "platform/engine_socket_device.h"
#include "platform/socket_address.h"
#include "tests/log/log_capture.h"

namespace hbt {
namespace {

using namespace std::chrono_literals;

class SocketDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() / ("hbt_dev_" + std::to_string(::getpid()))).string();
        platform_.Attach(engine_);
        std::string error;
        ASSERT_TRUE(server_.Start(error)) << error;
    }
    void TearDown() override { server_.Stop(); }

    NfeDeviceClient::DeviceOpener Opener() {
        return [this](uint32_t& error) -> std::unique_ptr<EngineDevice> { return SocketEngineDevice::Open(path_, error); };
    }

    std::string path_;
    SimPlatform platform_;
    NfeEngine engine_{platform_};
    DeviceSocketServer server_{engine_, DeviceSocketServerOptions{
                                            (std::filesystem::temp_directory_path() /
                                             ("hbt_dev_" + std::to_string(::getpid())))
                                                .string(),
                                            {::getuid()}}};
};

TEST_F(SocketDeviceTest, ClientDrivesTheEngineAndCloseStopsIt) {
    NfeDeviceClient client(Opener());
    ASSERT_TRUE(client.NfeOpenDevice());
    ASSERT_TRUE(client.SetConfig(::getpid(), {}, {}).Succeeded());
    ASSERT_TRUE(client.Start().Succeeded());
    EXPECT_EQ(client.Start().message, "DeviceIoControl failed with error 1242");

    std::vector<uint8_t> buffer(304);
    uint32_t bytes = 0;
    ASSERT_TRUE(client.GetEvent(buffer, bytes).Succeeded());  // the engine's start message
    EXPECT_EQ(NfeEvent::Decode(buffer.data(), bytes)->MessageText(), "RuzOraDadeda started.");
    ASSERT_TRUE(client.GetEvent(buffer, bytes).Succeeded());  // and its report of the refused second start
    EXPECT_EQ(NfeEvent::Decode(buffer.data(), bytes)->MessageText(), "346:Error at NfeEvtIoDeviceControl");

    // A get-event request waits for the next event.
    auto waiting = std::async(std::launch::async, [&] { return client.GetEvent(buffer, bytes); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    SimConnection connection;
    connection.remote = *ParseIpAddress("93.184.216.34", 80);
    platform_.Connect(connection);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    ASSERT_TRUE(waiting.get().Succeeded());
    auto event = NfeEvent::Decode(buffer.data(), bytes);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->type, NFE_EVENT_CONNECT_REDIRECT);
    ASSERT_TRUE(client.ProcessRedirect(static_cast<uint32_t>(event->redirectRequestId),
                                       static_cast<uint32_t>(event->redirectRequestId >> 32), {}, NFE_ANSWER_PERMIT)
                    .Succeeded());

    // Closing while a request waits ends it at once, and stops the engine.
    auto pending = std::async(std::launch::async, [&] { return client.GetEvent(buffer, bytes); });
    std::this_thread::sleep_for(50ms);
    client.CloseDevice();
    ASSERT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(pending.get().kind, NfeErrorKind::kWaitFailed);
    for (int i = 0; i < 100 && engine_.IsActive(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(engine_.IsActive());
}

// No reader thread: whichever request waits reads the socket for all of them.
// Requests made while another waits are answered through it, and a waiter
// whose reply comes first hands the reading on to those still waiting.
TEST_F(SocketDeviceTest, RequestsWaitingTogetherAreAllAnswered) {
    NfeDeviceClient client(Opener());
    ASSERT_TRUE(client.NfeOpenDevice());
    ASSERT_TRUE(client.SetConfig(::getpid(), {}, {}).Succeeded());
    ASSERT_TRUE(client.Start().Succeeded());
    std::vector<uint8_t> buffer(304);
    uint32_t bytes = 0;
    ASSERT_TRUE(client.GetEvent(buffer, bytes).Succeeded());  // the start message

    auto waitForEvent = [&] {
        std::vector<uint8_t> own(304);
        uint32_t ownBytes = 0;
        const NfeDriverError error = client.GetEvent(own, ownBytes);
        // Of two get-events waiting when an event comes, one takes it and the other completes empty.
        if (error.kind == NfeErrorKind::kNoEvent) return std::string("no event");
        if (!error.Succeeded()) return error.message;
        return NfeEvent::Decode(own.data(), ownBytes) ? std::string("an event") : std::string("not an event");
    };
    auto first = std::async(std::launch::async, waitForEvent);
    auto second = std::async(std::launch::async, waitForEvent);
    for (int i = 0; i < 20; ++i) {
        uint32_t version = 0;
        ASSERT_TRUE(client.GetDriverVersion(version).Succeeded());
        EXPECT_EQ(version, kExpectedDriverVersion);
    }
    for (int i = 0; i < 2; ++i) {
        SimConnection connection;
        connection.remote = *ParseIpAddress("93.184.216.34", 80);
        platform_.Connect(connection);
    }
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    const std::string firstAnswer = first.get(), secondAnswer = second.get();
    EXPECT_THAT(firstAnswer, ::testing::AnyOf("an event", "no event"));
    EXPECT_THAT(secondAnswer, ::testing::AnyOf("an event", "no event"));
    EXPECT_TRUE(firstAnswer == "an event" || secondAnswer == "an event");
}

TEST_F(SocketDeviceTest, SecondClientAndMissingSocketAreRefusedWithTheirCodes) {
    LogCapture log;
    NfeDeviceClient first(Opener());
    ASSERT_TRUE(first.NfeOpenDevice());

    uint32_t error = 0;
    EXPECT_EQ(SocketEngineDevice::Open(path_, error), nullptr);
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(SocketEngineDevice::Open(path_ + ".missing", error), nullptr);
    EXPECT_EQ(error, 2u);
}

}  // namespace
}  // namespace hbt
