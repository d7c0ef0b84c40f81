#include "ui/preferences_dialog.h"

#include <QCloseEvent>
#include <QPainter>
#include <QPixmap>

#include "core/hbt_core.h"
#include "http/page_parts.h"
#include "ui/about_dialog.h"
#include "ui/desktop_shell.h"
#include "ui/options_dialog.h"
#include "ui/options_model.h"
#include "ui/pictures.h"
#include "ui/statistics_displays.h"
#include "ui_preferences_dialog.h"
#include "update/version.h"

namespace hbt {

namespace {

constexpr int kLogoSide = 96;
constexpr int kLogoFrame = 3;

QString StatisticsLinkText(uint64_t monitored, uint64_t secured) {
    return QStringLiteral("<a href=\"hbtstat://%1\">Connections monitored: %2, secured: %3</a>")
        .arg(QString::fromLatin1(kVendorWebSiteHost))
        .arg(monitored)
        .arg(secured);
}

}  // namespace

CPreferencesDlg::CPreferencesDlg(CHbtCore& core, DesktopShell& shell, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::PreferencesDialog>()), core_(core), shell_(shell) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    const int inner = kLogoSide - 2 * kLogoFrame;
    colourLogo_ = LogoImage(inner);
    greyLogo_ = GreyImage(colourLogo_, palette().button().color());
    ui_->versionLink->setText(
        QStringLiteral("<a href=\"about\">Harbinet v%1</a>").arg(QString::fromStdString(ShortVersion())));
    SetStatistics(0, 0);

    connect(ui_->onOffSwitch, &CSliderCtrlHbt::switchScrolled, this, &CPreferencesDlg::OnSwitchScrolled);
    connect(ui_->autoRedirect, &QCheckBox::clicked, this, [this](bool checked) {
        record_.autoRedirect = checked;
        ApplyRecord();
    });
    connect(ui_->checkHttps, &QCheckBox::clicked, this, [this](bool checked) {
        record_.checkBeforeRedirect = checked;
        ApplyRecord();
    });
    connect(ui_->strictMode, &QRadioButton::clicked, this, &CPreferencesDlg::OnModeChosen);
    connect(ui_->bestEffortMode, &QRadioButton::clicked, this, &CPreferencesDlg::OnModeChosen);
    connect(ui_->autolaunch, &QCheckBox::clicked, this, &CPreferencesDlg::OnAutolaunchClicked);
    connect(ui_->options, &QPushButton::clicked, this, &CPreferencesDlg::ShowOptions);
    connect(ui_->showLog, &QPushButton::clicked, this, [this] { shell_.ShowLogWindow(); });
    connect(ui_->versionLink, &QLabel::linkActivated, this, &CPreferencesDlg::ShowAbout);
    connect(ui_->statisticsLink, &QLabel::linkActivated, this, &CPreferencesDlg::ShowStatisticsBox);
    LoadFromCore();
}

CPreferencesDlg::~CPreferencesDlg() = default;

void CPreferencesDlg::LoadFromCore() {
    record_ = *core_.PreferencesSnapshot();
    WriteControls();
}

void CPreferencesDlg::RefreshFromCore() {
    // A drag in progress ends before the thumb is set.
    ui_->onOffSwitch->EndDrag();
    LoadFromCore();
}

void CPreferencesDlg::WriteControls() {
    ui_->autolaunch->setChecked(shell_.AutorunEnabled());
    ui_->checkHttps->setChecked(record_.checkBeforeRedirect);
    ui_->autoRedirect->setChecked(record_.autoRedirect);
    ui_->strictMode->setChecked(!record_.allowInsecureIfNoHttps);
    ui_->bestEffortMode->setChecked(record_.allowInsecureIfNoHttps);
    const SwitchPositions positions = ui_->onOffSwitch->Positions();
    ui_->onOffSwitch->setSliderPosition(record_.enabled ? positions.on : positions.off);
    ui_->description->setEnabled(record_.enabled);
    EnableStrictOptions();
    ShowLogo();
    ui_->onOffSwitch->update();
}

void CPreferencesDlg::EnableStrictOptions() {
    ui_->autoRedirect->setEnabled(!record_.allowInsecureIfNoHttps);
    ui_->checkHttps->setEnabled(!record_.allowInsecureIfNoHttps);
}

void CPreferencesDlg::ShowLogo() {
    const bool enabled = core_.PreferencesSnapshot()->enabled;
    QImage framed(kLogoSide, kLogoSide, QImage::Format_ARGB32_Premultiplied);
    framed.fill(palette().button().color());
    QPainter painter(&framed);
    painter.drawImage(kLogoFrame, kLogoFrame, enabled ? colourLogo_ : greyLogo_);
    painter.end();
    ui_->logo->setPixmap(QPixmap::fromImage(framed));
}

void CPreferencesDlg::ApplyRecord() { core_.ApplyPreferences(record_, CHbtCore::kApplyAndSave); }

void CPreferencesDlg::OnModeChosen() {
    record_.allowInsecureIfNoHttps = ui_->bestEffortMode->isChecked();
    ApplyRecord();
    EnableStrictOptions();
}

void CPreferencesDlg::OnAutolaunchClicked(bool checked) { ui_->autolaunch->setChecked(shell_.SetAutorun(checked)); }

void CPreferencesDlg::OnSwitchScrolled(SwitchScroll scroll, int position) {
    CSliderCtrlHbt* slider = ui_->onOffSwitch;
    const SwitchPositions positions = slider->Positions();
    const std::optional<int> target = SwitchTarget(scroll, position, positions);
    if (!target) return;
    if (*target != position) slider->setSliderPosition(*target);
    if (*target != positions.on && *target != positions.off) return;
    const bool on = *target == positions.on;
    if (on == record_.enabled) {
        slider->update();
        return;
    }
    record_.enabled = on;
    ApplyRecord();  // keeps the switch OFF while the engine is halted
    shell_.RefreshTrayAndDialog();
    WriteControls();
}

void CPreferencesDlg::SetStatistics(uint64_t monitored, uint64_t secured) {
    ui_->statisticsLink->setText(StatisticsLinkText(monitored, secured));
}

void CPreferencesDlg::ShowStatisticsBox() { hbt::ShowStatisticsBox(core_.Statistics(), this); }

void CPreferencesDlg::ShowOptions() {
    COptionsDlg options(record_, this);
    if (options.exec() != QDialog::Accepted) return;
    // The tray may have switched or changed the mode meanwhile; the record followed it.
    TakeOptionsFields(record_, options.Record());
    ApplyRecord();
}

void CPreferencesDlg::ShowAbout() {
    CAboutDlg about(core_, this);
    about.exec();
}

void CPreferencesDlg::closeEvent(QCloseEvent* event) {
    shell_.ShowMinimizedBalloon();
    QDialog::closeEvent(event);
}

void CPreferencesDlg::reject() { hide(); }

}  // namespace hbt
