// The log window on the offscreen platform: its lines and their links, the
// exclusion prompts its links open, its level lists, folder buttons, status
// links and close; and the refresh of the statistics links after each drain.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>

#include <filesystem>
#include <functional>

#include "core/hbt_core.h"
#include "log/log.h"
#include "log/log_queue.h"
#include "log/log_settings.h"
#include "platform/file_settings_store.h"
#include "tests/ui/fake_shell.h"
#include "ui/about_dialog.h"
#include "ui/core_message_boxes.h"
#include "ui/dispatcher.h"
#include "ui/log_drain.h"
#include "ui/log_link_target.h"
#include "ui/log_view.h"
#include "ui/log_window.h"
#include "ui/preferences_dialog.h"
#include "ui/statistics_displays.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

// The core's boxes as the desktop program shows them, owned by the log window.
class BoxInterface : public CoreUserInterface {
public:
    void RefreshTrayAndDialog() override { ++refreshes; }
    void RunOnUiThread(const std::function<void()>& action) override { action(); }
    void EngineUnavailable() override {}
    void ShowFatalError(const std::wstring&) override {}
    void ReportUpdateVerdict(const UpdateVerdict&) override {}
    bool AskYesNo(const std::wstring& caption, const std::wstring& text) override {
        return AskYesNoBox(owner, caption, text);
    }
    void ShowError(const std::wstring& caption, const std::wstring& text) override {
        ShowErrorBox(owner, caption, text);
    }

    QWidget* owner = nullptr;
    int refreshes = 0;
};

// Addresses the window hands to the desktop, kept instead of opened.
class OpenedUrls : public QObject {
    Q_OBJECT
public:
    OpenedUrls() {
        for (const char* scheme : {"http", "https", "ftp", "file"}) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
        }
    }
    ~OpenedUrls() override {
        for (const char* scheme : {"http", "https", "ftp", "file"}) {
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        }
    }
    Q_INVOKABLE void Open(const QUrl& url) { urls.push_back(url.toString()); }
    QStringList urls;
};

// Runs the answer on the next modal window as soon as it shows; the code
// under test waits in that window's own event loop meanwhile.
class ModalAnswerer {
public:
    ModalAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return;
            timer_.stop();
            std::exchange(answer_, nullptr)(modal);
        });
    }
    void Next(std::function<void(QWidget*)> answer) {
        answer_ = std::move(answer);
        timer_.start(0);
    }

private:
    QTimer timer_;
    std::function<void(QWidget*)> answer_;
};

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QWidget* owner = nullptr;
};

LogRecord Record(int32_t level, std::wstring message, std::vector<LogLink> links = {}) {
    LogRecord record;
    record.time = 1700000000;
    record.level = level;
    record.message = std::move(message);
    record.toScreen = true;
    record.links = std::move(links);
    return record;
}

class LogWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() / ("hbt-logwindow-" + std::to_string(::getpid()));
        fs::remove_all(home_);
        fs::create_directories(home_);
        setenv("HOME", home_.c_str(), 1);
        unsetenv("XDG_DOCUMENTS_DIR");
        store_ = std::make_shared<FileSettingsStore>((home_ / "Harbinet.conf").string());
        core_.SetSettingsStore(store_);
        core_.SetUserInterface(&ui_);
        LogQueue::Instance().TakeAll();
    }
    void TearDown() override {
        window_.reset();
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
        SetFileLogLevel(2);
        fs::remove_all(home_);
    }

    void Open(Preferences start = {}) {
        core_.ApplyPreferences(start, CHbtCore::kApplyOnly);
        window_ = std::make_unique<CLogWindow>(core_, shell_);
        ui_.owner = window_.get();
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
        view_ = window_->findChild<CLogView*>();
        ASSERT_NE(view_, nullptr);
    }
    void Show(const std::vector<LogRecord>& records) {
        for (const LogRecord& record : records) window_->Write(record);
        window_->EndBatch();
    }
    // Presses the left button on the middle of the first character after the start of `text` in the view.
    void PressOn(const QString& text) {
        QTextCursor found = view_->document()->find(text);
        ASSERT_FALSE(found.isNull()) << text.toStdString();
        QTextCursor inside(view_->document());
        inside.setPosition(found.selectionStart() + 1);
        QTest::mousePress(view_->viewport(), Qt::LeftButton, {}, view_->cursorRect(inside).center());
        QTest::mouseRelease(view_->viewport(), Qt::LeftButton, {}, view_->cursorRect(inside).center());
    }
    // The next message box: what it showed, then the button pressed.
    void AnswerBox(QMessageBox::StandardButton press) {
        modal_.Next([this, press](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box) {
                modal->close();
                return;
            }
            seen_ = {box->windowTitle(), box->text(), box->icon(), box->standardButton(box->defaultButton()),
                     box->parentWidget()};
            box->button(press)->click();
        });
    }
    QComboBox* List(const char* name) { return window_->findChild<QComboBox*>(name); }
    QString StatusText() { return window_->findChild<QLabel*>("statusLink")->text(); }

    fs::path home_;
    std::shared_ptr<FileSettingsStore> store_;
    BoxInterface ui_;
    test::FakeShell shell_;
    CHbtCore core_;
    std::unique_ptr<CLogWindow> window_;
    CLogView* view_ = nullptr;
    ModalAnswerer modal_;
    SeenBox seen_;
};

TEST_F(LogWindowTest, LinesCarryTheirTimePrefixAndLinksAndErrorLinesAreRedWithoutLinks) {
    Open();
    LogRecord redirect = Record(kLogNormal, L"192.0.2.1:80 Enforce HTTPS for www.example.org",
                                {{31, 15, "hbturl", "www.example.org"}});
    redirect.screenPrefix = L"tool.exe (42)";
    redirect.appLink = {0, 8, "hbtapp", "tool.exe"};
    LogRecord error = Record(kLogError, L"Could not reach www.example.org", {{16, 15, "hbturl", "www.example.org"}});
    Show({redirect, error, Record(kLogAlways, L"Harbinet switched ON")});

    QTextBlock line = view_->document()->firstBlock();
    EXPECT_TRUE(line.text().endsWith("] tool.exe (42) - 192.0.2.1:80 Enforce HTTPS for www.example.org"))
        << line.text().toStdString();
    EXPECT_EQ(line.text().left(16), QDateTime::fromSecsSinceEpoch(1700000000).toString("[MM.dd HH:mm:ss]"));
    QStringList anchors;
    for (auto piece = line.begin(); !piece.atEnd(); ++piece) {
        if (piece.fragment().charFormat().isAnchor()) {
            anchors << piece.fragment().text() + " " + piece.fragment().charFormat().anchorHref();
        }
    }
    EXPECT_EQ(anchors, QStringList({"tool.exe hbtapp://tool.exe", "www.example.org hbturl://www.example.org"}));

    line = line.next();
    ASSERT_FALSE(line.begin().atEnd());
    for (auto piece = line.begin(); !piece.atEnd(); ++piece) {
        EXPECT_FALSE(piece.fragment().charFormat().isAnchor());
        EXPECT_EQ(piece.fragment().charFormat().foreground().color(), QColor(255, 50, 50));
    }
    EXPECT_EQ(line.next().text().mid(17), "Harbinet switched ON");
    EXPECT_EQ(view_->document()->blockCount(), 3);
}

TEST_F(LogWindowTest, AHostLinkAsksWithNoAsDefaultAndYesPutsTheHostAtTheTopOfTheList) {
    Preferences start;
    std::wstring message;
    ASSERT_TRUE(start.SetExcludedHosts(L"keep.org", message));
    Open(start);
    Show({Record(kLogNormal, L"192.0.2.1:80 Enforce HTTPS for Www.Example.org", {{31, 15, "hbturl", "Www.Example.org"}})});

    AnswerBox(QMessageBox::Yes);
    PressOn("Www.Example.org");
    EXPECT_EQ(seen_.title, "Harbinet - Www.Example.org");
    EXPECT_EQ(seen_.text, "Host Www.Example.org is processed by Harbinet.\n\nAdd to the exclusion list?");
    EXPECT_EQ(seen_.icon, QMessageBox::Question);
    EXPECT_EQ(seen_.defaultButton, QMessageBox::No);
    EXPECT_EQ(seen_.owner, window_.get());
    EXPECT_EQ(core_.PreferencesSnapshot()->excludeHostsText, L"Www.Example.org\nkeep.org");
    EXPECT_EQ(store_->GetString("Settings", "excludeHosts", L""), L"Www.Example.org\nkeep.org");
    EXPECT_EQ(ui_.refreshes, 1);
}

TEST_F(LogWindowTest, AnApplicationLinkOfANormalLinePromptsWithTheFileNameOnly) {
    Preferences start;
    start.logLevel = 2;
    Open(start);
    LogQueue::Instance().RegisterReceiver([] {});
    CLog(kLogNormal, 42, L"/usr/lib/firefox/firefox-bin") << "192.0.2.1:80 Request user action for site.example";
    DrainLogQueue({window_.get()});

    AnswerBox(QMessageBox::No);
    PressOn("firefox-bin");
    EXPECT_EQ(seen_.title, "Harbinet - firefox-bin");
    EXPECT_EQ(seen_.text, "Application firefox-bin is processed by Harbinet.\n\nAdd to the exclusion list?");
    EXPECT_TRUE(core_.PreferencesSnapshot()->excludeApplicationsText.empty());
    EXPECT_EQ(ui_.refreshes, 0);
}

TEST(LogLinkTarget, HostsAndApplicationsArePromptedAndAddressesOpened) {
    using Kind = LogLinkAction::Kind;
    const struct {
        const char* target;
        Kind kind;
        const char* value;
    } cases[] = {
        {"hbturl://www.example.org", Kind::kHostPrompt, "www.example.org"},
        {"hbtapp://My Tool.exe", Kind::kApplicationPrompt, "My Tool.exe"},
        {"https://corvant.example", Kind::kOpen, "https://corvant.example"},
        {"http://site.example/a:b", Kind::kOpen, "http://site.example/a:b"},
        {"ftp://files.example/x", Kind::kOpen, "ftp://files.example/x"},
        {"www.example.org:8080", Kind::kOpen, "https://www.example.org"},
        {"www.example.org", Kind::kOpen, "https://www.example.org"},
        {"ftp.example.org:21", Kind::kOpen, "ftp://ftp.example.org"},
        {"site.example:80", Kind::kNothing, ""},
    };
    for (const auto& c : cases) {
        const LogLinkAction action = LogLinkActionFor(c.target);
        EXPECT_EQ(action.kind, c.kind) << c.target;
        EXPECT_EQ(action.value, c.value) << c.target;
    }
    EXPECT_EQ(LogLinkHref({0, 4, "", "www.example.org:8080"}), "www.example.org:8080");
    EXPECT_EQ(LogLinkHref({0, 4, "https", "corvant.example"}), "https://corvant.example");
}

TEST_F(LogWindowTest, AWwwLinkWithAPortOpensHttpsWithoutThePort) {
    Open();
    OpenedUrls opened;
    Show({Record(kLogAlways, L"See www.example.org:8080 and corvant.example",
                 {{4, 20, "", "www.example.org:8080"}, {29, 15, "https", "corvant.example"}})});
    PressOn("www.example.org:8080");
    PressOn("corvant.example");
    EXPECT_EQ(opened.urls, QStringList({"https://www.example.org", "https://corvant.example"}));
}

TEST_F(LogWindowTest, AStoredScreenLevelOfZeroShowsNoSelectionAndChoosingStoresOneToThree) {
    Preferences start;
    start.logLevel = 0;
    start.logFileLevel = 2;
    Open(start);
    QComboBox* screen = List("screenLevel");
    QComboBox* file = List("fileLevel");
    ASSERT_TRUE(screen && file);
    EXPECT_EQ(screen->currentIndex(), -1);
    EXPECT_EQ(file->currentIndex(), 2);
    EXPECT_EQ(file->itemText(0), "None");
    for (int stored : {1, 2, 3}) {
        QTest::keyClick(screen, Qt::Key_Down);
        EXPECT_EQ(store_->GetInt("Settings", "logLevel", -1), stored);
        EXPECT_EQ(ScreenLogLevel(), stored);
    }
    EXPECT_EQ(screen->itemText(screen->currentIndex()), "Verbose");
    QTest::keyClick(file, Qt::Key_Up);
    EXPECT_EQ(store_->GetInt("Settings", "logFileLevel", -1), 1);
    EXPECT_EQ(core_.PreferencesSnapshot()->logLevel, 3);
}

TEST_F(LogWindowTest, ToolbarHasItsButtonsAndListsInOrderAndTheyDoWhatTheySay) {
    Open();
    QStringList items;
    for (QAction* action : window_->findChild<QToolBar*>()->actions()) {
        if (action->isSeparator()) {
            items << "|";
        } else if (QWidget* list = window_->findChild<QToolBar*>()->widgetForAction(action);
                   list && !qobject_cast<QAbstractButton*>(list)) {
            items << list->findChild<QLabel*>()->text();
        } else {
            items << action->text();
        }
    }
    EXPECT_EQ(items, QStringList({"Settings", "|", "Clear Display", "Screen Log", "|", "Set Log Folder",
                                  "Open Log Folder", "File Log"}));
    EXPECT_EQ(window_->windowTitle(), "Harbinet Log");

    Show({Record(kLogAlways, L"one"), Record(kLogAlways, L"two")});
    for (QAction* action : window_->findChildren<QAction*>()) {
        if (action->text() == "Settings" || action->text() == "Clear Display") action->trigger();
    }
    EXPECT_EQ(shell_.mainDialogShown, 1);
    EXPECT_TRUE(view_->document()->isEmpty());

    bool aboutShown = false;
    modal_.Next([&](QWidget* modal) {
        aboutShown = qobject_cast<CAboutDlg*>(modal) != nullptr;
        modal->close();
    });
    for (QAction* action : window_->findChildren<QAction*>()) {
        if (action->text() == "&About Harbinet...") action->trigger();
    }
    EXPECT_TRUE(aboutShown);
}

TEST_F(LogWindowTest, SetLogFolderAsksStartingAtTheCurrentFolderAndLogsTheChoiceAndCancelChangesNothing) {
    const fs::path chosen = home_ / "chosen";
    fs::create_directories(chosen);
    Preferences start;
    start.enabled = true;  // nothing to say about the switch when the folder is applied
    start.logLevel = 2;
    start.logPath = home_.wstring();
    Open(start);
    LogQueue::Instance().RegisterReceiver([] {});
    QAction* setFolder = nullptr;
    for (QAction* action : window_->findChildren<QAction*>()) {
        if (action->text() == "Set Log Folder") setFolder = action;
    }
    ASSERT_NE(setFolder, nullptr);

    QString title;
    QString startedAt;
    modal_.Next([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        title = modal->windowTitle();
        startedAt = dialog->directory().absolutePath();
        dialog->reject();
    });
    setFolder->trigger();
    EXPECT_EQ(title, "Select a directory for Harbinet logs:");
    EXPECT_EQ(startedAt, QString::fromStdString(home_.string()));
    EXPECT_EQ(core_.PreferencesSnapshot()->logPath, home_.wstring());
    EXPECT_TRUE(LogQueue::Instance().TakeAll().empty());

    modal_.Next([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        dialog->setDirectory(QString::fromStdString(chosen.string()));
        static_cast<QDialog*>(dialog)->accept();
    });
    setFolder->trigger();
    EXPECT_EQ(core_.PreferencesSnapshot()->logPath, chosen.wstring());
    EXPECT_EQ(store_->GetString("Settings", "logPath", L""), chosen.wstring());
    const std::vector<LogRecord> lines = LogQueue::Instance().TakeAll();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, L"Log Directory is set to " + chosen.wstring());
    EXPECT_EQ(lines[0].level, kLogNormal);
}

TEST_F(LogWindowTest, OpenLogFolderOpensTheFolderAndNothingWithoutOne) {
    Open();
    OpenedUrls opened;
    auto openFolder = [&] {
        for (QAction* action : window_->findChildren<QAction*>()) {
            if (action->text() == "Open Log Folder") action->trigger();
        }
    };
    openFolder();
    EXPECT_TRUE(opened.urls.isEmpty());
    Preferences withFolder = *core_.PreferencesSnapshot();
    withFolder.logPath = home_.wstring();
    core_.ApplyPreferences(withFolder, CHbtCore::kApplyOnly);
    openFolder();
    EXPECT_EQ(opened.urls, QStringList({QUrl::fromLocalFile(QString::fromStdString(home_.string())).toString()}));
}

TEST_F(LogWindowTest, ClosingHidesAndOffersTheBalloonButEndsTheProgramWhileTheEngineIsHaltedOrStopped) {
    Open();
    window_->close();
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(shell_.balloons, 1);
    EXPECT_EQ(shell_.exits, 0);

    core_.HaltForLostEngine();
    window_->show();
    window_->close();
    EXPECT_EQ(shell_.exits, 1);
    EXPECT_EQ(shell_.balloons, 1);

    CHbtCore stopped;
    stopped.Stop();
    CLogWindow other(stopped, shell_);
    other.show();
    other.close();
    EXPECT_EQ(shell_.exits, 2);
}

TEST_F(LogWindowTest, StatusBarShowsTheFiguresAndTheVersionAndItsLinksOpenTheBoxAndAbout) {
    Open();
    EXPECT_TRUE(StatusText().contains("<a href=\"hbtstat://corvant.example\">Connections monitored: 0, secured: 0</a>"
                                      "                    <a href=\"hbtabout\">Harbinet v1.54 </a>          "))
        << StatusText().toStdString();
    auto* link = window_->findChild<QLabel*>("statusLink");
    QStringList labels;
    QList<QAbstractButton*> buttons;
    modal_.Next([&](QWidget* box) {
        seen_.title = box->windowTitle();
        seen_.owner = box->parentWidget();
        for (QLabel* label : box->findChildren<QLabel*>()) labels << label->text();
        buttons = box->findChild<QDialogButtonBox*>()->buttons();
        box->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    emit link->linkActivated("hbtstat://corvant.example");
    EXPECT_EQ(seen_.title, "Harbinet Statistics");
    EXPECT_EQ(seen_.owner, window_.get());
    // Only the text: no icon.
    EXPECT_EQ(labels, QStringList({"Connections :\nTotal\t\t\t0\nProcessed  \t\t0\nSecured\t\t\t0\n     HTTP blocked\t\t0"
                                   "\n     Redirected to HTTPS\t0\n     Weak SSL blocked  \t0"}));
    EXPECT_EQ(buttons.size(), 1);

    bool aboutShown = false;
    modal_.Next([&](QWidget* modal) {
        aboutShown = qobject_cast<CAboutDlg*>(modal) != nullptr;
        modal->close();
    });
    emit link->linkActivated("hbtabout");
    EXPECT_TRUE(aboutShown);
}

TEST_F(LogWindowTest, KeepsToTheBottomWhileItWasThereAndDropsTheOldestLinesPastItsLimit) {
    Open();
    QScrollBar* bar = view_->verticalScrollBar();
    auto lines = [](int from, int count) {
        std::vector<LogRecord> batch;
        for (int i = from; i < from + count; ++i) batch.push_back(Record(kLogNormal, L"line " + std::to_wstring(i)));
        return batch;
    };
    Show(lines(0, CLogView::kMaxLines));
    EXPECT_EQ(view_->document()->blockCount(), CLogView::kMaxLines);
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));

    Show(lines(CLogView::kMaxLines, 1));
    EXPECT_EQ(view_->document()->blockCount(), CLogView::kMaxLines - CLogView::kDroppedLines + 1);
    EXPECT_TRUE(view_->document()->firstBlock().text().endsWith("] line 1000"));
    EXPECT_TRUE(view_->document()->lastBlock().text().endsWith("] line 5000"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar->value() == bar->maximum(); }));

    const int wide = view_->viewport()->width();
    window_->resize(window_->width() / 2, window_->height());
    ASSERT_TRUE(QTest::qWaitFor([&] { return view_->viewport()->width() < wide && bar->value() == bar->maximum(); }))
        << "at the bottom after a resize";

    bar->setValue(10);
    Show(lines(6000, 50));
    QCoreApplication::processEvents();
    EXPECT_EQ(bar->value(), 10) << "scrolled up, the view stays where the user put it";
}

class StatisticsLinksTest : public LogWindowTest {
protected:
    void Start() {
        Preferences errorsOnly;
        errorsOnly.logLevel = 1;
        Open(errorsOnly);
        dialog_ = std::make_unique<CPreferencesDlg>(core_, shell_);
        drain_ = std::make_unique<LogDrain>(dispatcher_, std::vector<LogSink*>{window_.get()}, [this] {
            RefreshStatisticsLinks(core_.Statistics(), *dialog_, *window_);
        });
    }
    QString DialogLink() { return dialog_->findChild<QLabel*>("statisticsLink")->text(); }

    CDispatcher dispatcher_;
    std::unique_ptr<CPreferencesDlg> dialog_;
    std::unique_ptr<LogDrain> drain_;
};

TEST_F(StatisticsLinksTest, LinksAreRenewedWhenALineIsQueuedAndOnlyThen) {
    Start();
    HbtStatistics& counters = core_.Statistics();
    ++counters.connectRequests;
    ++counters.connectionsToProxy;
    ++counters.http.httpRedirects;
    CLog(kLogNormal) << "not for an errors-only screen";
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(DialogLink().contains("Connections monitored: 0, secured: 0"));
    EXPECT_TRUE(StatusText().contains("Connections monitored: 0, secured: 0"));

    CLog(kLogAlways) << "Harbinet switched ON";
    ASSERT_TRUE(QTest::qWaitFor([&] { return StatusText().contains("Connections monitored: 1, secured: 1"); }));
    EXPECT_TRUE(DialogLink().contains("Connections monitored: 1, secured: 1"));
    EXPECT_TRUE(view_->document()->lastBlock().text().endsWith("] Harbinet switched ON"));
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

#include "log_window_test.moc"
