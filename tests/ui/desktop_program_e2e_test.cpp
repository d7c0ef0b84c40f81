// The real desktop program against a dry-run engine, on Xvfb with a real
// XEmbed tray (trayer), driven by xdotool as a person would drive it; for
// the log window's host links, against the real engine in a network namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/file_settings_store.h"
#include "tests/e2e/netns_pair.h"
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
        StartEngine();
        ASSERT_TRUE(Eventually([&] { return ReadFile(home_ / "engine.txt").find("serving") != std::string::npos; }));
        ASSERT_TRUE(Eventually([&] { return !X("xdotool search --name '^panel$'").empty(); }))
            << display_ << ": " << ReadFile(home_ / "trayer.txt") << ReadFile(home_ / "xvfb.txt");
    }
    // The engine the program opens; this one intercepts nothing.
    virtual void StartEngine() {
        engine_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{HBT_ENGINED_PATH, "--dry-run", "--device", device_, "--allow-uid",
                                     std::to_string(::getuid())},
            home_ / "engine.txt", std::vector<std::string>{});
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
    // The program's command line follows `launcher_` (empty: the program itself).
    void StartProgram(const std::vector<std::string>& words = {}) {
        std::vector<std::string> command = launcher_;
        command.push_back(HARBINET_PATH);
        command.insert(command.end(), words.begin(), words.end());
        program_ = std::make_unique<ChildProcess>(command, home_ / "harbinet.txt", env_);
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
    std::vector<std::string> launcher_;
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

// The program's screen as an RGB picture.
struct Picture {
    int width = 0;
    int height = 0;
    std::string rgb;
    const unsigned char* At(int x, int y) const {
        return reinterpret_cast<const unsigned char*>(rgb.data()) + 3 * (static_cast<std::size_t>(y) * width + x);
    }
    bool White(int x, int y) const { return At(x, y)[0] >= 245 && At(x, y)[1] >= 245 && At(x, y)[2] >= 245; }
    bool LinkColour(int x, int y) const { return At(x, y)[2] > At(x, y)[0] + 60 && At(x, y)[2] > At(x, y)[1] + 30; }
};

// The middle of the last link of the log view's lowest line with links: the
// rightmost run of link colour there. The view is the white area above the
// status bar; its scroll bar is at the right.
std::optional<std::pair<int, int>> LastLinkOfTheLog(const Picture& p) {
    const int probe = p.width - 30;
    int bottom = p.height - 1;
    while (bottom > 0 && !p.White(probe, bottom)) --bottom;
    int top = bottom;
    while (top > 0 && p.White(probe, top - 1)) --top;
    auto blueInRow = [&](int y) {
        for (int x = 0; x < probe; ++x) {
            if (p.LinkColour(x, y)) return true;
        }
        return false;
    };
    int underline = bottom;
    while (underline > top && !blueInRow(underline)) --underline;
    if (underline <= top) return std::nullopt;
    const int lineTop = std::max(top, underline - 16);
    auto blueInColumn = [&](int x) {
        for (int y = lineTop; y <= underline; ++y) {
            if (p.LinkColour(x, y)) return true;
        }
        return false;
    };
    int right = probe - 1;
    while (right > 0 && !blueInColumn(right)) --right;
    int left = right;
    for (int x = right, gap = 0; x >= 0 && gap <= 4; --x) {
        if (blueInColumn(x)) {
            left = x;
            gap = 0;
        } else {
            ++gap;
        }
    }
    return std::pair{(left + right) / 2, underline - 4};
}

// The real engine in a network namespace (root), where curl's plain request
// is redirected to the program, so that the log has a host link to click.
class LogWindowLinkTest : public DesktopProgramTest {
protected:
    void SetUp() override {
        std::string reason;
        if (!net_.Create(&reason)) GTEST_SKIP() << reason;
        launcher_ = {"ip", "netns", "exec", net_.Client()};
        DesktopProgramTest::SetUp();
    }
    void StartEngine() override {
        engine_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"ip", "netns", "exec", net_.Client(), HBT_ENGINED_PATH, "--device", device_,
                                     "--allow-uid", "0"},
            home_ / "engine.txt", std::vector<std::string>{});
    }
    void TearDown() override {
        program_.reset();
        engine_.reset();
        DesktopProgramTest::TearDown();
    }
    Picture Grab(const std::string& window) {
        std::istringstream ppm(X("sh -c 'xwd -silent -id " + window + " | convert xwd:- ppm:-'"));
        Picture picture;
        std::string magic;
        int depth = 0;
        ppm >> magic;
        // The window's name comes along as a comment line.
        while ((ppm >> std::ws).peek() == '#') ppm.ignore(1 << 20, '\n');
        ppm >> picture.width >> picture.height >> depth;
        ppm.get();
        picture.rgb.assign(std::istreambuf_iterator<char>(ppm), {});
        if (magic != "P6" || picture.rgb.size() < 3u * picture.width * picture.height) return {};
        return picture;
    }
    std::wstring ExcludedHosts() {
        return hbt::FileSettingsStore((home_ / "cfg" / "Corvant" / "Harbinet.conf").string())
            .GetString("Settings", "excludeHosts", L"");
    }

    hbt::e2e::NetnsPair net_;
};

TEST_F(LogWindowLinkTest, AHostLinkClickedInTheLogAsksAndYesPutsTheHostAtTheTopOfTheExcludedHosts) {
    {
        hbt::FileSettingsStore settings((home_ / "cfg" / "Corvant" / "Harbinet.conf").string());
        // Strict Mode redirects a plain request at once, without a check.
        const std::pair<const char*, int> values[] = {
            {"allowInsecureIfNoHttps", 0}, {"autoRedirect", 1}, {"checkBeforeRedirect", 0}, {"updatesCheck", 0},
            {"logLevel", 2}};
        for (const auto& [name, value] : values) settings.SetInt("Settings", name, value);
        settings.SetString("Settings", "excludeHosts", L"keep.example");
        ASSERT_TRUE(settings.Save());
    }
    StartProgram({"showlogwnd"});
    std::string window;
    ASSERT_TRUE(Eventually([&] { return !(window = X("xdotool search --onlyvisible --name '^Harbinet Log$'")).empty(); }));
    window = Lines(window).front();

    std::optional<std::pair<int, int>> banner;
    ASSERT_TRUE(Eventually([&] { return (banner = LastLinkOfTheLog(Grab(window))).has_value(); }))
        << "no banner link in the log window";
    const std::string curl = X("ip netns exec " + net_.Client() +
                               " curl -s -m 10 -o /dev/null -w '%{http_code}' -H 'Host: plain.e2e.test' http://192.0.2.1/");
    ASSERT_EQ(curl, "307") << ReadFile(home_ / "harbinet.txt");
    const fs::path log = home_ / "Documents" / "Harbinet" / "Log.txt";
    ASSERT_TRUE(Eventually([&] { return ReadFile(log).find("Enforce HTTPS for plain.e2e.test") != std::string::npos; }))
        << ReadFile(log);

    // The line's host link is the last link the view shows, below the banner's.
    std::optional<std::pair<int, int>> link;
    ASSERT_TRUE(Eventually([&] {
        link = LastLinkOfTheLog(Grab(window));
        return link && link->second > banner->second;
    })) << "no host link in the log window";
    X("xdotool mousemove --window " + window + " " + std::to_string(link->first) + " " +
      std::to_string(link->second) + " click 1");
    std::string box;
    ASSERT_TRUE(Eventually([&] {
        return !(box = X("xdotool search --onlyvisible --name '^Harbinet - plain.e2e.test$'")).empty();
    })) << "no prompt after a click at " << link->first << "," << link->second;
    X("xdotool windowfocus --sync " + Lines(box).front() + " key y");
    ASSERT_TRUE(Eventually([&] { return ExcludedHosts().starts_with(L"plain.e2e.test\n"); }))
        << hbt::test::ReadFile(home_ / "cfg" / "Corvant" / "Harbinet.conf");
    EXPECT_EQ(ExcludedHosts(), L"plain.e2e.test\nkeep.example");

    ChooseFromTrayMenu("Up Return");
    EXPECT_EQ(program_->Wait(), 0) << ReadFile(home_ / "harbinet.txt");
}

}  // namespace
