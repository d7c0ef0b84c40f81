#include "ui/message_box_ex.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/pictures.h"
#include "ui/remember_key.h"

namespace hbt {

namespace {

QStyle::StandardPixmap IconPixmap(MessageBoxIcon icon) {
    switch (icon) {
        case MessageBoxIcon::Error: return QStyle::SP_MessageBoxCritical;
        case MessageBoxIcon::Information: return QStyle::SP_MessageBoxInformation;
        case MessageBoxIcon::Exclamation: return QStyle::SP_MessageBoxWarning;
    }
    return QStyle::SP_MessageBoxWarning;
}

}  // namespace

CMessageBoxExDlg::CMessageBoxExDlg(SettingsStore& store, MessageBoxExContent content, QWidget* parent)
    : QDialog(parent), store_(store), content_(std::move(content)) {
    QApplication::beep();
    setWindowTitle(QString::fromStdWString(content_.title));
    setWindowIcon(WindowIcon());
    auto* icon = new QLabel;
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(IconPixmap(content_.icon), nullptr, this).pixmap(side, side));
    icon->setAlignment(Qt::AlignTop);
    auto* text = new QLabel(QString::fromStdWString(content_.text));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setMinimumWidth(320);
    checkBox_ = new QCheckBox(content_.checkBoxText.empty() ? QStringLiteral("Do not show this message again")
                                                            : QString::fromStdWString(content_.checkBoxText));
    auto* buttons = new QDialogButtonBox;
    first_ = buttons->addButton(content_.yesNo ? QStringLiteral("Yes") : QStringLiteral("OK"),
                                QDialogButtonBox::AcceptRole);
    second_ = buttons->addButton(content_.yesNo ? QStringLiteral("No") : QStringLiteral("Cancel"),
                                 QDialogButtonBox::RejectRole);
    first_->setObjectName("first");
    second_->setObjectName("second");
    QPushButton* preferred = content_.secondIsDefault ? second_ : first_;
    preferred->setDefault(true);
    preferred->setFocus();
    // With Yes and No there is no third way out.
    if (content_.yesNo) setWindowFlag(Qt::WindowCloseButtonHint, false);
    connect(first_, &QPushButton::clicked, this, [this] { Finish(content_.yesNo ? kAnswerYes : kAnswerOk); });
    connect(second_, &QPushButton::clicked, this, [this] { Finish(content_.yesNo ? kAnswerNo : kAnswerCancel); });

    auto* body = new QHBoxLayout;
    body->setSpacing(16);
    body->addWidget(icon);
    auto* column = new QVBoxLayout;
    column->addWidget(text);
    column->addSpacing(8);
    column->addWidget(checkBox_);
    body->addLayout(column, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addLayout(body);
    layout->addWidget(buttons);
}

bool CMessageBoxExDlg::Checked() const { return checkBox_->isChecked(); }

void CMessageBoxExDlg::reject() {
    if (!content_.yesNo) Finish(kAnswerCancel);
}

void CMessageBoxExDlg::Finish(int answer) {
    if (Checked()) RememberAnswer(store_, RememberKey(content_.title, content_.text), answer);
    done(answer);
}

}  // namespace hbt
