// hbtctl status against no engine, an engine no program holds and one held by
// a client, and what it shows of the stored settings.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "https_check/https_cache_file.h"
#include "platform/engine_socket_device.h"
#include "tests/tools/hbtctl_runner.h"
#include "tests/ui/child_process.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class HbtctlStatus : public test::HbtctlHomeTest {
protected:
    std::string Device() const { return (home_ / "engine.sock").string(); }
    test::HbtctlRun Status() const {
        return test::RunHbtctl({"status"}, {{"XDG_CONFIG_HOME", (home_ / "config").string()},
                                            {"HOME", home_.string()},
                                            {"XDG_DOCUMENTS_DIR", ""},
                                            {"HBT_ENGINE_DEVICE", Device()}});
    }
    // Waits until the engine says it serves its device.
    bool EngineServes() const {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (test::ReadFile(home_ / "engine.txt").find("serving") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

TEST_F(HbtctlStatus, ExitStatusSaysWhetherTheEngineRunsAndServesAProgram) {
    const test::HbtctlRun absent = Status();
    EXPECT_EQ(absent.status, 2);
    EXPECT_NE(absent.out.find("Engine: not running (nothing serves " + Device() + ")\n"), std::string::npos)
        << absent.out;

    test::ChildProcess engine({HBT_ENGINED_PATH, "--dry-run", "--device", Device()}, home_ / "engine.txt", {});
    ASSERT_TRUE(EngineServes()) << test::ReadFile(home_ / "engine.txt");
    // Asking twice: the first look must not have left the device taken.
    for (int look = 0; look < 2; ++look) {
        const test::HbtctlRun idle = Status();
        EXPECT_EQ(idle.status, 1) << look;
        EXPECT_NE(idle.out.find("Engine: running at " + Device() + ", no program holds it\n"), std::string::npos)
            << idle.out;
    }

    uint32_t error = 0;
    auto client = SocketEngineDevice::Open(Device(), error);
    ASSERT_TRUE(client) << error;
    const test::HbtctlRun held = Status();
    EXPECT_EQ(held.status, 0);
    EXPECT_NE(held.out.find("Engine: running at " + Device() + ", held by a program\n"), std::string::npos)
        << held.out;
}

TEST_F(HbtctlStatus, ShowsTheStoredModeAndSettingsTheCacheAndTheLogFolder) {
    ASSERT_EQ(Run({"prefs", "set", "allowInsecureIfNoHttps", "0"}).status, 0);
    ASSERT_EQ(Run({"prefs", "set", "excludeHosts", "a.example\nb.example"}).status, 0);
    ASSERT_EQ(Run({"prefs", "set", "allowedSslVersions", "771,772,"}).status, 0);
    const std::string cache = (home_ / "Documents" / "Harbinet" / "https_cache.xml").string();
    fs::create_directories(fs::path(cache).parent_path());
    ASSERT_TRUE(SaveHttpsCacheFile(cache, {{"a.example/a.example", {true, 771, 49199}}, {"b.example/b.example", {}}}));
    ASSERT_EQ(Run({"hsts", "add", "a.example"}).status, 0);

    const std::string out = Status().out;
    for (const std::string& line : {
             "Settings file: " + SettingsFile().string(),
             std::string("Mode: Strict Mode"),
             std::string("HTTP ports: 80; 88; 3128; 8080-8088"),
             std::string("Excluded applications: (none)"),
             std::string("Excluded hosts: a.example; b.example"),
             std::string("Allowed protocol versions: TLS 1.2, TLS 1.3"),
             std::string("Cipher suites: Allow All"),
             std::string("Log levels: Normal on screen, Normal in the file"),
             "Log folder: " + (home_ / "Documents" / "Harbinet").string(),
             "HTTPS results cached: 2 in " + cache,
             "HTTPS promises kept: 1 learned in " + (home_ / "Documents" / "Harbinet" / "hsts_promises.txt").string() +
                 ", 0 preloaded in " + (home_ / "Documents" / "Harbinet" / "hsts_preload.txt").string(),
             std::string("Keep sites' HTTPS promises (HSTS): on"),
         }) {
        EXPECT_NE(out.find(line + "\n"), std::string::npos) << line << "\n" << out;
    }
}

}  // namespace
}  // namespace hbt
