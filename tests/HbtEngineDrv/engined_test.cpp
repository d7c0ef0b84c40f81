#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "HbtEngineDrv/daemon/engined_options.h"
#include "engine_protocol/byte_order.h"
#include "engine_protocol/nfe_config.h"
#include "engine_protocol/nfe_event.h"
#include "engine_protocol/nfe_protocol.h"
#include "tests/HbtEngineDrv/device_socket_test_client.h"

namespace hbt {
namespace {

TEST(EnginedOptionsTest, Parsing) {
    std::string error;
    auto defaults = ParseEnginedOptions({"--dry-run"}, "1000", 0, error);
    ASSERT_TRUE(defaults);
    EXPECT_TRUE(defaults->dryRun);
    EXPECT_EQ(defaults->devicePath, "/run/harbinet/HbtEngineDrv");
    EXPECT_EQ(defaults->allowedUids, (std::vector<uid_t>{0, 1000}));

    auto ownUser = ParseEnginedOptions({}, nullptr, 1001, error);
    ASSERT_TRUE(ownUser);
    EXPECT_FALSE(ownUser->dryRun);
    EXPECT_EQ(ownUser->allowedUids, (std::vector<uid_t>{0, 1001}));

    auto given = ParseEnginedOptions({"--device", "/tmp/d", "--allow-uid", "5", "--allow-uid", "7"}, "1000", 0, error);
    ASSERT_TRUE(given);
    EXPECT_EQ(given->devicePath, "/tmp/d");
    EXPECT_EQ(given->allowedUids, (std::vector<uid_t>{5, 7})) << "an explicit list replaces the defaults";

    auto named = ParseEnginedOptions({"--allow-uid", "root", "--allow-uid", "5"}, nullptr, 1001, error);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->allowedUids, (std::vector<uid_t>{0, 5})) << "a user's name stands for its uid";

    const std::vector<std::vector<std::string>> bad = {
        {"--device"}, {"--allow-uid", "no-such-user-hbt"}, {"--allow-uid", "-1"}, {"--allow-uid", ""}, {"--verbose"}};
    for (const auto& args : bad) {
        error.clear();
        EXPECT_FALSE(ParseEnginedOptions(args, nullptr, 0, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

class EnginedProcessTest : public ::testing::Test {
protected:
    EnginedProcessTest() {
        char pattern[] = "/tmp/hbt-engined-XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/HbtEngineDrv";
    }
    ~EnginedProcessTest() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove_all(dir);
    }

    void Launch() {
        pid = ::fork();
        if (pid == 0) {
            ::execl(HBT_ENGINED_PATH, "hbt-engined", "--dry-run", "--device", path.c_str(), nullptr);
            ::_exit(127);
        }
    }

    // The daemon listens a moment after it starts.
    std::optional<DeviceHello> ConnectWhenReady(DeviceSocketTestClient& client) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            if (auto hello = client.Connect(path)) return hello;
            client.Close();
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Exit status after the signal; -1 when it did not end within 10 s.
    int StopWith(int signal) {
        ::kill(pid, signal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string dir;
    std::string path;
    pid_t pid = -1;
};

TEST_F(EnginedProcessTest, ServesTheDeviceAndStopsOnSignalsWithAClientWaiting) {
    for (int signal : {SIGTERM, SIGINT}) {
        Launch();
        DeviceSocketTestClient client;
        auto hello = ConnectWhenReady(client);
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->status, 0u);
        ASSERT_TRUE(client.Send(1, NFE_IOCTL_GET_VERSION, {}, 4));
        ASSERT_TRUE(client.Send(2, NFE_IOCTL_SET_CONFIG, NfeConfig{}.Encode()));
        ASSERT_TRUE(client.Send(3, NFE_IOCTL_START));
        for (uint64_t id = 1; id <= 3; ++id) {
            auto reply = client.Receive();
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->header.status, kStatusSuccess) << id;
        }
        ASSERT_TRUE(client.Send(4, NFE_IOCTL_GET_EVENT, {}, 4096));
        auto started = client.Receive();
        ASSERT_TRUE(started);
        ASSERT_TRUE(client.Send(5, NFE_IOCTL_GET_EVENT, {}, 4096));  // waits: nothing is intercepted

        EXPECT_EQ(StopWith(signal), 0);
        EXPECT_FALSE(std::filesystem::exists(path));
    }
}

}  // namespace
}  // namespace hbt
