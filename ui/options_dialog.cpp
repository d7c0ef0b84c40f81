#include "ui/options_dialog.h"

#include <QMessageBox>
#include <QSignalBlocker>

#include "ui/character_rules.h"
#include "ui/cipher_methods_dialog.h"
#include "ui_options_dialog.h"

namespace hbt {
namespace {

const QString kTitle = QStringLiteral("SSL/TLS Options");

}  // namespace

COptionsDlg::COptionsDlg(const Preferences& record, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::OptionsDialog>()), record_(record) {
    ui_->setupUi(this);
    for (const char* text : kCipherModeTexts) ui_->cipherMode->addItem(QString::fromLatin1(text));
    ui_->ports->SetRules(PortsFieldRules());
    ui_->ports->SetVisibleLines(2);
    ui_->processes->SetRules(ProcessesFieldRules());
    ui_->hosts->SetRules(HostsFieldRules());
    LoadControls();
    connect(ui_->cipherMode, &QComboBox::currentIndexChanged, this, &COptionsDlg::OnCipherModeChosen);
    connect(ui_->moreCiphers, &QPushButton::clicked, this, &COptionsDlg::ShowCipherSuites);
}

COptionsDlg::~COptionsDlg() = default;

std::array<QCheckBox*, kVersionBoxes.size()> COptionsDlg::VersionBoxWidgets() const {
    return {ui_->ssl2, ui_->ssl3, ui_->tls10, ui_->tls11, ui_->tls12, ui_->tls13};
}

VersionTicks COptionsDlg::Ticks() const {
    VersionTicks ticks{};
    const auto boxes = VersionBoxWidgets();
    for (std::size_t i = 0; i < boxes.size(); ++i) ticks[i] = boxes[i]->isChecked();
    return ticks;
}

void COptionsDlg::LoadControls() {
    ui_->ports->setPlainText(QString::fromStdWString(record_.httpPortsText));
    ui_->processes->setPlainText(QString::fromStdWString(record_.excludeApplicationsText));
    ui_->hosts->setPlainText(QString::fromStdWString(record_.excludeHostsText));
    ui_->excludeCertReq->setChecked(record_.excludeCertReq);
    ui_->monitorSslOnAllPorts->setChecked(record_.monitorSslOnAllPorts);
    ui_->honorHsts->setChecked(record_.honorHsts);
    const VersionTicks ticks = VersionTicksFromList(record_.allowedSslVersions);
    const auto boxes = VersionBoxWidgets();
    for (std::size_t i = 0; i < boxes.size(); ++i) boxes[i]->setChecked(ticks[i]);
    ShowCipherMode();
}

void COptionsDlg::ShowCipherMode() {
    const QSignalBlocker quiet(ui_->cipherMode);
    ui_->cipherMode->setCurrentIndex(CipherModeIndex(record_.checkEncMethod));
}

void COptionsDlg::Warn(const QString& title, const QString& text) { QMessageBox::warning(this, title, text); }

void COptionsDlg::OnCipherModeChosen(int index) {
    if (index != kCipherIndexAllowAll && LegacySslTicked(Ticks())) {
        ui_->ssl2->setChecked(false);
        ui_->ssl3->setChecked(false);
        Warn(kTitle, QStringLiteral("SSL2/SSL3 will be disabled while cipher suite control is enabled."));
        return;
    }
    if (record_.checkEncMethod != kCipherCustom || index == kCipherIndexCustom) return;
    const auto answer = QMessageBox::warning(
        this, kTitle, QStringLiteral("Customized entries will be lost. Return to the predefined list of cipher suites?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) return;
    const QSignalBlocker quiet(ui_->cipherMode);
    ui_->cipherMode->setCurrentIndex(kCipherIndexCustom);
}

// The suites dialog starts from what the list shows; the record changes only when it ends with OK.
void COptionsDlg::ShowCipherSuites() {
    Preferences chosen = record_;
    SetCipherModeFromIndex(chosen, ui_->cipherMode->currentIndex());
    const bool custom = chosen.checkEncMethod == kCipherCustom;
    CCipherMethodsDlg suites(custom ? chosen.cipherBaseMode : chosen.checkEncMethod,
                             custom ? chosen.cipherOverrides : std::map<uint16_t, bool>{}, this);
    if (suites.exec() != QDialog::Accepted) return;
    record_.cipherBaseMode = suites.BaseMode();
    record_.cipherOverrides = suites.Overrides();
    record_.checkEncMethod = record_.cipherOverrides.empty() ? suites.BaseMode() : kCipherCustom;
    ShowCipherMode();
}

void COptionsDlg::accept() {
    const VersionTicks ticks = Ticks();
    const std::vector<uint16_t> versions = AllowedVersionsFromTicks(ticks);
    if (versions.empty()) {
        Warn(kTitle, QStringLiteral("Please allow at least one SSL/TLS version."));
        return;
    }
    record_.allowedSslVersions = versions;
    record_.excludeCertReq = ui_->excludeCertReq->isChecked();
    record_.monitorSslOnAllPorts = ui_->monitorSslOnAllPorts->isChecked();
    record_.honorHsts = ui_->honorHsts->isChecked();
    const int cipherIndex = ui_->cipherMode->currentIndex();
    SetCipherModeFromIndex(record_, cipherIndex);

    switch (JudgeLegacySsl(ticks, cipherIndex)) {
        case LegacySslVerdict::kFine: break;
        case LegacySslVerdict::kRefused:
            Warn(kTitle, QStringLiteral("SSL2/SSL3 cannot be enabled together with cipher suite control. Please "
                                        "disable SSL2/SSL3 or Allow All cipher suites."));
            return;
        case LegacySslVerdict::kAskUser:
            if (QMessageBox::question(this, QStringLiteral("Harbinet"),
                                      QStringLiteral("SSL2/SSL3 are considered insecure. Continue?"),
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) != QMessageBox::Yes) {
                return;
            }
            break;
    }

    const std::optional<std::wstring> refused =
        StoreListTexts(record_, ui_->processes->toPlainText().toStdWString(), ui_->ports->toPlainText().toStdWString(),
                       ui_->hosts->toPlainText().toStdWString());
    if (refused) {
        Warn(QStringLiteral("Harbinet"), QString::fromStdWString(*refused));
        return;
    }
    QDialog::accept();
}

}  // namespace hbt
