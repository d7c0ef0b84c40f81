#pragma once
// The "Harbinet Log" window in its first form: the lines the log shows on
// screen, one after another. Closing hides it.
#include <QPlainTextEdit>
#include <QWidget>

#include <functional>

#include "log/log_sink.h"

namespace hbt {

class LogPlaceholderWindow : public QWidget, public LogSink {
    Q_OBJECT
public:
    // `closing` runs when the user closes the window (the balloon's turn).
    explicit LogPlaceholderWindow(std::function<void()> closing);

    bool Admits(const LogRecord& record) const override { return record.toScreen; }
    void Write(const LogRecord& record) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<void()> closing_;
    QPlainTextEdit* lines_;
};

}  // namespace hbt
