#pragma once
// CMessageBoxExDlg: a modal message box with a check box below the text. When
// it is closed with the box ticked, the answer is written under the title and
// text's remember key in the section "MessageBoxEx".
#include <QDialog>

#include "ui/message_box_ex_content.h"

class QCheckBox;
class QPushButton;

namespace hbt {

class SettingsStore;

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
