#include "ui/core_message_boxes.h"

#include <QMessageBox>

namespace hbt {

bool AskYesNoBox(QWidget* owner, const std::wstring& caption, const std::wstring& text) {
    QMessageBox box(QMessageBox::Question, QString::fromStdWString(caption), QString::fromStdWString(text),
                    QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void ShowErrorBox(QWidget* owner, const std::wstring& caption, const std::wstring& text) {
    QMessageBox box(QMessageBox::Critical, QString::fromStdWString(caption), QString::fromStdWString(text),
                    QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace hbt
