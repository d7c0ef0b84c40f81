// The real harbinet --headless against the real engine daemon in dry-run mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "child_process.h"
#include "platform/file_settings_store.h"
#include "tests/https_check/test_server.h"
#include "tests/tools/hbtctl_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using hbt::test::ChildProcess;
using hbt::test::ReadFile;

bool WaitForText(const fs::path& path, const std::string& text, std::chrono::milliseconds limit = 10000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (ReadFile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class HeadlessProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("hbt_headless_" + std::to_string(::getpid()));
        fs::remove_all(home_);
        fs::create_directories(home_);
        device_ = (home_ / "device").string();
        // Nothing leaves the machine: the update check asks a port where nobody listens.
        env_ = {"HOME=" + home_.string(), "XDG_CONFIG_HOME=" + (home_ / "cfg").string(),
                "HBT_ENGINE_DEVICE=" + device_, "HBT_UPDATE_URL=http://127.0.0.1:1/last_versions/windows/"};
    }
    void TearDown() override { fs::remove_all(home_); }

    fs::path home_;
    std::string device_;
    std::vector<std::string> env_;
};

TEST_F(HeadlessProgramTest, ServesUntilTerminatedAndWritesStatisticsOnRequestAndAtStop) {
    ChildProcess engine({HBT_ENGINED_PATH, "--dry-run", "--device", device_, "--allow-uid", std::to_string(::getuid())},
                 home_ / "engine.txt", {});
    ASSERT_TRUE(WaitForText(home_ / "engine.txt", "serving")) << ReadFile(home_ / "engine.txt");
    const fs::path output = home_ / "harbinet.txt";
    ChildProcess program({HARBINET_PATH, "--headless"}, output, env_);
    ASSERT_TRUE(WaitForText(output, "Welcome to Harbinet v1.54")) << ReadFile(output);
    // Start-up has reached the engine once the banner is out and nothing failed.
    std::this_thread::sleep_for(300ms);
    program.Signal(SIGUSR1);
    ASSERT_TRUE(WaitForText(output, "Connections :\nTotal\t\t\t0\nProcessed  \t\t0\n")) << ReadFile(output);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    const std::string text = ReadFile(output);
    EXPECT_EQ(Count(text, "Connections :"), 2) << text;  // on request and at the stop
    EXPECT_EQ(text.find("Fatal Error"), std::string::npos) << text;
    // The log file works beside standard output, in the default documents folder.
    EXPECT_NE(ReadFile(home_ / "Documents" / "Harbinet" / "Log.txt").find("Welcome to Harbinet"), std::string::npos);
    engine.Signal(SIGTERM);
    EXPECT_EQ(engine.Wait(), 0);
}

TEST_F(HeadlessProgramTest, AnAvailableUpdateIsLogged) {
    hbt::test::TestServer updates(hbt::test::RecordingHttpHandler(hbt::test::HttpOk("2 20000 http://mirror.example/get")));
    env_.back() = "HBT_UPDATE_URL=http://127.0.0.1:" + std::to_string(updates.Port()) + "/last_versions/windows/";
    ChildProcess engine({HBT_ENGINED_PATH, "--dry-run", "--device", device_, "--allow-uid", std::to_string(::getuid())},
                 home_ / "engine.txt", {});
    ASSERT_TRUE(WaitForText(home_ / "engine.txt", "serving")) << ReadFile(home_ / "engine.txt");
    const fs::path output = home_ / "harbinet.txt";
    ChildProcess program({HARBINET_PATH, "--headless"}, output, env_);
    EXPECT_TRUE(WaitForText(output, "(Harbinet Update Checker) - Update is available at http://mirror.example/get"))
        << ReadFile(output);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    engine.Signal(SIGTERM);
    EXPECT_EQ(engine.Wait(), 0);
}

TEST_F(HeadlessProgramTest, TakesUpSettingsChangedByHbtctlOrBeforeSigHupAndKeepsThemWhenItSaves) {
    const hbt::test::Environment env = {{"HOME", home_.string()}, {"XDG_CONFIG_HOME", (home_ / "cfg").string()}};
    ASSERT_EQ(hbt::test::RunHbtctl({"prefs", "set", "allowInsecureIfNoHttps", "0"}, env).status, 0);
    ChildProcess engine({HBT_ENGINED_PATH, "--dry-run", "--device", device_}, home_ / "engine.txt", {});
    ASSERT_TRUE(WaitForText(home_ / "engine.txt", "serving")) << ReadFile(home_ / "engine.txt");
    const fs::path output = home_ / "harbinet.txt";
    ChildProcess program({HARBINET_PATH, "--headless"}, output, env_);
    // The banner follows the reading of the settings file.
    ASSERT_TRUE(WaitForText(output, "Info and updates")) << ReadFile(output);

    const hbt::test::HbtctlRun set = hbt::test::RunHbtctl({"prefs", "set", "logLevel", "3"}, env);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "hbtctl: stored; the running Harbinet program (pid " + std::to_string(program.Pid()) +
                           ") took the change up\n");
    // The answer comes before the log line has left the queue for the output.
    EXPECT_TRUE(WaitForText(output, "] Settings changed outside Harbinet taken up: logLevel\n")) << ReadFile(output);

    // Changed by an editor, which tells nobody; SIGHUP (systemctl reload) does.
    const std::string settings = (home_ / "cfg" / "Corvant" / "Harbinet.conf").string();
    {
        hbt::FileSettingsStore editor(settings);
        editor.SetString("Settings", "httpPorts", L"80; 8080");
        ASSERT_TRUE(editor.Save());
    }
    program.Signal(SIGHUP);
    EXPECT_TRUE(WaitForText(output, "] Settings changed outside Harbinet taken up: httpPorts\n")) << ReadFile(output);
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);

    const hbt::FileSettingsStore file(settings);
    EXPECT_EQ(file.GetInt("Settings", "logLevel", 0), 3);
    EXPECT_EQ(file.GetString("Settings", "httpPorts", L""), L"80; 8080");
    EXPECT_EQ(file.GetInt("Settings", "allowInsecureIfNoHttps", 1), 0);
}

TEST_F(HeadlessProgramTest, MissingEngineEndsWithStatusTwo) {
    const fs::path output = home_ / "harbinet.txt";
    ChildProcess program({HARBINET_PATH, "--headless"}, output, env_);
    EXPECT_EQ(program.Wait(), 2);
    EXPECT_NE(ReadFile(output).find("NfeOpenDevice failed with error CreateFileW failed with error 2"),
              std::string::npos);
}

TEST_F(HeadlessProgramTest, WithoutHeadlessAndWithoutADisplayItSaysHowToRunIt) {
    const fs::path output = home_ / "harbinet.txt";
    std::vector<std::string> env = env_;
    env.insert(env.end(), {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
    ChildProcess program({HARBINET_PATH}, output, env);
    EXPECT_EQ(program.Wait(), 2);
    EXPECT_NE(ReadFile(output).find("--headless"), std::string::npos);
}

}  // namespace
