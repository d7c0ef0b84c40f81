// The desktop program's windows on the offscreen platform: the ON/OFF
// switch, the mode radios, the message box with a check box, and the
// single-instance protocol.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/hbt_core.h"
#include "platform/file_settings_store.h"
#include "tests/ui/fake_shell.h"
#include "ui/message_box_ex.h"
#include "ui/preferences_dialog.h"
#include "ui/remember_key.h"
#include "ui/single_instance.h"
#include "ui/switch_slider.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

fs::path TemporaryPath(const std::string& what) {
    return fs::temp_directory_path() /
           ("hbt-" + what + "-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        settingsPath_ = TemporaryPath("dialog") += ".conf";
        core_.SetSettingsStore(std::make_shared<FileSettingsStore>(settingsPath_.string()));
    }
    void TearDown() override { fs::remove(settingsPath_); }

    void Open(const Preferences& start) {
        Preferences p = start;
        core_.ApplyPreferences(p, CHbtCore::kApplyOnly);
        dialog_ = std::make_unique<CPreferencesDlg>(core_, shell_);
        shell_.dialog = dialog_.get();
        dialog_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
        slider_ = dialog_->findChild<CSliderCtrlHbt*>();
        ASSERT_NE(slider_, nullptr);
    }
    void Mouse(QEvent::Type type, int x) {
        const QPointF at(x, slider_->height() / 2.0);
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, slider_->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(slider_, &event);
    }
    // Grabs the thumb, drags it to the position and lets go there.
    void DragAndRelease(int position) {
        Mouse(QEvent::MouseButtonPress, slider_->ThumbCentre(slider_->sliderPosition()));
        Mouse(QEvent::MouseMove, slider_->ThumbCentre(position));
        EXPECT_NEAR(slider_->sliderPosition(), position, 10) << "no snapping while dragging";
        Mouse(QEvent::MouseButtonRelease, slider_->ThumbCentre(position));
    }
    bool CoreEnabled() const { return core_.PreferencesSnapshot()->enabled; }

    fs::path settingsPath_;
    CHbtCore core_;
    test::FakeShell shell_;
    std::unique_ptr<CPreferencesDlg> dialog_;
    CSliderCtrlHbt* slider_ = nullptr;
};

TEST_F(MainDialogTest, ReleasedLeftOfTheMiddleTurnsOffAndRightOfItTurnsOn) {
    Preferences on;
    on.enabled = true;
    Open(on);
    const SwitchPositions positions = slider_->Positions();
    ASSERT_LT(positions.off, 400);
    ASSERT_GT(positions.on, 600);
    EXPECT_EQ(slider_->sliderPosition(), positions.on);

    DragAndRelease(400);
    EXPECT_EQ(slider_->sliderPosition(), positions.off);
    EXPECT_FALSE(CoreEnabled());
    EXPECT_EQ(shell_.refreshes, 1);

    DragAndRelease(600);
    EXPECT_EQ(slider_->sliderPosition(), positions.on);
    EXPECT_TRUE(CoreEnabled());
    EXPECT_EQ(shell_.refreshes, 2);
}

TEST_F(MainDialogTest, ClicksOnTheLabelAreasDoNotMoveTheThumb) {
    Preferences on;
    on.enabled = true;
    Open(on);
    const int width = slider_->width();
    for (int x : {2, width / 4 - 2, width * 3 / 4 + 2, width - 2}) {
        Mouse(QEvent::MouseButtonPress, x);
        Mouse(QEvent::MouseButtonRelease, x);
        EXPECT_EQ(slider_->sliderPosition(), slider_->Positions().on) << x;
    }
    EXPECT_TRUE(CoreEnabled());
    EXPECT_EQ(shell_.refreshes, 0);
}

TEST_F(MainDialogTest, TurningOnWhileTheEngineIsHaltedSnapsBackToOff) {
    Open(Preferences{});
    core_.HaltForLostEngine();
    DragAndRelease(600);
    EXPECT_FALSE(CoreEnabled());
    EXPECT_EQ(slider_->sliderPosition(), slider_->Positions().off);
    EXPECT_FALSE(dialog_->Record().enabled);
}

TEST_F(MainDialogTest, ARefreshDuringADragEndsItAndPutsTheThumbWhereTheCoreIs) {
    Preferences on;
    on.enabled = true;
    Open(on);
    Mouse(QEvent::MouseButtonPress, slider_->ThumbCentre(slider_->sliderPosition()));
    Mouse(QEvent::MouseMove, slider_->ThumbCentre(550));
    dialog_->RefreshFromCore();
    EXPECT_EQ(slider_->sliderPosition(), slider_->Positions().on);
    Mouse(QEvent::MouseMove, slider_->ThumbCentre(420));
    EXPECT_EQ(slider_->sliderPosition(), slider_->Positions().on) << "the drag is over";
    EXPECT_TRUE(CoreEnabled());
}

TEST_F(MainDialogTest, BestEffortGreysBothStrictOptionsWithoutChangingThem) {
    Preferences strict;
    strict.enabled = true;
    strict.allowInsecureIfNoHttps = false;
    strict.autoRedirect = true;
    strict.checkBeforeRedirect = false;
    Open(strict);
    auto* autoRedirect = dialog_->findChild<QCheckBox*>("autoRedirect");
    auto* checkHttps = dialog_->findChild<QCheckBox*>("checkHttps");
    auto* bestEffort = dialog_->findChild<QRadioButton*>("bestEffortMode");
    auto* strictMode = dialog_->findChild<QRadioButton*>("strictMode");
    ASSERT_TRUE(autoRedirect && checkHttps && bestEffort && strictMode);
    EXPECT_TRUE(autoRedirect->isEnabled() && checkHttps->isEnabled());

    bestEffort->click();
    EXPECT_TRUE(core_.PreferencesSnapshot()->allowInsecureIfNoHttps);
    EXPECT_FALSE(autoRedirect->isEnabled());
    EXPECT_FALSE(checkHttps->isEnabled());
    EXPECT_TRUE(autoRedirect->isChecked());
    EXPECT_FALSE(checkHttps->isChecked());
    EXPECT_TRUE(core_.PreferencesSnapshot()->autoRedirect);

    strictMode->click();
    EXPECT_FALSE(core_.PreferencesSnapshot()->allowInsecureIfNoHttps);
    EXPECT_TRUE(autoRedirect->isEnabled() && checkHttps->isEnabled());
    EXPECT_TRUE(autoRedirect->isChecked());
    EXPECT_FALSE(checkHttps->isChecked());
}

class MessageBoxExTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove(path_); }
    int Answer(bool tick, const char* button) {
        CMessageBoxExDlg box(store_, UpdateNotice());
        box.show();
        box.findChild<QCheckBox*>()->setChecked(tick);
        box.findChild<QPushButton*>(button)->click();
        return box.result();
    }
    int Stored() const { return store_.GetInt(kSectionMessageBoxEx, "966E3E0", -1); }

    fs::path path_ = TemporaryPath("messagebox") += ".conf";
    FileSettingsStore store_{path_.string()};
};

TEST_F(MessageBoxExTest, NoWithTheBoxTickedWritesSevenUnderMessageBoxEx) {
    EXPECT_EQ(Answer(true, "second"), kAnswerNo);
    EXPECT_EQ(Stored(), kAnswerNo);
    EXPECT_EQ(FileSettingsStore(path_.string()).GetInt(kSectionMessageBoxEx, "966E3E0", -1), kAnswerNo);
}

TEST_F(MessageBoxExTest, UntickedWritesNothing) {
    EXPECT_EQ(Answer(false, "first"), kAnswerYes);
    EXPECT_EQ(Answer(false, "second"), kAnswerNo);
    EXPECT_EQ(Stored(), -1);
}

TEST_F(MessageBoxExTest, ButtonsAreYesAndNoWithYesAsDefault) {
    CMessageBoxExDlg box(store_, UpdateNotice());
    EXPECT_EQ(box.findChild<QPushButton*>("first")->text(), "Yes");
    EXPECT_EQ(box.findChild<QPushButton*>("second")->text(), "No");
    EXPECT_TRUE(box.findChild<QPushButton*>("first")->isDefault());
    EXPECT_EQ(box.findChild<QCheckBox*>()->text(), "Disable product updates check");
    MessageBoxExContent secondDefault = UpdateNotice();
    secondDefault.secondIsDefault = true;
    CMessageBoxExDlg other(store_, secondDefault);
    EXPECT_TRUE(other.findChild<QPushButton*>("second")->isDefault());
}

// The second start asks on its own thread while this one serves, as the running instance would.
RunningInstance AskWhileServing(const QString& path) {
    std::atomic<bool> done{false};
    RunningInstance answer = RunningInstance::None;
    std::thread asker([&] {
        answer = AskRunningInstanceToShow(path);
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }));
    asker.join();
    return answer;
}

TEST(SingleInstance, ASecondCopyHasTheRunningOneShowItsDialog) {
    const QString path = QString::fromStdString(TemporaryPath("server").string());
    int shown = 0;
    InstanceServer server([&] { return ++shown > 0; });
    ASSERT_TRUE(server.Listen(path));
    EXPECT_EQ(AskWhileServing(path), RunningInstance::Shown);
    EXPECT_EQ(shown, 1);
}

TEST(SingleInstance, AnInstanceThatCannotShowRefusesAndNoServerMeansNone) {
    const QString path = QString::fromStdString(TemporaryPath("server").string());
    EXPECT_EQ(AskRunningInstanceToShow(path), RunningInstance::None);
    InstanceServer server([] { return false; });
    ASSERT_TRUE(server.Listen(path));
    EXPECT_EQ(AskWhileServing(path), RunningInstance::Refused);
}

TEST(SingleInstance, AnotherUsersInstanceHoldsTheMachineLockReadableByAll) {
    const fs::path path = TemporaryPath("lock");
    const mode_t oldMask = ::umask(077);
    {
        MachineLock running;
        ASSERT_TRUE(running.Acquire(QString::fromStdString(path.string())));
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_read, fs::perms::others_read);
        MachineLock second;
        EXPECT_FALSE(second.Acquire(QString::fromStdString(path.string())));
    }
    MachineLock afterwards;
    EXPECT_TRUE(afterwards.Acquire(QString::fromStdString(path.string())));
    ::umask(oldMask);
    fs::remove(path);
}

}  // namespace
}  // namespace hbt

int main(int argc, char** argv) {
    // No screen is needed: the windows draw into memory.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
