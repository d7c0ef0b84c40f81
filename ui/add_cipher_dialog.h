#pragma once
// CAddCipherDlg: asks for one cipher suite code, decimal or 0x-hexadecimal.
// Ends with OK only on a code from 1 to 65535.
#include <QDialog>

#include <cstdint>
#include <memory>

namespace Ui {
class AddCipherDialog;
}

namespace hbt {

class CAddCipherDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAddCipherDlg(QWidget* parent = nullptr);
    ~CAddCipherDlg() override;

    // The accepted code, after OK.
    uint16_t Code() const { return code_; }

public slots:
    void accept() override;

private:
    std::unique_ptr<Ui::AddCipherDialog> ui_;
    uint16_t code_ = 0;
};

}  // namespace hbt
