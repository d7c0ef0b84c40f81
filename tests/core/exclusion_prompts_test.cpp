// The questions a click on a host or application link asks, and what a Yes
// or a No does to the lists, the log and the settings.
#include <gtest/gtest.h>

#include "core/hbt_core.h"
#include "tests/core/recording_interface.h"
#include "tests/log/log_capture.h"
#include "tests/rules/memory_settings_store.h"

namespace hbt {
namespace {

class ExclusionPromptTest : public ::testing::Test {
protected:
    void SetUp() override {
        core_.SetUserInterface(&ui_);
        core_.SetSettingsStore(store_);
    }
    void Start(const std::wstring& hosts, const std::wstring& applications) {
        Preferences p;
        p.logLevel = 3;
        std::wstring message;
        ASSERT_TRUE(p.SetExcludedHosts(hosts, message)) << message;
        ASSERT_TRUE(p.SetExcludedApplications(applications, message)) << message;
        core_.ApplyPreferences(p, CHbtCore::kApplyOnly);
        log_.Lines();
    }
    const Preferences& Working() { return *(working_ = core_.PreferencesSnapshot()); }
    std::wstring Stored(const char* name) { return store_->GetString("Settings", name, L"<none>"); }
    std::wstring LastQuestion() const { return ui_.questions.empty() ? L"" : ui_.questions.back().text; }

    LogCapture log_;
    RecordingInterface ui_;
    std::shared_ptr<test::MemorySettingsStore> store_ = std::make_shared<test::MemorySettingsStore>();
    CHbtCore core_;
    std::shared_ptr<const Preferences> working_;
};

TEST_F(ExclusionPromptTest, HostCoveredByWildcardsIsOfferedForRemovalAndYesKeepsTheOtherItems) {
    Start(L"*.example.com\nkeep.org\nwww.exa*\n192.0.2.1-192.0.2.9", L"");
    ui_.answerYes = true;
    EXPECT_TRUE(core_.PromptHostExclusion("www.example.com"));
    ASSERT_EQ(ui_.questions.size(), 1u);
    EXPECT_EQ(ui_.questions[0].caption, L"Harbinet - www.example.com");
    EXPECT_EQ(ui_.questions[0].text, L"Host www.example.com is in the exclusion list of Harbinet.\n\nRemove?");
    EXPECT_EQ(Working().excludeHostsText, L"keep.org\n192.0.2.1-192.0.2.9");
    EXPECT_FALSE(Working().IsHostExcluded("www.example.com"));
    EXPECT_EQ(Stored("excludeHosts"), L"keep.org\n192.0.2.1-192.0.2.9");
    EXPECT_EQ(ui_.refreshes, 1);
}

TEST_F(ExclusionPromptTest, YesPutsANewHostAtTheTopOfTheStoredList) {
    Start(L"keep.org\n*.other.net", L"");
    ui_.answerYes = true;
    EXPECT_TRUE(core_.PromptHostExclusion("new.example"));
    EXPECT_EQ(LastQuestion(), L"Host new.example is processed by Harbinet.\n\nAdd to the exclusion list?");
    EXPECT_EQ(Working().excludeHostsText, L"new.example\nkeep.org\n*.other.net");
    EXPECT_TRUE(Working().IsHostExcluded("new.example"));
    EXPECT_EQ(Stored("excludeHosts"), L"new.example\nkeep.org\n*.other.net");
    EXPECT_TRUE(ui_.errors.empty());
}

TEST_F(ExclusionPromptTest, NoChangesNothingSavesNothingAndLogsNothing) {
    Start(L"listed.example", L"tool.exe");
    const std::shared_ptr<const Preferences> before = core_.PreferencesSnapshot();
    for (bool covered : {true, false}) {
        EXPECT_TRUE(core_.PromptHostExclusion(covered ? "listed.example" : "other.example"));
        EXPECT_TRUE(core_.PromptApplicationExclusion(covered ? "tool.exe" : "other.exe"));
    }
    EXPECT_EQ(ui_.questions.size(), 4u);
    EXPECT_EQ(core_.PreferencesSnapshot(), before);
    EXPECT_EQ(store_->saves, 0);
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_EQ(ui_.refreshes, 0);
}

TEST_F(ExclusionPromptTest, ApplicationsAreMatchedWithTheirCaseAndNamesWithBlanksAreQuoted) {
    Start(L"", L"Tool.exe");
    ui_.answerYes = true;
    EXPECT_TRUE(core_.PromptApplicationExclusion("tool.exe"));
    EXPECT_EQ(ui_.questions.back().caption, L"Harbinet - tool.exe");
    EXPECT_EQ(LastQuestion(), L"Application tool.exe is processed by Harbinet.\n\nAdd to the exclusion list?");
    EXPECT_EQ(Working().excludeApplicationsText, L"tool.exe\nTool.exe");

    EXPECT_TRUE(core_.PromptApplicationExclusion("My Tool.exe"));
    EXPECT_EQ(Working().excludeApplicationsText, L"\"My Tool.exe\"\ntool.exe\nTool.exe");
    EXPECT_TRUE(Working().IsApplicationExcluded("My Tool.exe"));
    EXPECT_EQ(Stored("excludeApplications"), L"\"My Tool.exe\"\ntool.exe\nTool.exe");

    EXPECT_TRUE(core_.PromptApplicationExclusion("My Tool.exe"));
    EXPECT_EQ(LastQuestion(), L"Application My Tool.exe is in the exclusion list of Harbinet.\n\nRemove?");
    EXPECT_EQ(Working().excludeApplicationsText, L"tool.exe\nTool.exe");
    EXPECT_EQ(ui_.refreshes, 3);
}

TEST_F(ExclusionPromptTest, ARefusedNameShowsTheErrorBoxAndAppliesNothing) {
    Start(L"keep.org", L"");
    const std::shared_ptr<const Preferences> before = core_.PreferencesSnapshot();
    Preferences probe = *before;
    std::wstring message;
    ASSERT_FALSE(probe.SetExcludedHosts(L"bad:host\nkeep.org", message));
    ui_.answerYes = true;
    EXPECT_FALSE(core_.PromptHostExclusion("bad:host"));
    ASSERT_EQ(ui_.errors.size(), 1u);
    EXPECT_EQ(ui_.errors[0].caption, L"Harbinet - bad:host");
    EXPECT_EQ(ui_.errors[0].text, L"Could not change preferences: " + message);
    EXPECT_EQ(core_.PreferencesSnapshot(), before);
    EXPECT_EQ(store_->saves, 0);
    EXPECT_EQ(ui_.refreshes, 0);
}

}  // namespace
}  // namespace hbt
