#include "ui/about_dialog.h"

#include <QDesktopServices>
#include <QUrl>

#include "core/hbt_core.h"
#include "http/page_parts.h"
#include "ui/pictures.h"
#include "ui_about_dialog.h"
#include "update/version.h"

namespace hbt {

CAboutDlg::CAboutDlg(CHbtCore& core, QWidget* owner)
    : QDialog(owner), ui_(std::make_unique<Ui::AboutDialog>()), core_(core) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    ui_->icon->setPixmap(WindowIcon().pixmap(48, 48));
    ui_->version->setText(QStringLiteral("Harbinet, Version %1").arg(QString::fromStdString(ShortVersion())));
    const QString site = QStringLiteral("https://%1/").arg(QString::fromLatin1(kVendorWebSiteHost));
    ui_->webSite->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(site));
    connect(ui_->webSite, &QLabel::linkActivated, this, [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
    ui_->updatesCheck->setChecked(core_.PreferencesSnapshot()->updatesCheck);
    connect(ui_->updatesCheck, &QCheckBox::clicked, this, &CAboutDlg::OnUpdatesCheckClicked);
    connect(ui_->ok, &QPushButton::clicked, this, &QDialog::accept);
}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::OnUpdatesCheckClicked(bool checked) {
    Preferences changed = *core_.PreferencesSnapshot();
    changed.updatesCheck = checked;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    if (checked) core_.StartUpdateCheck(false);
}

}  // namespace hbt
