// The Options dialog, the cipher suite dialogs and the filtered edit on the
// offscreen platform, with their message boxes answered as a user would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/hbt_core.h"
#include "platform/file_settings_store.h"
#include "rules/preferences_storage.h"
#include "tests/rules/memory_settings_store.h"
#include "tests/ui/modal_script.h"
#include "ui/add_cipher_dialog.h"
#include "ui/cipher_methods_dialog.h"
#include "ui/desktop_shell.h"
#include "ui/filtered_edit.h"
#include "ui/options_dialog.h"
#include "ui/preferences_dialog.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;
using test::ModalScript;
using test::ShownMessage;

const QString kOptionsTitle = QStringLiteral("SSL/TLS Options");

template <typename T>
T* Child(const QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    if (!child) ADD_FAILURE() << "no " << name;
    return child;
}

void Press(QWidget& dialog, QDialogButtonBox::StandardButton which) {
    Child<QDialogButtonBox>(dialog, "buttons")->button(which)->click();
}

void ExpectMessages(const ModalScript& script, const std::vector<ShownMessage>& expected) {
    ASSERT_EQ(script.messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(script.messages[i].title, expected[i].title) << i;
        EXPECT_EQ(script.messages[i].text, expected[i].text) << i;
        EXPECT_EQ(script.messages[i].icon, expected[i].icon) << i;
    }
    EXPECT_TRUE(script.AllStepsRan());
    EXPECT_EQ(script.unexpected, 0);
}

// The positions that carry the light red background.
std::vector<int> MarkedPositions(const QTextEdit& edit) {
    std::vector<int> marked;
    for (const QTextEdit::ExtraSelection& selection : edit.extraSelections()) {
        if (selection.format.background().color() != QColor(kInvalidCharacterBackground)) continue;
        for (int p = selection.cursor.selectionStart(); p < selection.cursor.selectionEnd(); ++p) marked.push_back(p);
    }
    return marked;
}

TEST(FilteredEdit, MarksWithoutChangingTheTextOrTheUndoHistory) {
    CFilteredEdit edit;
    edit.SetRules(PortsFieldRules());
    edit.show();
    QTest::keyClicks(&edit, "80");
    edit.document()->clearUndoRedoStacks();
    QTest::keyClicks(&edit, "a");
    EXPECT_EQ(edit.toPlainText(), "80a");
    EXPECT_EQ(MarkedPositions(edit), (std::vector<int>{2}));
    EXPECT_EQ(edit.document()->availableUndoSteps(), 1) << "only the typing can be undone";
    edit.undo();
    EXPECT_EQ(edit.toPlainText(), "80");
    EXPECT_TRUE(MarkedPositions(edit).empty());
    edit.redo();
    EXPECT_EQ(MarkedPositions(edit), (std::vector<int>{2}));
}

TEST(FilteredEdit, PastesPlainTextOnly) {
    CFilteredEdit edit;
    edit.SetRules(HostsFieldRules());
    auto* rich = new QMimeData;
    rich->setHtml(QStringLiteral("<b>bold.example</b>"));
    rich->setText(QStringLiteral("bold.example"));
    QApplication::clipboard()->setMimeData(rich);
    edit.paste();
    EXPECT_EQ(edit.toPlainText(), "bold.example");
    QTextCursor end(edit.document());
    end.movePosition(QTextCursor::End);
    EXPECT_EQ(end.charFormat().fontWeight(), QFont::Normal) << "no formatting came along";
    auto* htmlOnly = new QMimeData;
    htmlOnly->setHtml(QStringLiteral("<i>x</i>"));
    QApplication::clipboard()->setMimeData(htmlOnly);
    EXPECT_FALSE(edit.canPaste());
}

TEST(FilteredEdit, ContextMenuOffersOnlyWhatCanAct) {
    CFilteredEdit edit;
    QApplication::clipboard()->clear();
    const auto enabled = [&] {
        std::unique_ptr<QMenu> menu(edit.CreateEditMenu(nullptr));
        std::vector<std::pair<QString, bool>> items;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator()) items.emplace_back(action->text().remove('&'), action->isEnabled());
        }
        return items;
    };
    using Items = std::vector<std::pair<QString, bool>>;
    EXPECT_EQ(enabled(), (Items{{"Cut", false}, {"Copy", false}, {"Paste", false}, {"Select All", false}}));
    edit.setPlainText("80; 81");
    EXPECT_EQ(enabled(), (Items{{"Cut", false}, {"Copy", false}, {"Paste", false}, {"Select All", true}}));
    edit.selectAll();
    EXPECT_EQ(enabled(), (Items{{"Cut", true}, {"Copy", true}, {"Paste", false}, {"Select All", true}}));
    edit.copy();
    EXPECT_EQ(enabled(), (Items{{"Cut", true}, {"Copy", true}, {"Paste", true}, {"Select All", true}}));
    edit.setReadOnly(true);
    EXPECT_EQ(enabled(), (Items{{"Cut", false}, {"Copy", true}, {"Paste", false}, {"Select All", true}}));
}

Preferences Loaded() {
    Preferences p;
    LoadPreferences(test::MemorySettingsStore(), p);
    return p;
}

class OptionsDialogTest : public ::testing::Test {
protected:
    void Open(const Preferences& record) {
        dialog_ = std::make_unique<COptionsDlg>(record);
        dialog_->show();
    }
    QCheckBox* Box(const char* name) { return Child<QCheckBox>(*dialog_, name); }
    QComboBox* CipherMode() { return Child<QComboBox>(*dialog_, "cipherMode"); }
    void Tick(std::initializer_list<const char*> ticked) {
        for (const char* name : {"ssl2", "ssl3", "tls10", "tls11", "tls12", "tls13"}) {
            Box(name)->setChecked(std::find_if(ticked.begin(), ticked.end(), [&](const char* t) {
                                      return std::string_view(t) == name;
                                  }) != ticked.end());
        }
    }
    bool Accepted() const { return !dialog_->isVisible() && dialog_->result() == QDialog::Accepted; }

    ModalScript script_;
    std::unique_ptr<COptionsDlg> dialog_;
};

TEST_F(OptionsDialogTest, ShowsEveryControlWithItsText) {
    Open(Loaded());
    EXPECT_EQ(dialog_->windowTitle(), "Options");
    QStringList groups, texts;
    for (auto* group : dialog_->findChildren<QGroupBox*>()) groups << group->title();
    for (auto* label : dialog_->findChildren<QLabel*>()) texts << label->text();
    for (auto* button : dialog_->findChildren<QAbstractButton*>()) texts << button->text();
    EXPECT_EQ(groups, (QStringList{"Ports", "Enforcement", "Allowed SSL/TLS versions and ciphers [Strict Mode Only]",
                                   "Exceptions"}));
    for (const char* text :
         {"Monitor HTTP on these ports:", "Monitor SSL on all ports", "SSL 2", "SSL 3", "TLS 1.0", "TLS 1.1", "TLS 1.2",
          "TLS 1.3", "TLS cipher suites:", "More...", "Bypass these processes:", "Bypass these hosts:",
          "Bypass certificate status (OCSP) requests", "Keep sites' HTTPS promises (HSTS)"}) {
        EXPECT_TRUE(texts.contains(text)) << text;
    }
    QStringList modes;
    for (int i = 0; i < CipherMode()->count(); ++i) modes << CipherMode()->itemText(i);
    EXPECT_EQ(modes, (QStringList{"Allow All", "Allow Safe Only", "Allow Safe Only with FF", "Custom"}));
}

TEST_F(OptionsDialogTest, LoadsTheRecordAndOkStoresWhatTheControlsShow) {
    Preferences record = Loaded();
    record.allowedSslVersions = {769, 32512};
    record.monitorSslOnAllPorts = true;
    record.excludeCertReq = false;
    record.honorHsts = false;
    record.checkEncMethod = 128;
    record.cipherBaseMode = 3;
    record.cipherOverrides = {{0x0005, true}};
    std::wstring ignored;
    ASSERT_TRUE(record.SetExcludedHosts(L"*.example.com", ignored));
    Open(record);
    EXPECT_EQ(Child<QTextEdit>(*dialog_, "ports")->toPlainText(), "80; 88; 3128; 8080-8088");
    EXPECT_EQ(Child<QTextEdit>(*dialog_, "hosts")->toPlainText(), "*.example.com");
    EXPECT_FALSE(Box("tls13")->isChecked()) << "the early TLS 1.3 code alone";
    EXPECT_TRUE(Box("tls10")->isChecked());
    EXPECT_FALSE(Box("tls12")->isChecked());
    EXPECT_TRUE(Box("monitorSslOnAllPorts")->isChecked());
    EXPECT_FALSE(Box("excludeCertReq")->isChecked());
    EXPECT_FALSE(Box("honorHsts")->isChecked());
    EXPECT_EQ(CipherMode()->currentText(), "Custom");

    Tick({"tls12", "tls13"});
    Box("excludeCertReq")->setChecked(true);
    Box("honorHsts")->setChecked(true);
    Child<QTextEdit>(*dialog_, "processes")->setPlainText("\"My Tool.exe\"; b.exe");
    Press(*dialog_, QDialogButtonBox::Ok);
    ASSERT_TRUE(Accepted());
    const Preferences& stored = dialog_->Record();
    EXPECT_EQ(stored.allowedSslVersions, (std::vector<uint16_t>{772, 771, 32512}));
    EXPECT_TRUE(stored.excludeCertReq);
    EXPECT_TRUE(stored.honorHsts);
    EXPECT_TRUE(stored.monitorSslOnAllPorts);
    EXPECT_EQ(stored.checkEncMethod, 128);
    EXPECT_EQ(stored.cipherBaseMode, 3);
    EXPECT_EQ(stored.cipherOverrides, (std::map<uint16_t, bool>{{0x0005, true}}));
    EXPECT_EQ(stored.excludeApplications, (std::vector<std::wstring>{L"My Tool.exe", L"b.exe"}));
    ExpectMessages(script_, {});
}

TEST_F(OptionsDialogTest, NoVersionTickedIsRefusedAndNothingStored) {
    const Preferences record = Loaded();
    Open(record);
    Tick({});
    script_.Answer();
    Press(*dialog_, QDialogButtonBox::Ok);
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(dialog_->Record(), record);
    ExpectMessages(script_, {{kOptionsTitle, "Please allow at least one SSL/TLS version.", QMessageBox::Warning}});
}

TEST_F(OptionsDialogTest, CipherControlUnticksSsl2AndSsl3AndOkAsksWhenTheyComeBack) {
    Open(Loaded());
    Tick({"ssl2", "ssl3", "tls12"});
    script_.Answer();
    CipherMode()->setCurrentIndex(1);  // Allow Safe Only
    EXPECT_FALSE(Box("ssl2")->isChecked());
    EXPECT_FALSE(Box("ssl3")->isChecked());
    EXPECT_TRUE(Box("tls12")->isChecked());

    Box("ssl3")->setChecked(true);
    script_.Answer(QMessageBox::No);
    Press(*dialog_, QDialogButtonBox::Ok);
    EXPECT_TRUE(dialog_->isVisible()) << "No keeps the dialog open";
    script_.Answer(QMessageBox::Yes);
    Press(*dialog_, QDialogButtonBox::Ok);
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(dialog_->Record().allowedSslVersions, (std::vector<uint16_t>{771, 768}));
    EXPECT_EQ(dialog_->Record().checkEncMethod, 2);
    const ShownMessage question{"Harbinet", "SSL2/SSL3 are considered insecure. Continue?", QMessageBox::Question};
    ExpectMessages(script_, {{kOptionsTitle, "SSL2/SSL3 will be disabled while cipher suite control is enabled.",
                              QMessageBox::Warning},
                             question,
                             question});
}

TEST_F(OptionsDialogTest, SslWithSafeOnlyWithFfOrCustomIsRefusedOnOk) {
    for (int index : {2, 3}) {
        Open(Loaded());
        CipherMode()->setCurrentIndex(index);
        Box("ssl2")->setChecked(true);
        script_.Answer();
        Press(*dialog_, QDialogButtonBox::Ok);
        EXPECT_TRUE(dialog_->isVisible()) << index;
    }
    const ShownMessage refusal{kOptionsTitle,
                               "SSL2/SSL3 cannot be enabled together with cipher suite control. Please disable "
                               "SSL2/SSL3 or Allow All cipher suites.",
                               QMessageBox::Warning};
    ExpectMessages(script_, {refusal, refusal});
}

TEST_F(OptionsDialogTest, LeavingCustomAsksAndNoPutsTheListBack) {
    Preferences record = Loaded();
    record.checkEncMethod = 128;
    record.cipherBaseMode = 2;
    record.cipherOverrides = {{0x0005, true}};
    Open(record);
    script_.Answer(QMessageBox::No);
    CipherMode()->setCurrentIndex(0);
    EXPECT_EQ(CipherMode()->currentText(), "Custom");
    script_.Answer(QMessageBox::Yes);
    CipherMode()->setCurrentIndex(2);
    EXPECT_EQ(CipherMode()->currentText(), "Allow Safe Only with FF");
    Press(*dialog_, QDialogButtonBox::Ok);
    ASSERT_TRUE(Accepted());
    EXPECT_EQ(dialog_->Record().checkEncMethod, 3);
    EXPECT_EQ(dialog_->Record().cipherBaseMode, 3);
    EXPECT_TRUE(dialog_->Record().cipherOverrides.empty());
    const ShownMessage question{kOptionsTitle,
                                "Customized entries will be lost. Return to the predefined list of cipher suites?",
                                QMessageBox::Warning};
    ExpectMessages(script_, {question, question});
}

TEST_F(OptionsDialogTest, ListParsersRefuseWithTheFieldNamed) {
    struct Case {
        const char* field;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"processes", "tools/a.exe", "Incorrect applications (Incorrect symbol(s) found.)"},
        {"ports", "80 81", "Incorrect ports (Unexpected blank space found.\nPlease make sure that you use semicolon "
                           "(;) to separate the ports or port ranges.)"},
        {"hosts", "192.168.*.*", "Incorrect hosts (Incorrect IP address or hostname found.)"},
    };
    std::vector<ShownMessage> expected;
    for (const Case& c : cases) {
        const Preferences record = Loaded();
        Open(record);
        Child<QTextEdit>(*dialog_, c.field)->setPlainText(c.text);
        script_.Answer();
        Press(*dialog_, QDialogButtonBox::Ok);
        EXPECT_TRUE(dialog_->isVisible()) << c.field;
        expected.push_back({"Harbinet", c.message, QMessageBox::Warning});
    }
    ExpectMessages(script_, expected);
}

TEST_F(OptionsDialogTest, ALetterInThePortsIsMarkedAndRefusedOnOk) {
    Open(Loaded());
    auto* ports = Child<CFilteredEdit>(*dialog_, "ports");
    ports->moveCursor(QTextCursor::End);
    QTest::keyClicks(ports, "; a");
    EXPECT_EQ(ports->toPlainText(), "80; 88; 3128; 8080-8088; a");
    EXPECT_EQ(MarkedPositions(*ports), (std::vector<int>{25}));
    script_.Answer();
    Press(*dialog_, QDialogButtonBox::Ok);
    EXPECT_TRUE(dialog_->isVisible());
    ExpectMessages(script_, {{"Harbinet", "Incorrect ports (Incorrect symbol(s) found.)", QMessageBox::Warning}});
}

// "More..." on a dialog whose list shows Allow Safe Only; the step works the suites dialog.
void OpenSuites(ModalScript& script, COptionsDlg& dialog, const std::function<void(CCipherMethodsDlg&)>& step) {
    script.Then([step](QDialog* opened) {
        auto* suites = qobject_cast<CCipherMethodsDlg*>(opened);
        ASSERT_NE(suites, nullptr);
        step(*suites);
    });
    Child<QPushButton>(dialog, "moreCiphers")->click();
}

void SelectCode(QTreeWidget* list, int code) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->data(0, Qt::UserRole).toInt() == code) {
            list->setCurrentItem(list->topLevelItem(i));
            return;
        }
    }
    ADD_FAILURE() << "no row for " << code;
}

TEST_F(OptionsDialogTest, CipherSuitesCancelledAfterChangesLeaveTheRecordAsItWas) {
    Preferences record = Loaded();
    record.checkEncMethod = 128;
    record.cipherBaseMode = 2;
    record.cipherOverrides = {{0xC02F, false}};
    Open(record);
    OpenSuites(script_, *dialog_, [](CCipherMethodsDlg& suites) {
        EXPECT_EQ(suites.BaseMode(), 2);
        EXPECT_EQ(suites.Overrides(), (std::map<uint16_t, bool>{{0xC02F, false}}));
        Child<QComboBox>(suites, "baseMode")->setCurrentIndex(0);
        SelectCode(Child<QTreeWidget>(suites, "allowedList"), 0x0005);
        Child<QPushButton>(suites, "disable")->click();
        Press(suites, QDialogButtonBox::Cancel);
    });
    EXPECT_EQ(dialog_->Record(), record);
    EXPECT_EQ(CipherMode()->currentText(), "Custom");
    EXPECT_TRUE(script_.AllStepsRan());
}

TEST_F(OptionsDialogTest, CipherSuitesOkMakesTheModeCustomOrTheChosenBase) {
    Open(Loaded());
    CipherMode()->setCurrentIndex(1);
    OpenSuites(script_, *dialog_, [](CCipherMethodsDlg& suites) {
        EXPECT_EQ(suites.BaseMode(), 2) << "the list's mode, not yet stored";
        SelectCode(Child<QTreeWidget>(suites, "disabledList"), 0x0005);
        Child<QPushButton>(suites, "allow")->click();
        Press(suites, QDialogButtonBox::Ok);
    });
    EXPECT_EQ(CipherMode()->currentText(), "Custom");
    EXPECT_EQ(dialog_->Record().checkEncMethod, 128);
    EXPECT_EQ(dialog_->Record().cipherBaseMode, 2);
    EXPECT_EQ(dialog_->Record().cipherOverrides, (std::map<uint16_t, bool>{{0x0005, true}}));

    OpenSuites(script_, *dialog_, [](CCipherMethodsDlg& suites) {
        EXPECT_EQ(suites.Overrides().size(), 1u);
        SelectCode(Child<QTreeWidget>(suites, "allowedList"), 0x0005);
        Child<QPushButton>(suites, "removeAllowed")->click();
        Child<QComboBox>(suites, "baseMode")->setCurrentIndex(2);
        Press(suites, QDialogButtonBox::Ok);
    });
    EXPECT_EQ(CipherMode()->currentText(), "Allow Safe Only with FF");
    EXPECT_EQ(dialog_->Record().checkEncMethod, 3);
    EXPECT_EQ(dialog_->Record().cipherBaseMode, 3);
    EXPECT_TRUE(dialog_->Record().cipherOverrides.empty());
    EXPECT_EQ(script_.unexpected, 0);
}

class CipherSuitesDialogTest : public ::testing::Test {
protected:
    void Open(int32_t base, std::map<uint16_t, bool> overrides = {}) {
        dialog_ = std::make_unique<CCipherMethodsDlg>(base, std::move(overrides));
        dialog_->show();
        allowed_ = Child<QTreeWidget>(*dialog_, "allowedList");
        disabled_ = Child<QTreeWidget>(*dialog_, "disabledList");
    }
    static QStringList Row(const QTreeWidget* list, int row) {
        const QTreeWidgetItem* item = list->topLevelItem(row);
        return item ? QStringList{item->text(0), item->text(1)} : QStringList{};
    }
    void Click(const char* button) { Child<QPushButton>(*dialog_, button)->click(); }

    ModalScript script_;
    std::unique_ptr<CCipherMethodsDlg> dialog_;
    QTreeWidget* allowed_ = nullptr;
    QTreeWidget* disabled_ = nullptr;
};

TEST_F(CipherSuitesDialogTest, MovingOutOfAllowAllAddsTheCustomisedBlock) {
    Open(1);
    EXPECT_EQ(disabled_->topLevelItemCount(), 1);
    EXPECT_EQ(Row(disabled_, 0), (QStringList{"", "0 predefined suites"}));
    SelectCode(allowed_, 0x0005);
    Click("disable");
    ASSERT_EQ(disabled_->topLevelItemCount(), 3);
    EXPECT_EQ(Row(disabled_, 0), (QStringList{"", "1 customized suites"}));
    EXPECT_EQ(Row(disabled_, 1), (QStringList{"0x0005", "TLS_RSA_WITH_RC4_128_SHA"}));
    EXPECT_EQ(Row(disabled_, 2), (QStringList{"", "0 predefined suites"}));
    EXPECT_EQ(Row(allowed_, 0), (QStringList{"", "359 predefined suites"}));

    SelectCode(disabled_, 0x0005);
    Click("allow");
    EXPECT_EQ(Row(allowed_, 0), (QStringList{"", "1 customized suites"}));
    EXPECT_EQ(dialog_->Overrides(), (std::map<uint16_t, bool>{{0x0005, true}}));
}

TEST_F(CipherSuitesDialogTest, ColumnsAreNamedAndWideEnoughForEveryRow) {
    Open(2);
    EXPECT_EQ(allowed_->headerItem()->text(0), "ID");
    EXPECT_EQ(allowed_->headerItem()->text(1), "Name");
    const QFontMetrics metrics = allowed_->fontMetrics();
    for (const QTreeWidget* list : {allowed_, disabled_}) {
        EXPECT_GE(list->header()->sectionSize(0), metrics.horizontalAdvance("0xFFFF"));
        EXPECT_GE(list->header()->sectionSize(1),
                  metrics.horizontalAdvance("TLS_ECDHE_ECDSA_WITH_CAMELLIA_256_GCM_SHA384"));
    }
    EXPECT_EQ(Child<QComboBox>(*dialog_, "baseMode")->currentText(), "Allow Safe Only");
    Child<QComboBox>(*dialog_, "baseMode")->setCurrentIndex(2);
    EXPECT_EQ(Row(allowed_, 0), (QStringList{"", "114 predefined suites"}));
    EXPECT_EQ(dialog_->BaseMode(), 3);
}

TEST_F(CipherSuitesDialogTest, EveryRefusalHasItsMessage) {
    Open(2, {{0xC02F, false}});
    const QString removeTitle = QStringLiteral("Remove Cipher Suite");
    const QString noneToRemove = QStringLiteral("No cipher suite selected.  Please select one to remove");
    script_.Answer();
    Click("disable");  // nothing selected
    allowed_->setCurrentItem(allowed_->topLevelItem(0));  // a summary row is no suite
    script_.Answer();
    Click("removeAllowed");
    script_.Answer();
    Click("removeDisabled");
    SelectCode(disabled_, 0x0005);
    script_.Answer();
    Click("removeDisabled");
    SelectCode(disabled_, 0xC02F);
    Click("removeDisabled");
    EXPECT_TRUE(dialog_->Overrides().empty());
    ExpectMessages(script_,
                   {{"Move Cipher Suite", "No cipher suite selected. Please select one to move.", QMessageBox::Warning},
                    {removeTitle, noneToRemove, QMessageBox::Warning},
                    {removeTitle, noneToRemove, QMessageBox::Warning},
                    {removeTitle,
                     "Cannot remove a predefined cipher suite.\nMove between the lists by arrow buttons to allow or "
                     "disable.",
                     QMessageBox::Warning}});
}

// The Add Cipher Suite dialog that opens next gets `text` and OK.
void EnterCode(ModalScript& script, const QString& text) {
    script.Then([text](QDialog* opened) {
        auto* add = qobject_cast<CAddCipherDlg*>(opened);
        ASSERT_NE(add, nullptr);
        Child<QLineEdit>(*add, "code")->setText(text);
        Press(*add, QDialogButtonBox::Ok);
    });
}

TEST_F(CipherSuitesDialogTest, AddPutsTheCodeOnItsSideAndChangesAnExistingEntry) {
    Open(2);
    EnterCode(script_, "0xc0ff");
    Click("addAllowed");
    EXPECT_EQ(Row(allowed_, 1), (QStringList{"0xC0FF", "USER_DEFINED_C0FF"}));
    EnterCode(script_, "49407");
    Click("addDisabled");
    EXPECT_EQ(Row(disabled_, 1), (QStringList{"0xC0FF", "USER_DEFINED_C0FF"}));
    EXPECT_EQ(Row(allowed_, 0), (QStringList{"", "248 predefined suites"}));
    EXPECT_EQ(dialog_->Overrides(), (std::map<uint16_t, bool>{{0xC0FF, false}}));
    EXPECT_TRUE(script_.AllStepsRan());
}

TEST_F(CipherSuitesDialogTest, FilterShowsMatchingRowsAndCountsTheHiddenOnes) {
    Open(2, {{0x0005, true}, {0xC02F, false}});
    Child<QLineEdit>(*dialog_, "filter")->setText("ECDHE_RSA_WITH_AES_128_GCM");
    EXPECT_EQ(allowed_->topLevelItemCount(), 2);
    EXPECT_EQ(Row(allowed_, 0), (QStringList{"", "1 customized suites (1 filtered from view)"}));
    EXPECT_EQ(Row(disabled_, 1), (QStringList{"0xC02F", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"}));
    Child<QLineEdit>(*dialog_, "filter")->clear();
    EXPECT_EQ(allowed_->topLevelItemCount(), 250);
}

TEST(AddCipherSuiteDialog, ARefusedCodeKeepsTheDialogOpen) {
    ModalScript script;
    CAddCipherDlg add;
    add.show();
    EXPECT_EQ(add.windowTitle(), "Add Cipher Suite");
    EXPECT_EQ(Child<QLabel>(add, "prompt")->text(), "Enter a cipher suite code to add\n(decimal or hex started with 0x):");
    Child<QLineEdit>(add, "code")->setText("0x1G");
    script.Answer();
    Press(add, QDialogButtonBox::Ok);
    EXPECT_TRUE(add.isVisible());
    Child<QLineEdit>(add, "code")->setText("0xc02f");
    Press(add, QDialogButtonBox::Ok);
    EXPECT_EQ(add.result(), QDialog::Accepted);
    EXPECT_EQ(add.Code(), 0xC02F);
    ExpectMessages(script, {{"Add Cipher Suite", "Cannot add cipher suite: incorrect code format.",
                             QMessageBox::Warning}});
}

class NoShell : public DesktopShell {
public:
    void RefreshTrayAndDialog() override {}
    void ShowLogWindow() override {}
    void ShowMainDialog() override {}
    void ExitProgram() override {}
    bool AutorunEnabled() const override { return false; }
    bool SetAutorun(bool on) override { return on; }
    void ShowMinimizedBalloon() override {}
};

std::string ReadText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class OptionsFromMainDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            // No log file in the user's documents: the file says so, as the
            // program runs with what its settings file holds.
            FileSettingsStore file(path_.string());
            file.SetInt("Settings", "logFileLevel", 0);
            ASSERT_TRUE(file.Save());
        }
        core_.SetSettingsStore(std::make_shared<FileSettingsStore>(path_.string()));
        Preferences p;
        LoadPreferences(FileSettingsStore(path_.string()), p);
        core_.ApplyPreferences(p, CHbtCore::kApplyOnly);
        dialog_ = std::make_unique<CPreferencesDlg>(core_, shell_);
        dialog_->show();
    }
    void TearDown() override { fs::remove(path_); }
    // Clicks "Options..." and works the Options dialog with `step`.
    void WorkOptions(const std::function<void(COptionsDlg&)>& step) {
        script_.Then([step](QDialog* opened) {
            auto* options = qobject_cast<COptionsDlg*>(opened);
            ASSERT_NE(options, nullptr);
            step(*options);
        });
        Child<QPushButton>(*dialog_, "options")->click();
        EXPECT_TRUE(script_.AllStepsRan());
    }

    fs::path path_ = fs::temp_directory_path() / ("hbt-options-" + std::to_string(::getpid()) + ".conf");
    CHbtCore core_;
    NoShell shell_;
    ModalScript script_;
    std::unique_ptr<CPreferencesDlg> dialog_;
};

TEST_F(OptionsFromMainDialogTest, OkAppliesAndTheSettingsFileHoldsWhatTheDialogShowed) {
    Preferences shown;
    WorkOptions([&](COptionsDlg& options) {
        Child<QTextEdit>(options, "ports")->setPlainText("80;8080-8081");
        Child<QTextEdit>(options, "hosts")->setPlainText("*.example.com; 10.0.0.1-10.0.0.9");
        Child<QTextEdit>(options, "processes")->setPlainText("backup.exe");
        Child<QCheckBox>(options, "tls10")->setChecked(false);
        Child<QCheckBox>(options, "monitorSslOnAllPorts")->setChecked(true);
        Child<QCheckBox>(options, "excludeCertReq")->setChecked(false);
        Child<QCheckBox>(options, "honorHsts")->setChecked(false);
        OpenSuites(script_, options, [](CCipherMethodsDlg& suites) {
            SelectCode(Child<QTreeWidget>(suites, "allowedList"), 0x0005);
            Child<QPushButton>(suites, "disable")->click();
            Press(suites, QDialogButtonBox::Ok);
        });
        Press(options, QDialogButtonBox::Ok);
        shown = options.Record();
    });
    EXPECT_EQ(dialog_->Record(), shown);
    EXPECT_EQ(*core_.PreferencesSnapshot(), shown);
    Preferences saved;
    LoadPreferences(FileSettingsStore(path_.string()), saved);
    EXPECT_EQ(saved.httpPortsText, L"80;8080-8081");
    EXPECT_EQ(saved.httpPorts, shown.httpPorts);
    EXPECT_EQ(saved.excludeHostRules.size(), 2u);
    EXPECT_EQ(saved.allowedSslVersions, (std::vector<uint16_t>{770, 771, 772, 32512}));
    EXPECT_TRUE(saved.monitorSslOnAllPorts);
    EXPECT_FALSE(saved.excludeCertReq);
    EXPECT_FALSE(saved.honorHsts);
    EXPECT_EQ(saved.excludeApplicationsText, L"backup.exe");
    EXPECT_EQ(saved.checkEncMethod, 128);
    EXPECT_EQ(saved.cipherBaseMode, 1);
    EXPECT_EQ(saved.cipherOverrides, (std::map<uint16_t, bool>{{0x0005, false}}));
    saved.enabled = shown.enabled;
    saved.allowedSslVersions = shown.allowedSslVersions;  // loading orders them by code
    EXPECT_EQ(saved, shown) << "nothing else differs either";
}

TEST_F(OptionsFromMainDialogTest, ChangesFromTheTrayWhileItIsOpenStay) {
    WorkOptions([&](COptionsDlg& options) {
        Preferences fromTray = *core_.PreferencesSnapshot();
        fromTray.enabled = true;
        fromTray.allowInsecureIfNoHttps = false;
        core_.ApplyPreferences(fromTray, CHbtCore::kApplyAndSave);
        dialog_->RefreshFromCore();
        Child<QTextEdit>(options, "ports")->setPlainText("81");
        Press(options, QDialogButtonBox::Ok);
    });
    EXPECT_TRUE(core_.PreferencesSnapshot()->enabled);
    EXPECT_FALSE(core_.PreferencesSnapshot()->allowInsecureIfNoHttps);
    EXPECT_EQ(core_.PreferencesSnapshot()->httpPortsText, L"81");
}

TEST_F(OptionsFromMainDialogTest, CancelChangesNothing) {
    const Preferences before = *core_.PreferencesSnapshot();
    const std::string text = ReadText(path_);
    WorkOptions([](COptionsDlg& options) {
        Child<QTextEdit>(options, "ports")->setPlainText("81");
        Child<QCheckBox>(options, "tls12")->setChecked(false);
        Press(options, QDialogButtonBox::Cancel);
    });
    EXPECT_EQ(*core_.PreferencesSnapshot(), before);
    EXPECT_EQ(dialog_->Record(), before);
    EXPECT_EQ(ReadText(path_), text);
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
