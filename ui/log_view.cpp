#include "ui/log_view.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>

#include <algorithm>
#include <ctime>

#include "ui/log_link_target.h"

namespace hbt {

namespace {

const QColor kErrorColour(255, 50, 50);

QString TimeStamp(int64_t time) {
    const std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "[%m.%d %H:%M:%S] ", &local);
    return QString::fromLatin1(stamp);
}

QString Piece(const std::wstring& text, std::size_t from, std::size_t to) {
    return QString::fromWCharArray(text.data() + from, static_cast<qsizetype>(to - from));
}

// Writes the text with the links inside it (offsets in wide characters) as anchors.
void InsertWithLinks(QTextCursor& cursor, const std::wstring& text, const std::vector<LogLink>& links,
                     const QTextCharFormat& plain, const QColor& linkColour) {
    std::size_t done = 0;
    for (const LogLink& link : links) {
        const std::size_t start = std::min<std::size_t>(link.offset, text.size());
        const std::size_t end = std::min<std::size_t>(start + link.length, text.size());
        if (start < done) continue;
        cursor.insertText(Piece(text, done, start), plain);
        QTextCharFormat anchor = plain;
        anchor.setAnchor(true);
        anchor.setAnchorHref(QString::fromStdString(LogLinkHref(link)));
        anchor.setForeground(linkColour);
        anchor.setFontUnderline(true);
        cursor.insertText(Piece(text, start, end), anchor);
        done = end;
    }
    cursor.insertText(Piece(text, done, text.size()), plain);
}

}  // namespace

CLogView::CLogView(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::LinksAccessibleByMouse);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    document()->setUndoRedoEnabled(false);
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) { atBottom_ = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (atBottom_) bar->setValue(maximum);
    });
}

QTextCursor& CLogView::BatchCursor() {
    if (!batch_) {
        batch_.emplace(document());
        batch_->setPosition(document()->characterCount() - 1);
        batch_->beginEditBlock();
    }
    return *batch_;
}

void CLogView::AppendRecord(const LogRecord& record) {
    QTextCursor& cursor = BatchCursor();
    if (document()->blockCount() >= kMaxLines) DropOldestLines();
    if (!document()->isEmpty()) cursor.insertBlock();
    QTextCharFormat plain;
    const bool error = record.level == kLogError;
    if (error) plain.setForeground(kErrorColour);
    const QColor linkColour = palette().color(QPalette::Link);
    cursor.insertText(TimeStamp(record.time), plain);
    if (!record.screenPrefix.empty()) {
        std::vector<LogLink> appLink;
        if (!error && !record.appLink.target.empty()) appLink.push_back(record.appLink);
        InsertWithLinks(cursor, record.screenPrefix, appLink, plain, linkColour);
        cursor.insertText(QStringLiteral(" - "), plain);
    }
    InsertWithLinks(cursor, record.message, error ? std::vector<LogLink>{} : record.links, plain, linkColour);
}

void CLogView::DropOldestLines() {
    // By position: moving the cursor block by block would lay out every block it passes.
    QTextCursor head(document());
    head.setPosition(document()->findBlockByNumber(kDroppedLines).position(), QTextCursor::KeepAnchor);
    head.removeSelectedText();
}

void CLogView::EndBatch() {
    if (!batch_) return;
    batch_->endEditBlock();
    batch_.reset();
}

void CLogView::mousePressEvent(QMouseEvent* event) {
    const QString target = event->button() == Qt::LeftButton ? anchorAt(event->position().toPoint()) : QString();
    if (target.isEmpty()) return QPlainTextEdit::mousePressEvent(event);
    event->accept();
    emit linkPressed(target);
}

void CLogView::mouseMoveEvent(QMouseEvent* event) {
    const bool overLink = !anchorAt(event->position().toPoint()).isEmpty();
    viewport()->setCursor(overLink ? Qt::PointingHandCursor : Qt::IBeamCursor);
    QPlainTextEdit::mouseMoveEvent(event);
}

}  // namespace hbt
