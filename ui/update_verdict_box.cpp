#include "ui/update_verdict_box.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

#include "core/hbt_core.h"
#include "ui/message_box_ex.h"

namespace hbt {
namespace {

// The address comes from the network: only a web page is opened, never a
// local file or program that the shell would run.
void OpenDownloadPage(const std::string& address) {
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (url.isValid() && (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http"))) {
        QDesktopServices::openUrl(url);
    }
}

}  // namespace

void ShowUpdateVerdict(const UpdateVerdict& verdict, CHbtCore& core, SettingsStore& store, QWidget* owner) {
    if (verdict.outOfDate) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Harbinet"),
                        QStringLiteral("This version of Harbinet is out of date and no longer supported. "
                                       "Please update at ") +
                            QString::fromStdString(verdict.downloadAddress),
                        QMessageBox::Ok, owner);
        box.exec();
        OpenDownloadPage(verdict.downloadAddress);
        return;
    }
    CMessageBoxExDlg notice(store, UpdateNotice(), owner);
    if (notice.exec() == kAnswerYes) OpenDownloadPage(verdict.downloadAddress);
    if (notice.Checked()) {
        Preferences changed = *core.PreferencesSnapshot();
        changed.updatesCheck = false;
        core.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    }
}

}  // namespace hbt
