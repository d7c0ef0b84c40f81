#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "HbtEngineDrv/device/device_socket_server.h"
#include "HbtEngineDrv/engine/nfe_engine.h"
#include "HbtEngineDrv/platform/sim_platform.h"
#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/HbtEngineDrv/device_socket_test_client.h"

namespace hbt {
namespace {

// Waits for a condition that another thread brings about; fails after 5 s.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class DeviceSocketTest : public ::testing::Test {
protected:
    DeviceSocketTest() {
        char pattern[] = "/tmp/hbt-device-XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/sub/HbtEngineDrv";  // the folder is created by the server
        platform.Attach(engine);
    }
    ~DeviceSocketTest() override {
        if (server) server->Stop();
        std::filesystem::remove_all(dir);
    }

    void StartServer(std::vector<uid_t> uids = {::getuid()}) {
        server = std::make_unique<DeviceSocketServer>(engine, DeviceSocketServerOptions{path, uids});
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    // Configures and starts the engine through the client; the start message is read.
    void StartEngine(DeviceSocketTestClient& client) {
        ASSERT_TRUE(client.Send(1, NFE_IOCTL_SET_CONFIG, NfeConfig{}.Encode()));
        ASSERT_TRUE(client.Send(2, NFE_IOCTL_START));
        ASSERT_TRUE(client.Send(3, NFE_IOCTL_GET_EVENT, {}, 4096));
        for (uint64_t id = 1; id <= 3; ++id) {
            auto reply = client.Receive();
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->header.id, id);
            EXPECT_EQ(reply->header.status, kStatusSuccess);
        }
    }

    std::string dir;
    std::string path;
    SimPlatform platform;
    NfeEngine engine{platform};
    std::unique_ptr<DeviceSocketServer> server;
};

TEST_F(DeviceSocketTest, PipelinedRequestsWithOutOfOrderReplies) {
    StartServer();
    DeviceSocketTestClient client;
    auto hello = client.Connect(path);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->magic, 0x31544248u);
    EXPECT_EQ(hello->status, 0u);
    StartEngine(client);

    // The get-event request waits; the version request sent after it is answered first.
    ASSERT_TRUE(client.Send(10, NFE_IOCTL_GET_EVENT, {}, 4096));
    ASSERT_TRUE(client.Send(11, NFE_IOCTL_GET_VERSION, {}, 4));
    auto version = client.Receive();
    ASSERT_TRUE(version);
    EXPECT_EQ(version->header.id, 11u);
    ASSERT_EQ(version->output.size(), 4u);
    EXPECT_EQ(GetU32(version->output.data()), 115u);

    auto connect = platform.Connect({});
    auto eventReply = client.Receive();
    ASSERT_TRUE(eventReply);
    EXPECT_EQ(eventReply->header.id, 10u);
    auto event = NfeEvent::Decode(eventReply->output.data(), eventReply->output.size());
    ASSERT_TRUE(event);
    EXPECT_EQ(event->redirectRequestId, connect.connectHandle);

    // Statuses and the size needed travel in the reply; no output follows a failure.
    ASSERT_TRUE(client.Send(12, NFE_IOCTL_GET_VERSION, {}, 2));
    ASSERT_TRUE(client.Send(13, NFE_IOCTL_PROCESS_REDIRECT,
                            NfeEvent::EncodeAnswer(event->redirectRequestId, NFE_ANSWER_PERMIT)));
    auto small = client.Receive();
    ASSERT_TRUE(small);
    EXPECT_EQ(small->header.status, kStatusBufferTooSmall);
    EXPECT_EQ(small->header.information, 4u);
    EXPECT_TRUE(small->output.empty());
    auto answered = client.Receive();
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->header.id, 13u);
    EXPECT_EQ(answered->header.status, kStatusSuccess);
    EXPECT_EQ(platform.Completions(connect.connectHandle).size(), 1u);
}

// Replies completed on different threads, some while the client is not
// reading, must each arrive whole: every id exactly once and every event intact.
TEST_F(DeviceSocketTest, ManyPipelinedRepliesFromSeveralThreadsArriveWhole) {
    StartServer();
    DeviceSocketTestClient client;
    ASSERT_TRUE(client.Connect(path));
    StartEngine(client);
    constexpr uint64_t kWaiting = 50;
    constexpr uint64_t kVersions = 50000;  // more replies than the socket holds
    std::vector<uint8_t> burst;
    for (uint64_t id = 1000; id < 1000 + kWaiting; ++id) {
        auto frame = EncodeDeviceRequest(DeviceRequestHeader{id, NFE_IOCTL_GET_EVENT, 0, 4096}, {});
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(client.SendRaw(burst));
    std::thread connects([&] {
        for (uint64_t i = 0; i < kWaiting; ++i) {
            platform.Connect({});
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    burst.clear();
    for (uint64_t id = 2000; id < 2000 + kVersions; ++id) {
        auto frame = EncodeDeviceRequest(DeviceRequestHeader{id, NFE_IOCTL_GET_VERSION, 0, 4}, {});
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(client.SendRaw(burst));
    connects.join();

    std::set<uint64_t> seen;
    std::size_t events = 0;
    while (seen.size() < kWaiting + kVersions) {
        auto reply = client.Receive();
        ASSERT_TRUE(reply) << seen.size() << " replies read";
        ASSERT_TRUE(seen.insert(reply->header.id).second) << "duplicate id " << reply->header.id;
        ASSERT_EQ(reply->header.status, kStatusSuccess);
        if (reply->header.id >= 2000) {
            ASSERT_LT(reply->header.id, 2000 + kVersions);
            ASSERT_EQ(GetU32(reply->output.data()), 115u);
        } else if (!reply->output.empty()) {
            // A waiting request may also complete empty when another took the event.
            ASSERT_TRUE(NfeEvent::Decode(reply->output.data(), reply->output.size()));
            ++events;
        }
    }
    EXPECT_EQ(events + engine.QueuedEventCount(), kWaiting);
}

TEST_F(DeviceSocketTest, DeviceIsExclusiveAndClosingStopsTheEngine) {
    StartServer();
    DeviceSocketTestClient first;
    ASSERT_TRUE(first.Connect(path));
    StartEngine(first);
    ASSERT_TRUE(first.Send(20, NFE_IOCTL_GET_EVENT, {}, 4096));  // left waiting
    auto held = platform.Connect({});
    ASSERT_TRUE(first.Receive());
    auto waiting = platform.Connect({});

    DeviceSocketTestClient second;
    auto refused = second.Connect(path);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, kStatusAccessDenied);
    EXPECT_FALSE(second.Receive()) << "the refused client is disconnected";
    EXPECT_TRUE(engine.IsActive());

    first.Close();
    ASSERT_TRUE(Eventually([&] { return !engine.IsActive(); }));
    EXPECT_EQ(platform.Completions(held.connectHandle).size(), 1u);
    EXPECT_EQ(platform.Completions(waiting.connectHandle).size(), 1u);

    DeviceSocketTestClient third;
    auto hello = third.Connect(path);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, 0u);
    ASSERT_TRUE(third.Send(30, NFE_IOCTL_GET_EVENT, {}, 4096));
    auto stopped = third.Receive();
    ASSERT_TRUE(stopped);
    auto message = NfeEvent::Decode(stopped->output.data(), stopped->output.size());
    ASSERT_TRUE(message);
    EXPECT_EQ(message->MessageText(), "RuzOraDadeda stopped.");
    EXPECT_EQ(message->messageStatus, 0u);
}

TEST_F(DeviceSocketTest, PeerWithoutAllowedUidIsRefused) {
    StartServer({::getuid() + 1});
    DeviceSocketTestClient client;
    auto hello = client.Connect(path);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, kStatusAccessDenied);
    EXPECT_FALSE(client.Receive());
}

TEST_F(DeviceSocketTest, OversizedRequestEndsTheSession) {
    StartServer();
    DeviceSocketTestClient client;
    ASSERT_TRUE(client.Connect(path));
    StartEngine(client);
    std::vector<uint8_t> header = EncodeDeviceRequest(DeviceRequestHeader{40, NFE_IOCTL_FLOW_OPERATION, 0, 0}, {});
    PutU32(&header[12], kDeviceMaxRequestInput + 1);
    ASSERT_TRUE(client.SendRaw(header));
    EXPECT_FALSE(client.Receive());
    EXPECT_TRUE(Eventually([&] { return !engine.IsActive(); }));
}

TEST_F(DeviceSocketTest, SecondServerOnALiveSocketFailsAndStopRemovesTheSocket) {
    StartServer();
    {
        DeviceSocketServer other(engine, DeviceSocketServerOptions{path, {::getuid()}});
        std::string error;
        EXPECT_FALSE(other.Start(error));
        EXPECT_NE(error.find("Another engine"), std::string::npos) << error;
    }
    EXPECT_TRUE(std::filesystem::exists(path)) << "the failed server leaves the live socket alone";

    DeviceSocketTestClient client;
    ASSERT_TRUE(client.Connect(path));
    StartEngine(client);
    server->Stop();  // with a client still connected
    EXPECT_FALSE(engine.IsActive());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(client.Receive());
}

}  // namespace
}  // namespace hbt
