// Shows one of the dialogs that the running program opens only on a later
// occasion, so that scripts/screenshots.sh can take its picture:
// harbinet_gallery about|message-box|icons|options|cipher-suites|add-cipher|update-notice|out-of-date|
//                  log-window|statistics|host-prompt|app-prompt
#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QLabel>

#include <string>

#include "core/hbt_core.h"
#include "platform/file_settings_store.h"
#include "tests/ui/gallery_update_scenes.h"
#include "tests/ui/log_gallery.h"
#include "tests/ui/options_gallery.h"
#include "ui/about_dialog.h"
#include "ui/message_box_ex.h"
#include "ui/pictures.h"

namespace {

// The ON and OFF icons at every tray size, and the logo as the dialog shows it.
int ShowIcons() {
    QWidget sheet;
    sheet.setWindowTitle(QStringLiteral("Harbinet icons"));
    auto* grid = new QGridLayout(&sheet);
    const int sizes[] = {16, 22, 24, 32, 48};
    for (int column = 0; column < 5; ++column) {
        grid->addWidget(new QLabel(QString::number(sizes[column])), 0, column, Qt::AlignCenter);
        for (int row = 0; row < 2; ++row) {
            auto* icon = new QLabel;
            icon->setPixmap(hbt::TrayIcon(row == 0).pixmap(sizes[column], sizes[column]));
            grid->addWidget(icon, row + 1, column, Qt::AlignCenter);
        }
    }
    auto* logo = new QLabel;
    logo->setPixmap(QPixmap::fromImage(hbt::LogoImage(90)));
    grid->addWidget(logo, 0, 5, 3, 1);
    auto* grey = new QLabel;
    grey->setPixmap(QPixmap::fromImage(hbt::GreyImage(hbt::LogoImage(90), sheet.palette().button().color())));
    grid->addWidget(grey, 0, 6, 3, 1);
    sheet.show();
    return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setWindowIcon(hbt::WindowIcon());
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "icons") return ShowIcons();
    if (const auto shown = hbt::gallery::ShowOptionsScene(what)) return *shown;
    if (hbt::gallery::IsUpdateScene(what)) return hbt::gallery::ShowUpdateScene(what);
    if (const std::optional<int> shown = hbt::ShowLogScene(what)) return *shown;
    const bool about = what == "about";
    hbt::CHbtCore core;
    hbt::FileSettingsStore store(QDir::tempPath().toStdString() + "/harbinet-gallery.conf");
    core.SetSettingsStore(std::shared_ptr<hbt::SettingsStore>(&store, [](hbt::SettingsStore*) {}));
    if (about) return hbt::CAboutDlg(core, nullptr).exec();
    return hbt::CMessageBoxExDlg(store, hbt::UpdateNotice()).exec();
}
