#include "ui/log_placeholder_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QVBoxLayout>

#include "ui/pictures.h"

namespace hbt {

namespace {
constexpr int kKeptLines = 5000;
}  // namespace

LogPlaceholderWindow::LogPlaceholderWindow(std::function<void()> closing)
    : closing_(std::move(closing)), lines_(new QPlainTextEdit) {
    setWindowTitle(QStringLiteral("Harbinet Log"));
    setWindowIcon(WindowIcon());
    lines_->setReadOnly(true);
    lines_->setMaximumBlockCount(kKeptLines);
    lines_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lines_);
    resize(760, 420);
}

void LogPlaceholderWindow::Write(const LogRecord& record) {
    lines_->appendPlainText(QString::fromStdString(FormatFileLine(record, record.screenPrefix, record.time)));
}

void LogPlaceholderWindow::closeEvent(QCloseEvent* event) {
    closing_();
    event->accept();
}

}  // namespace hbt
