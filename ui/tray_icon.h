#pragma once
// The notification-area icon: the ON or OFF picture, the tip "Harbinet", a
// left click for the main dialog and the menu built from the preferences.
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

#include "rules/preferences.h"

namespace hbt {

class CTrayIcon : public QObject {
    Q_OBJECT
public:
    // `preferences` gives a copy of the core's record each time the menu opens.
    explicit CTrayIcon(std::function<Preferences()> preferences, QObject* parent = nullptr);

    // Adding does nothing while the icon is shown; false when no tray takes it.
    bool Add(bool on);
    void Remove();
    bool Shown() const { return icon_ && icon_->isVisible(); }
    void ShowBalloon(const QString& title, const QString& text);
    // The menu as it would open now (rebuilt from the preferences).
    QMenu& RebuiltMenu();

signals:
    void command(int id);
    void leftClicked();

private:
    std::function<Preferences()> preferences_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QMenu menu_;
};

}  // namespace hbt
