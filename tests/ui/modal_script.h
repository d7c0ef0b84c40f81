#pragma once
// Answers the modal dialogs that the code under test opens with exec(), in
// the order they open, from inside their own event loops. A dialog that no
// step expects is counted and closed, so a test never hangs on it.
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>

#include <deque>
#include <functional>
#include <vector>

namespace hbt::test {

struct ShownMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

class ModalScript : public QObject {
public:
    using Step = std::function<void(QDialog*)>;

    ModalScript() { qApp->installEventFilter(this); }
    ~ModalScript() override { qApp->removeEventFilter(this); }

    // The next dialog to open is handed to `step`, which must close it.
    void Then(Step step) { steps_.push_back(std::move(step)); }
    // The next dialog is a message box: recorded and answered with `button`.
    void Answer(QMessageBox::StandardButton button = QMessageBox::Ok) {
        Then([this, button](QDialog* dialog) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            if (!box) {
                ++unexpected;
                dialog->reject();
                return;
            }
            messages.push_back({box->windowTitle(), box->text(), box->icon()});
            box->button(button)->click();
        });
    }
    bool AllStepsRan() const { return steps_.empty(); }

    std::vector<ShownMessage> messages;
    int unexpected = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* dialog = event->type() == QEvent::Show ? qobject_cast<QDialog*>(watched) : nullptr;
        if (dialog && dialog->isModal()) {
            // Queued, so the step runs once the dialog's own event loop does.
            QMetaObject::invokeMethod(this, [this, target = QPointer<QDialog>(dialog)] {
                if (target) Run(target);
            }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    void Run(QDialog* dialog) {
        if (steps_.empty()) {
            ++unexpected;
            dialog->reject();
            return;
        }
        Step step = std::move(steps_.front());
        steps_.pop_front();
        step(dialog);
    }

    std::deque<Step> steps_;
};

}  // namespace hbt::test
