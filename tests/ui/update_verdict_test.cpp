// The update check's verdict on the interface thread, and the About dialog's
// check box that starts a check, on the offscreen platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "core/hbt_core.h"
#include "platform/file_settings_store.h"
#include "tests/https_check/test_server.h"
#include "ui/about_dialog.h"
#include "ui/message_box_ex_content.h"
#include "ui/update_verdict_box.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

// Addresses the program hands to the desktop, caught before a browser sees them.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    OpenedUrls() {
        for (const char* scheme : {"http", "https", "file"}) QDesktopServices::setUrlHandler(scheme, this, "Open");
    }
    ~OpenedUrls() override {
        for (const char* scheme : {"http", "https", "file"}) QDesktopServices::unsetUrlHandler(scheme);
    }
    std::vector<QString> urls;

public slots:
    void Open(const QUrl& url) { urls.push_back(url.toString()); }
};

// Runs `act` on the next modal box as soon as it shows.
void WhenABoxShows(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            poll->deleteLater();
            poll->stop();
            act(box);
        }
    });
    poll->start(0);
}

class UpdateVerdictTest : public ::testing::Test {
protected:
    void SetUp() override {
        core_.SetSettingsStore(store_);
        Preferences start;
        start.updatesCheck = true;
        core_.ApplyPreferences(start, CHbtCore::kApplyOnly);
    }
    void TearDown() override { fs::remove(path_); }

    // Shows the verdict and answers the notice with the check box as given.
    void AnswerNotice(const std::string& address, const char* button, bool tick) {
        WhenABoxShows([button, tick](QWidget* box) {
            EXPECT_EQ(box->windowTitle(), "Harbinet Update");
            box->findChild<QCheckBox*>()->setChecked(tick);
            box->findChild<QPushButton*>(button)->click();
        });
        ShowUpdateVerdict(UpdateVerdict{false, address}, core_, *store_, nullptr);
    }

    fs::path path_ = fs::temp_directory_path() / ("hbt-verdict-" + std::to_string(::getpid()) + ".conf");
    std::shared_ptr<FileSettingsStore> store_ = std::make_shared<FileSettingsStore>(path_.string());
    CHbtCore core_;
    OpenedUrls opened_;
};

TEST_F(UpdateVerdictTest, OutOfDateShowsTheWarningThenOpensTheDownloadPage) {
    WhenABoxShows([this](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), "Harbinet");
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_EQ(box->text(), "This version of Harbinet is out of date and no longer supported. Please update at "
                               "https://corvant.example/get");
        EXPECT_TRUE(opened_.urls.empty()) << "the page opens after the box";
        box->accept();
    });
    ShowUpdateVerdict(UpdateVerdict{true, "https://corvant.example/get"}, core_, *store_, nullptr);
    EXPECT_EQ(opened_.urls, std::vector<QString>{"https://corvant.example/get"});
}

TEST_F(UpdateVerdictTest, TheNoticeOpensThePageOnYesAndItsBoxTurnsTheCheckOff) {
    AnswerNotice("https://corvant.example/get", "first", false);
    EXPECT_EQ(opened_.urls, std::vector<QString>{"https://corvant.example/get"});
    EXPECT_TRUE(core_.PreferencesSnapshot()->updatesCheck);

    AnswerNotice("https://corvant.example/get", "second", true);
    EXPECT_EQ(opened_.urls.size(), 1u) << "No opens nothing";
    EXPECT_FALSE(core_.PreferencesSnapshot()->updatesCheck);
    const FileSettingsStore saved(path_.string());
    EXPECT_EQ(saved.GetInt("Settings", "updatesCheck", -1), 0);
    EXPECT_EQ(saved.GetInt("MessageBoxEx", "966E3E0", -1), kAnswerNo);
}

TEST_F(UpdateVerdictTest, AnAddressThatIsNoWebPageIsNeverOpened) {
    AnswerNotice("file:///usr/bin/xterm", "first", false);
    AnswerNotice("/usr/bin/xterm", "first", false);
    EXPECT_TRUE(opened_.urls.empty());
}

// The front end as the core sees it, keeping the verdicts.
class VerdictRecorder : public CoreUserInterface {
public:
    void RefreshTrayAndDialog() override {}
    void RunOnUiThread(const std::function<void()>& action) override { action(); }
    void EngineUnavailable() override {}
    void ShowFatalError(const std::wstring&) override {}
    bool AskYesNo(const std::wstring&, const std::wstring&) override { return false; }
    void ShowError(const std::wstring&, const std::wstring&) override {}
    void ReportUpdateVerdict(const UpdateVerdict& verdict) override {
        std::lock_guard lock(mutex_);
        verdicts_.push_back(verdict);
    }
    std::size_t Count() {
        std::lock_guard lock(mutex_);
        return verdicts_.size();
    }

private:
    std::mutex mutex_;
    std::vector<UpdateVerdict> verdicts_;
};

TEST_F(UpdateVerdictTest, TickingTheAboutBoxSavesTheChoiceAndStartsANormalCheck) {
    test::TestServer server(test::RecordingHttpHandler(test::HttpOk("2 20000 http://mirror.example/")));
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/last_versions/windows/";
    setenv("HBT_UPDATE_URL", base.c_str(), 1);
    VerdictRecorder recorder;
    core_.SetUserInterface(&recorder);
    Preferences off = *core_.PreferencesSnapshot();
    off.updatesCheck = false;
    core_.ApplyPreferences(off, CHbtCore::kApplyOnly);

    CAboutDlg about(core_, nullptr);
    auto* box = about.findChild<QCheckBox*>("updatesCheck");
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_TRUE(core_.PreferencesSnapshot()->updatesCheck);
    EXPECT_EQ(FileSettingsStore(path_.string()).GetInt("Settings", "updatesCheck", -1), 1);
    // Only a check that is not silent reports an available update.
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.Count() == 1; }));
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].rfind("GET /last_versions/windows/15400/ ", 0), 0u);
    core_.Stop();
    core_.SetUserInterface(nullptr);
    unsetenv("HBT_UPDATE_URL");
}

}  // namespace
}  // namespace hbt

#include "update_verdict_test.moc"
