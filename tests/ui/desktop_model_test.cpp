// The desktop program's behaviour without a screen: the tray menu and its mode
// commands, the switch's snapping, the autorun entry and the remember key.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/hbt_core.h"
#include "platform/file_settings_store.h"
#include "rules/preferences_storage.h"
#include "ui/autorun_record.h"
#include "ui/balloon_offer.h"
#include "ui/message_box_ex_content.h"
#include "ui/remember_key.h"
#include "ui/switch_positions.h"
#include "ui/tray_menu.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

std::vector<int> Commands(const std::vector<TrayMenuEntry>& menu) {
    std::vector<int> commands;
    for (const TrayMenuEntry& entry : menu) commands.push_back(entry.command);
    return commands;
}

TEST(TrayMenu, StrictModeHasItsOptionsInOrderWithMarks) {
    Preferences p;
    p.enabled = true;
    p.allowInsecureIfNoHttps = false;
    p.autoRedirect = true;
    p.checkBeforeRedirect = false;
    const std::vector<TrayMenuEntry> menu = BuildTrayMenu(p);
    EXPECT_EQ(Commands(menu), (std::vector<int>{kTrayTitle, kTrayToggleOn, 0, kTrayStrict, kTrayBestEffort, 0,
                                                kTrayAutoRedirect, kTrayCheckHttps, 0, kTrayShowLog, kTraySettings, 0,
                                                kTrayExit}));
    EXPECT_EQ(menu[0].text, L"Harbinet: Strict Mode");
    EXPECT_FALSE(menu[0].enabled);
    EXPECT_EQ(menu[1].text, L"Turn Harbinet OFF");
    EXPECT_TRUE(menu[3].radio && menu[3].checked);
    EXPECT_TRUE(menu[4].radio && !menu[4].checked);
    EXPECT_TRUE(menu[6].checkable && menu[6].checked);
    EXPECT_TRUE(menu[7].checkable && !menu[7].checked);
    EXPECT_EQ(menu[6].text, L"Redirect to HTTPS Automatically");
    EXPECT_EQ(menu.back().text, L"E&xit");
}

TEST(TrayMenu, BestEffortModeHasNoStrictItemsAndNoSeparatorForThem) {
    Preferences p;
    p.enabled = true;
    p.allowInsecureIfNoHttps = true;
    p.autoRedirect = true;
    p.checkBeforeRedirect = true;
    const std::vector<TrayMenuEntry> menu = BuildTrayMenu(p);
    EXPECT_EQ(Commands(menu), (std::vector<int>{kTrayTitle, kTrayToggleOn, 0, kTrayStrict, kTrayBestEffort, 0,
                                                kTrayShowLog, kTraySettings, 0, kTrayExit}));
    EXPECT_EQ(menu[0].text, L"Harbinet: Best-Effort Mode");
    EXPECT_TRUE(menu[4].checked);
}

TEST(TrayMenu, OffShowsOffAndOffersToTurnOn) {
    Preferences p;
    p.enabled = false;
    p.allowInsecureIfNoHttps = true;
    const std::vector<TrayMenuEntry> menu = BuildTrayMenu(p);
    EXPECT_EQ(menu[0].text, L"Harbinet: OFF");
    EXPECT_EQ(menu[1].text, L"Turn Harbinet ON");
}

TEST(TrayMenu, ModeCommandsChangeOnlyTheirField) {
    struct Case {
        int command;
        bool Preferences::*field;
        bool before;
        bool after;
    };
    const Case cases[] = {
        {kTrayToggleOn, &Preferences::enabled, true, false},
        {kTrayToggleOn, &Preferences::enabled, false, true},
        {kTrayStrict, &Preferences::allowInsecureIfNoHttps, true, false},
        {kTrayStrict, &Preferences::allowInsecureIfNoHttps, false, false},
        {kTrayBestEffort, &Preferences::allowInsecureIfNoHttps, false, true},
        {kTrayAutoRedirect, &Preferences::autoRedirect, false, true},
        {kTrayCheckHttps, &Preferences::checkBeforeRedirect, true, false},
    };
    for (const Case& c : cases) {
        Preferences p;
        p.*c.field = c.before;
        Preferences expected = p;
        expected.*c.field = c.after;
        EXPECT_TRUE(ApplyModeCommand(c.command, p)) << c.command;
        EXPECT_EQ(p, expected) << c.command;
    }
    Preferences p;
    for (int other : {kTrayTitle, kTrayShowLog, kTraySettings, kTrayExit}) {
        EXPECT_FALSE(ApplyModeCommand(other, p)) << other;
        EXPECT_EQ(p, Preferences{});
    }
}

TEST(SwitchPositions, ThumbStaysInsideTheMiddleHalf) {
    for (int width : {200, 260, 333, 600}) {
        const int thumb = 42;
        const SwitchPositions positions = FindSwitchPositions(width, thumb);
        EXPECT_GT(ThumbLeft(positions.off, width, thumb), width / 4) << width;
        EXPECT_LE(ThumbLeft(positions.off - 1, width, thumb), width / 4) << width;
        EXPECT_LT(ThumbLeft(positions.on, width, thumb) + thumb, width * 3 / 4) << width;
        EXPECT_GE(ThumbLeft(positions.on + 1, width, thumb) + thumb, width * 3 / 4) << width;
        EXPECT_LT(positions.off, kSwitchMiddle);
        EXPECT_GT(positions.on, kSwitchMiddle);
    }
}

TEST(SwitchPositions, ScrollTargets) {
    const SwitchPositions positions{300, 700};
    struct Case {
        SwitchScroll scroll;
        int p;
        std::optional<int> target;
    };
    const Case cases[] = {
        {SwitchScroll::LineDown, 300, 700}, {SwitchScroll::PageDown, 300, 700}, {SwitchScroll::Bottom, 300, 700},
        {SwitchScroll::LineUp, 700, 300},   {SwitchScroll::PageUp, 700, 300},   {SwitchScroll::Top, 700, 300},
        {SwitchScroll::Released, 400, 300}, {SwitchScroll::Released, 500, 300}, {SwitchScroll::Released, 501, 700},
        {SwitchScroll::Released, 600, 700}, {SwitchScroll::Dragged, 800, 700},  {SwitchScroll::Dragged, 100, 300},
        {SwitchScroll::Dragged, 450, 450},  {SwitchScroll::EndTracking, 450, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SwitchTarget(c.scroll, c.p, positions), c.target) << static_cast<int>(c.scroll) << " at " << c.p;
    }
}

class AutorunRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("hbt-autorun-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    void WriteEntry(const std::string& text) {
        fs::create_directories(folder_);
        std::ofstream(folder_ / "harbinet.desktop") << text;
    }
    std::string Entry() {
        std::ifstream in(folder_ / "harbinet.desktop");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    fs::path folder_;
    AutorunRecord Record() { return AutorunRecord(folder_.string(), "/opt/harbinet/bin/harbinet"); }
};

TEST_F(AutorunRecordTest, AbsentEntryIsNotAutorunAndIsNotWritten) {
    AutorunRecord record = Record();
    bool rewriteFailed = true;
    EXPECT_FALSE(record.TakeUpAtStart(rewriteFailed));
    EXPECT_FALSE(rewriteFailed);
    EXPECT_FALSE(fs::exists(folder_ / "harbinet.desktop"));
}

TEST_F(AutorunRecordTest, EntryOfAnotherProgramPathOrWithoutCommandIsRewrittenAtStart) {
    for (const std::string old : {"[Desktop Entry]\nExec=\"/home/u/old/harbinet\" aut\n", "[Desktop Entry]\nName=x\n"}) {
        WriteEntry(old);
        AutorunRecord record = Record();
        EXPECT_EQ(record.Query().matches, false);
        bool rewriteFailed = true;
        EXPECT_TRUE(record.TakeUpAtStart(rewriteFailed));
        EXPECT_FALSE(rewriteFailed);
        EXPECT_NE(Entry().find("\nExec=\"/opt/harbinet/bin/harbinet\" aut\n"), std::string::npos) << Entry();
        const AutorunQuery after = record.Query();
        EXPECT_TRUE(after.exists && after.matches);
    }
}

TEST_F(AutorunRecordTest, SetOnAndOffWriteAndRemoveTheEntry) {
    AutorunRecord record = Record();
    ASSERT_TRUE(record.SetOn());
    EXPECT_TRUE(record.Query().matches);
    ASSERT_TRUE(record.SetOff());
    EXPECT_FALSE(record.Query().exists);
}

TEST_F(AutorunRecordTest, FolderThatCannotBeCreatedGivesTheCreateMessage) {
    // A file where a folder above the entry's should be.
    std::ofstream(folder_) << "x";
    AutorunRecord record((folder_ / "autostart").string(), "/opt/harbinet/bin/harbinet");
    EXPECT_FALSE(record.SetOn());
    EXPECT_EQ(record.LastError(), L"RegCreateKeyEx failed with error " + std::to_wstring(ENOTDIR));
    fs::remove(folder_);
}

TEST(RememberKey, SumsCodeUnitsTimesIndexIntoFourBytes) {
    // 'b' (98) at index 1 lands in the second byte.
    EXPECT_EQ(RememberKey(L"a", L"b"), L"6200");
    EXPECT_EQ(RememberKey(L"", L""), L"0");
    const MessageBoxExContent notice = UpdateNotice();
    EXPECT_EQ(RememberKey(notice.title, notice.text), L"966E3E0");
}

TEST(RememberKey, AnswerGoesUnderMessageBoxExAndIsSaved) {
    const fs::path path = fs::temp_directory_path() / ("hbt-remember-" + std::to_string(::getpid()) + ".conf");
    {
        FileSettingsStore store(path.string());
        RememberAnswer(store, L"966E3E0", 7);
    }
    FileSettingsStore reread(path.string());
    EXPECT_EQ(reread.GetInt(kSectionMessageBoxEx, "966E3E0", 0), 7);
    fs::remove(path);
}

TEST(StillRunningBalloon, IsOfferedOncePerUserEvenAcrossRestarts) {
    const fs::path path = fs::temp_directory_path() / ("hbt-balloon-" + std::to_string(::getpid()) + ".conf");
    fs::remove(path);
    auto store = std::make_shared<FileSettingsStore>(path.string());
    {
        CHbtCore core;
        core.SetSettingsStore(store);
        EXPECT_FALSE(OfferStillRunningBalloon(core, true)) << "both windows still visible";
        EXPECT_TRUE(OfferStillRunningBalloon(core, false));
        EXPECT_FALSE(OfferStillRunningBalloon(core, false));
    }
    CHbtCore restarted;
    FileSettingsStore reread(path.string());
    Preferences loaded;
    LoadPreferences(reread, loaded);
    restarted.ApplyPreferences(loaded, CHbtCore::kApplyOnly);
    EXPECT_FALSE(OfferStillRunningBalloon(restarted, false));
    fs::remove(path);
}

TEST(StillRunningBalloon, IsNotOfferedWhileTheEngineIsHalted) {
    const fs::path path = fs::temp_directory_path() / ("hbt-balloon-halt-" + std::to_string(::getpid()) + ".conf");
    CHbtCore core;
    core.SetSettingsStore(std::make_shared<FileSettingsStore>(path.string()));
    core.HaltForLostEngine();
    EXPECT_FALSE(OfferStillRunningBalloon(core, false));
    EXPECT_FALSE(core.PreferencesSnapshot()->SysTryIconMessageShown);
    fs::remove(path);
}

}  // namespace
}  // namespace hbt
