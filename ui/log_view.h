#pragma once
// CLogView: the log window's lines. Each record becomes one line: its time,
// the application prefix and the message, with the record's links; error
// lines are red and carry no links. The view holds at most kMaxLines lines,
// dropping the oldest kDroppedLines at once when a line would pass that, and
// stays at the bottom while it was there. A plain-text view (one layout per
// line, only the visible lines laid out) keeps a fast log cheap to show.
#include <QPlainTextEdit>

#include <optional>

#include "log/log_record.h"

namespace hbt {

class CLogView : public QPlainTextEdit {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 5000;
    static constexpr int kDroppedLines = 1000;

    explicit CLogView(QWidget* parent = nullptr);

    // Lines come in batches: the view lays itself out once per batch.
    void AppendRecord(const LogRecord& record);
    void EndBatch();

signals:
    // The left button went down on a link; its target as it was written.
    void linkPressed(const QString& target);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QTextCursor& BatchCursor();
    void DropOldestLines();

    std::optional<QTextCursor> batch_;
    bool atBottom_ = true;
};

}  // namespace hbt
