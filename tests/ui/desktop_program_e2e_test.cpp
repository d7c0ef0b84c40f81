// The real desktop program against a dry-run engine, on Xvfb with a real
// XEmbed tray (trayer), driven by xdotool as a person would drive it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "tests/https_check/test_server.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using hbt::test::ChildProcess;
using hbt::test::ReadFile;

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// A number of xdotool's --shell output ("WIDTH=24"); -1 when it is not there.
int Field(const std::string& shell, const std::string& name) {
    const auto at = shell.find("\n" + name + "=");
    return at == std::string::npos ? -1 : std::atoi(shell.c_str() + at + name.size() + 2);
}

bool HaveTool(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null").c_str()) == 0; }

class DesktopProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "trayer", "xdotool", "xwininfo", "xdpyinfo", "xwd", "convert"}) {
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
        }
        home_ = fs::temp_directory_path() / ("hbt_desktop_" + std::to_string(::getpid()));
        fs::remove_all(home_);
        fs::create_directories(home_ / "run");
        fs::permissions(home_ / "run", fs::perms::owner_all);
        // Xvfb chooses a free display and writes its number into the file when it is ready.
        const fs::path number = home_ / "display";
        xvfb_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     "exec Xvfb -displayfd 3 -screen 0 1024x700x24 -nolisten tcp 3>" + number.string()},
            home_ / "xvfb.txt", std::vector<std::string>{});
        ASSERT_TRUE(Eventually([&] { return ReadFile(number).find('\n') != std::string::npos; }))
            << ReadFile(home_ / "xvfb.txt");
        display_ = ":" + std::to_string(std::atoi(ReadFile(number).c_str()));
        device_ = (home_ / "engine.sock").string();
        env_ = {"DISPLAY=" + display_, "HOME=" + home_.string(), "XDG_CONFIG_HOME=" + (home_ / "cfg").string(),
                "XDG_RUNTIME_DIR=" + (home_ / "run").string(), "HBT_RUNNING_LOCK=" + (home_ / "lock").string(),
                "HBT_ENGINE_DEVICE=" + device_, "QT_QPA_PLATFORM=xcb", "TMPDIR=" + home_.string(),
                "HBT_UPDATE_URL=http://127.0.0.1:1/last_versions/windows/"};
        // What the program opens on the desktop is written down instead of shown.
        fs::create_directories(home_ / "bin");
        std::ofstream(home_ / "bin" / "xdg-open") << "#!/bin/sh\necho \"$@\" >>\"$HOME/opened.txt\"\n";
        fs::permissions(home_ / "bin" / "xdg-open", fs::perms::owner_all);
        env_.push_back("PATH=" + (home_ / "bin").string() + ":" + std::getenv("PATH"));
        ASSERT_TRUE(Eventually([&] { return !X("xdpyinfo -queryExtensions | head -1").empty(); }))
            << display_ << ": " << ReadFile(home_ / "xvfb.txt");
        tray_ = std::make_unique<ChildProcess>(std::vector<std::string>{"trayer", "--edge", "top", "--align", "right",
                                                                 "--widthtype", "request", "--height", "32"},
                                        home_ / "trayer.txt", env_);
        engine_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{HBT_ENGINED_PATH, "--dry-run", "--device", device_, "--allow-uid",
                                     std::to_string(::getuid())},
            home_ / "engine.txt", std::vector<std::string>{});
        ASSERT_TRUE(Eventually([&] { return ReadFile(home_ / "engine.txt").find("serving") != std::string::npos; }));
        ASSERT_TRUE(Eventually([&] { return !X("xdotool search --name '^panel$'").empty(); }))
            << display_ << ": " << ReadFile(home_ / "trayer.txt") << ReadFile(home_ / "xvfb.txt");
    }
    void TearDown() override {
        engine_.reset();
        tray_.reset();
        xvfb_.reset();
        if (!home_.empty()) fs::remove_all(home_);
    }

    // Runs an X client against our display; its standard output.
    std::string X(const std::string& command) {
        const std::string line = "DISPLAY=" + display_ + " " + command + " 2>/dev/null";
        std::string out;
        if (FILE* pipe = ::popen(line.c_str(), "r")) {
            char buffer[4096];
            while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
            ::pclose(pipe);
        }
        return out;
    }
    // The tray's width grows from 2 pixels once an icon is embedded in it.
    std::string TrayGeometry() { return "\n" + X("xdotool search --name '^panel$' getwindowgeometry --shell"); }
    int TrayWidth() { return Field(TrayGeometry(), "WIDTH"); }
    int TrayLeft() { return Field(TrayGeometry(), "X"); }
    // The ON picture is green, the OFF one grey: the icon's mean green against its mean red.
    bool TrayShowsOn() {
        const std::string crop = std::to_string(TrayWidth() - 2) + "x30+" + std::to_string(TrayLeft() + 1) + "+1";
        const std::string greenOverRed =
            X("sh -c \"xwd -root -silent | convert xwd:- -crop " + crop + " -format '%[fx:mean.g-mean.r]' info:\"");
        return !greenOverRed.empty() && std::stod(greenOverRed) > 0.1;
    }
    std::string Settings() { return ReadFile(home_ / "cfg" / "Corvant" / "Harbinet.conf"); }
    std::string Opened() { return ReadFile(home_ / "opened.txt"); }
    // The visible window of that title, or empty.
    std::string Window(const std::string& title) {
        const auto windows = Lines(X("xdotool search --onlyvisible --name '^" + title + "$'"));
        return windows.empty() ? std::string() : windows.front();
    }
    // Return on the window, as a person answers a box with its default button.
    void PressReturnIn(const std::string& window) { X("xdotool windowfocus --sync " + window + " key Return"); }
    void StartProgram() {
        program_ = std::make_unique<ChildProcess>(std::vector<std::string>{HARBINET_PATH}, home_ / "harbinet.txt", env_);
        ASSERT_TRUE(Eventually([&] { return TrayWidth() >= 16; })) << ReadFile(home_ / "harbinet.txt");
        // The start-up switches the product ON once the engine serves it.
        ASSERT_TRUE(Eventually([&] { return TrayShowsOn(); })) << ReadFile(home_ / "harbinet.txt");
    }
    void ChooseFromTrayMenu(const std::string& keys) {
        const int x = TrayLeft() + TrayWidth() - 12;
        X("xdotool mousemove " + std::to_string(x) + " 16 click 3");
        ASSERT_TRUE(Eventually([&] { return MenuOpen(); }));
        X("xdotool key " + keys);
    }
    bool MenuOpen() {
        for (const std::string& w : Lines(X("xdotool search --onlyvisible --pid " + std::to_string(program_->Pid())))) {
            if (X("xwininfo -id " + w).find("Override Redirect State: yes") != std::string::npos) return true;
        }
        return false;
    }
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            if (end > start) lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }

    fs::path home_;
    std::string display_;
    std::string device_;
    std::vector<std::string> env_;
    std::unique_ptr<ChildProcess> xvfb_;
    std::unique_ptr<ChildProcess> tray_;
    std::unique_ptr<ChildProcess> engine_;
    std::unique_ptr<ChildProcess> program_;
};

TEST_F(DesktopProgramTest, LivesInTheTrayShowsItsDialogToASecondStartSavesModesAndExitsInOrder) {
    StartProgram();
    EXPECT_TRUE(X("xdotool search --onlyvisible --name '^Harbinet$'").empty()) << "no window at start";

    ChildProcess second({HARBINET_PATH}, home_ / "second.txt", env_);
    EXPECT_EQ(second.Wait(), 0) << ReadFile(home_ / "second.txt");
    std::string dialog;
    ASSERT_TRUE(Eventually([&] { return !(dialog = X("xdotool search --onlyvisible --name '^Harbinet$'")).empty(); }));

    // New settings are in Best-Effort Mode; "Strict Mode" is the first row of the mode group (as in
    // build/screenshots/main-dialog-on.png, 381 pixels high).
    const std::string window = Lines(dialog).front();
    const int height = Field("\n" + X("xdotool getwindowgeometry --shell " + window), "HEIGHT");
    ASSERT_GT(height, 0);
    X("xdotool mousemove --window " + window + " 80 " + std::to_string(height * 160 / 381) + " click 1");
    ASSERT_TRUE(Eventually([&] { return Settings().find("allowInsecureIfNoHttps=0") != std::string::npos; }))
        << Settings();

    // E&xit is the menu's last item.
    ChooseFromTrayMenu("Up Return");
    EXPECT_EQ(program_->Wait(), 0) << ReadFile(home_ / "harbinet.txt");
    // The engine let the program's connections go: a new start is served and switched ON again.
    StartProgram();
    ChooseFromTrayMenu("Up Return");
    EXPECT_EQ(program_->Wait(), 0) << ReadFile(home_ / "harbinet.txt");
}

TEST_F(DesktopProgramTest, ACrashShowsTheCrashReporterAndLeavesTheDump) {
    StartProgram();
    program_->Signal(SIGSEGV);
    std::string reporter;
    ASSERT_TRUE(Eventually([&] { return !(reporter = Window("Harbinet Crash Reporter")).empty(); }))
        << ReadFile(home_ / "harbinet.txt");
    const std::string dump = ReadFile(home_ / "Harbinet.dmp");
    EXPECT_NE(dump.find("signal 11 (SIGSEGV)"), std::string::npos) << dump.substr(0, 300);
    EXPECT_NE(dump.find("\nbacktrace:\n"), std::string::npos);
    // Without a file manager on the session bus the dump's folder is opened.
    EXPECT_TRUE(Eventually([&] { return Opened().find(home_.string()) != std::string::npos; })) << Opened();
    PressReturnIn(reporter);
    EXPECT_EQ(program_->Wait(), 128 + SIGSEGV) << ReadFile(home_ / "harbinet.txt");
}

TEST_F(DesktopProgramTest, AnAvailableUpdateShowsTheNoticeWhoseYesOpensTheDownloadPage) {
    hbt::test::TestServer updates(hbt::test::RecordingHttpHandler(hbt::test::HttpOk("2 20000 http://mirror.example/get\r\n")));
    env_.push_back("HBT_UPDATE_URL=http://127.0.0.1:" + std::to_string(updates.Port()) + "/last_versions/windows/");
    StartProgram();
    std::string notice;
    ASSERT_TRUE(Eventually([&] { return !(notice = Window("Harbinet Update")).empty(); }))
        << ReadFile(home_ / "harbinet.txt");
    EXPECT_FALSE(Window("Harbinet Log").empty()) << "the log window comes first";
    PressReturnIn(notice);
    EXPECT_TRUE(Eventually([&] { return Opened() == "http://mirror.example/get\n"; })) << Opened();
    ChooseFromTrayMenu("Up Return");
    EXPECT_EQ(program_->Wait(), 0) << ReadFile(home_ / "harbinet.txt");
}

}  // namespace
