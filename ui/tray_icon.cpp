#include "ui/tray_icon.h"

#include <QActionGroup>

#include "ui/pictures.h"
#include "ui/tray_menu.h"

namespace hbt {

namespace {
constexpr int kBalloonMs = 30000;
}  // namespace

CTrayIcon::CTrayIcon(std::function<Preferences()> preferences, QObject* parent)
    : QObject(parent), preferences_(std::move(preferences)) {
    // Built anew just before it opens, so that it always shows the current mode.
    connect(&menu_, &QMenu::aboutToShow, this, [this] { RebuiltMenu(); });
}

QMenu& CTrayIcon::RebuiltMenu() {
    menu_.clear();
    auto* radios = new QActionGroup(&menu_);
    for (const TrayMenuEntry& entry : BuildTrayMenu(preferences_())) {
        if (entry.IsSeparator()) {
            menu_.addSeparator();
            continue;
        }
        QAction* action = menu_.addAction(QString::fromStdWString(entry.text));
        action->setEnabled(entry.enabled);
        action->setData(entry.command);
        if (entry.radio || entry.checkable) {
            action->setCheckable(true);
            action->setChecked(entry.checked);
        }
        if (entry.radio) radios->addAction(action);
        const int id = entry.command;
        connect(action, &QAction::triggered, this, [this, id] { emit command(id); });
    }
    return menu_;
}

bool CTrayIcon::Add(bool on) {
    if (Shown()) return true;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    icon_ = std::make_unique<QSystemTrayIcon>(TrayIcon(on));
    icon_->setToolTip(QStringLiteral("Harbinet"));
    icon_->setContextMenu(&menu_);
    connect(icon_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) emit leftClicked();
    });
    icon_->show();
    return true;
}

void CTrayIcon::Remove() { icon_.reset(); }

void CTrayIcon::ShowBalloon(const QString& title, const QString& text) {
    if (Shown()) icon_->showMessage(title, text, QSystemTrayIcon::Information, kBalloonMs);
}

}  // namespace hbt
