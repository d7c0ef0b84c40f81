#include "ui/dispatcher.h"

#include <QCoreApplication>
#include <QThread>

#include <future>
#include <memory>

namespace hbt {

CDispatcher::CDispatcher(QObject* parent) : QObject(parent) {}

bool CDispatcher::OnOwnThread() const { return QThread::currentThread() == thread(); }

void CDispatcher::Post(std::function<void()> action) {
    QMetaObject::invokeMethod(this, std::move(action), Qt::QueuedConnection);
}

void CDispatcher::Send(const std::function<void()>& action) {
    if (OnOwnThread()) {
        action();
        return;
    }
    std::unique_lock lock(mutex_);
    if (!serving_) {
        lock.unlock();
        action();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    QMetaObject::invokeMethod(
        this,
        [action, done] {
            action();
            done->set_value();
        },
        Qt::QueuedConnection);
    lock.unlock();
    ran.wait();
}

void CDispatcher::StopServing() {
    {
        std::lock_guard lock(mutex_);
        serving_ = false;
    }
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

}  // namespace hbt
