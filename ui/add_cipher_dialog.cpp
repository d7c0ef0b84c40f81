#include "ui/add_cipher_dialog.h"

#include <QMessageBox>

#include "ui/cipher_code_entry.h"
#include "ui_add_cipher_dialog.h"

namespace hbt {

CAddCipherDlg::CAddCipherDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::AddCipherDialog>()) {
    ui_->setupUi(this);
}

CAddCipherDlg::~CAddCipherDlg() = default;

void CAddCipherDlg::accept() {
    const auto read = ReadCipherSuiteCode(ui_->code->text().toStdWString());
    if (const auto* message = std::get_if<std::wstring>(&read)) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdWString(*message));
        return;
    }
    code_ = std::get<uint16_t>(read);
    QDialog::accept();
}

}  // namespace hbt
