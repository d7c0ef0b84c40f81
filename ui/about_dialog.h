#pragma once
// CAboutDlg: the version, the vendor's web site and the update check box.
#include <QDialog>

#include <memory>

namespace Ui {
class AboutDialog;
}

namespace hbt {

class CHbtCore;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    CAboutDlg(CHbtCore& core, QWidget* owner);
    ~CAboutDlg() override;

private:
    void OnUpdatesCheckClicked(bool checked);

    std::unique_ptr<Ui::AboutDialog> ui_;
    CHbtCore& core_;
};

}  // namespace hbt
