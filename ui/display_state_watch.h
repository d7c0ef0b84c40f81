#pragma once
// Follows whether the screen is blanked, from the session bus's screen saver
// signal, and tells the core (which then keeps some engine messages quiet).
// Without a session bus the display counts as on.
#include <QObject>

namespace hbt {

class CHbtCore;

class DisplayStateWatch : public QObject {
    Q_OBJECT
public:
    explicit DisplayStateWatch(CHbtCore& core, QObject* parent = nullptr);
    // False when no session bus offers the signal.
    bool Watching() const { return watching_; }

private slots:
    void ScreenSaverActiveChanged(bool active);

private:
    CHbtCore& core_;
    bool watching_ = false;
};

}  // namespace hbt
