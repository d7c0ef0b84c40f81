#pragma once
// CPreferencesDlg: the main dialog. It keeps its own copy of the
// preferences, and every change goes to the core's ApplyPreferences (mode 1)
// at once. Closing hides it.
#include <QDialog>
#include <QImage>

#include <cstdint>
#include <memory>

#include "rules/preferences.h"
#include "ui/switch_positions.h"

namespace Ui {
class PreferencesDialog;
}

namespace hbt {

class CHbtCore;
class DesktopShell;

class CPreferencesDlg : public QDialog {
    Q_OBJECT
public:
    CPreferencesDlg(CHbtCore& core, DesktopShell& shell, QWidget* parent = nullptr);
    ~CPreferencesDlg() override;

    // Before the dialog is shown: the core's preferences into the dialog's record and its controls.
    void LoadFromCore();
    // After a change anywhere: the same, and any drag of the switch ends.
    void RefreshFromCore();
    // The statistics link's figures.
    void SetStatistics(uint64_t monitored, uint64_t secured);
    const Preferences& Record() const { return record_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void WriteControls();
    void EnableStrictOptions();
    void ApplyRecord();
    void OnSwitchScrolled(SwitchScroll scroll, int position);
    void OnModeChosen();
    void OnAutolaunchClicked(bool checked);
    void ShowLogo();
    void ShowStatisticsBox();
    void ShowOptions();
    void ShowAbout();

    std::unique_ptr<Ui::PreferencesDialog> ui_;
    CHbtCore& core_;
    DesktopShell& shell_;
    Preferences record_;
    QImage colourLogo_;
    QImage greyLogo_;
};

}  // namespace hbt
