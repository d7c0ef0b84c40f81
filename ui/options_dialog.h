#pragma once
// COptionsDlg: the monitored ports, the exceptions, the allowed SSL/TLS
// versions and the cipher suite mode. Works on a copy of the main dialog's
// record; after OK, Record() is complete and valid.
#include <QDialog>

#include <array>
#include <memory>

#include "rules/preferences.h"
#include "ui/options_model.h"

class QCheckBox;

namespace Ui {
class OptionsDialog;
}

namespace hbt {

class COptionsDlg : public QDialog {
    Q_OBJECT
public:
    explicit COptionsDlg(const Preferences& record, QWidget* parent = nullptr);
    ~COptionsDlg() override;

    const Preferences& Record() const { return record_; }

public slots:
    void accept() override;

private:
    void LoadControls();
    void ShowCipherMode();
    std::array<QCheckBox*, kVersionBoxes.size()> VersionBoxWidgets() const;
    VersionTicks Ticks() const;
    void OnCipherModeChosen(int index);
    void ShowCipherSuites();
    void Warn(const QString& title, const QString& text);

    std::unique_ptr<Ui::OptionsDialog> ui_;
    Preferences record_;
};

}  // namespace hbt
