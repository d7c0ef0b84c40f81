#include "ui/display_state_watch.h"

#include <QDBusConnection>

#include "core/hbt_core.h"

namespace hbt {

DisplayStateWatch::DisplayStateWatch(CHbtCore& core, QObject* parent) : QObject(parent), core_(core) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    watching_ = bus.connect(QString(), QStringLiteral("/org/freedesktop/ScreenSaver"),
                            QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("ActiveChanged"), this,
                            SLOT(ScreenSaverActiveChanged(bool)));
}

void DisplayStateWatch::ScreenSaverActiveChanged(bool active) { core_.SetDisplayOff(active); }

}  // namespace hbt
