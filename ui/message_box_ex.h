#pragma once
// CMessageBoxExDlg: a modal message box with a check box below the text. When
// it is closed with the box ticked, the answer is written under the title and
// text's remember key in the section "MessageBoxEx".
#include <QDialog>

#include <string>

class QCheckBox;
class QPushButton;

namespace hbt {

class SettingsStore;

// The answers, as the buttons' results.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

enum class MessageBoxIcon { Exclamation, Information, Error };

struct MessageBoxExContent {
    std::wstring title;
    std::wstring text;
    std::wstring checkBoxText;  // empty: "Do not show this message again"
    MessageBoxIcon icon = MessageBoxIcon::Exclamation;
    bool yesNo = false;          // Yes/No instead of OK/Cancel
    bool secondIsDefault = false;
};

// The notice of a newer version.
MessageBoxExContent UpdateNotice();

class CMessageBoxExDlg : public QDialog {
    Q_OBJECT
public:
    CMessageBoxExDlg(SettingsStore& store, MessageBoxExContent content, QWidget* parent = nullptr);

    bool Checked() const;
    // exec() answers one of the kAnswer values.

protected:
    void reject() override;

private:
    void Finish(int answer);

    SettingsStore& store_;
    MessageBoxExContent content_;
    QCheckBox* checkBox_ = nullptr;
    QPushButton* first_ = nullptr;
    QPushButton* second_ = nullptr;
};

}  // namespace hbt
