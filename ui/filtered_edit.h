#pragma once
// CFilteredEdit: a plain-text edit that shows the characters which cannot
// belong in its field on a light red background. The text itself is never
// changed, and the marks live beside the document, so typing and undo work
// as in any edit.
#include <QTextEdit>

#include "ui/character_rules.h"

class QMenu;

namespace hbt {

inline constexpr QRgb kInvalidCharacterBackground = qRgb(255, 160, 160);

class CFilteredEdit : public QTextEdit {
    Q_OBJECT
public:
    explicit CFilteredEdit(QWidget* parent = nullptr);

    void SetRules(CharacterRules rules);
    // The height the field asks for, in lines of its font.
    void SetVisibleLines(int lines);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Cut, Copy, Paste and Select All, each enabled only when it can act.
    QMenu* CreateEditMenu(QWidget* parent);

protected:
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void Check();

    int HeightForLines() const;

    CharacterRules rules_;
    int visibleLines_ = 3;
    QString checkedText_;
};

}  // namespace hbt
