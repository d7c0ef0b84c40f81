#include "ui/filtered_edit.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QMimeData>

namespace hbt {

CFilteredEdit::CFilteredEdit(QWidget* parent) : QTextEdit(parent) {
    setAcceptRichText(false);
    setTabChangesFocus(true);
    connect(this, &QTextEdit::textChanged, this, &CFilteredEdit::Check);
}

void CFilteredEdit::SetRules(CharacterRules rules) {
    rules_ = std::move(rules);
    checkedText_.clear();
    setExtraSelections({});
    Check();
}

void CFilteredEdit::SetVisibleLines(int lines) {
    visibleLines_ = lines;
    updateGeometry();
}

int CFilteredEdit::HeightForLines() const {
    const int margins = contentsMargins().top() + contentsMargins().bottom();
    return visibleLines_ * fontMetrics().lineSpacing() + 2 * static_cast<int>(document()->documentMargin()) + margins;
}

QSize CFilteredEdit::sizeHint() const { return {QTextEdit::sizeHint().width(), HeightForLines()}; }

QSize CFilteredEdit::minimumSizeHint() const { return {QTextEdit::minimumSizeHint().width(), HeightForLines()}; }

void CFilteredEdit::Check() {
    const QString text = toPlainText();
    if (text == checkedText_) return;
    checkedText_ = text;
    QTextCharFormat marked;
    marked.setBackground(QColor(kInvalidCharacterBackground));
    QList<ExtraSelection> selections;
    for (std::size_t position : InvalidCharacterPositions(rules_, text.toStdWString())) {
        QTextCursor cursor(document());
        cursor.setPosition(static_cast<int>(position));
        cursor.setPosition(static_cast<int>(position) + 1, QTextCursor::KeepAnchor);
        selections.append({cursor, marked});
    }
    setExtraSelections(selections);
}

bool CFilteredEdit::canInsertFromMimeData(const QMimeData* source) const { return source->hasText(); }

void CFilteredEdit::insertFromMimeData(const QMimeData* source) {
    if (!source->hasText()) return;
    textCursor().insertText(source->text());
    ensureCursorVisible();
}

QMenu* CFilteredEdit::CreateEditMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const auto add = [&](const QString& text, QKeySequence::StandardKey key, void (QTextEdit::*slot)(), bool can) {
        QAction* action = menu->addAction(text);
        action->setShortcut(key);
        action->setEnabled(can);
        connect(action, &QAction::triggered, this, slot);
    };
    const bool selection = textCursor().hasSelection();
    add(tr("Cu&t"), QKeySequence::Cut, &QTextEdit::cut, selection && !isReadOnly());
    add(tr("&Copy"), QKeySequence::Copy, &QTextEdit::copy, selection);
    add(tr("&Paste"), QKeySequence::Paste, &QTextEdit::paste, canPaste());
    menu->addSeparator();
    add(tr("Select &All"), QKeySequence::SelectAll, &QTextEdit::selectAll, !document()->isEmpty());
    return menu;
}

void CFilteredEdit::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = CreateEditMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

}  // namespace hbt
