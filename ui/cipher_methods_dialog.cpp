#include "ui/cipher_methods_dialog.h"

#include <QHeaderView>
#include <QMessageBox>
#include <QScrollBar>
#include <QTreeWidget>

#include <algorithm>
#include <vector>

#include "tls_inspect/cipher_suite_catalogue.h"
#include "ui/add_cipher_dialog.h"
#include "ui/cipher_suite_lists.h"
#include "ui/options_model.h"
#include "ui_cipher_methods_dialog.h"

namespace hbt {
namespace {

constexpr int kIdColumnWidth = 60;     // at 96 dots per inch
constexpr int kNameColumnWidth = 300;  // at 96 dots per inch
constexpr int kVisibleRows = 16;

int Scaled(const QWidget* widget, int pixels) { return pixels * widget->logicalDpiX() / 96; }

// Wide enough for the text of any row in this font.
int ColumnWidth(const QWidget* list, int base, const std::vector<QString>& texts) {
    const QFontMetrics metrics = list->fontMetrics();
    int widest = 0;
    for (const QString& text : texts) widest = std::max(widest, metrics.horizontalAdvance(text));
    return std::max(Scaled(list, base), widest + 3 * metrics.averageCharWidth());
}

std::vector<QString> CatalogueNames() {
    std::vector<QString> names{QStringLiteral("USER_DEFINED_DDDD")};
    for (const CipherSuiteInfo& suite : CipherSuiteCatalogue()) names.push_back(QString::fromLatin1(suite.name));
    return names;
}

void FillList(QTreeWidget* list, const std::vector<CipherRow>& rows) {
    list->setUpdatesEnabled(false);
    list->clear();
    QList<QTreeWidgetItem*> items;
    for (const CipherRow& row : rows) {
        auto* item = new QTreeWidgetItem({QString::fromStdString(row.id), QString::fromStdString(row.name)});
        item->setData(0, Qt::UserRole, row.code);
        if (row.code == kSummaryRow) {
            QFont bold = list->font();
            bold.setBold(true);
            item->setFont(1, bold);
        }
        items.append(item);
    }
    list->addTopLevelItems(items);
    list->setUpdatesEnabled(true);
}

std::optional<uint16_t> SelectedSuite(const QTreeWidget* list) {
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    const int code = selected.front()->data(0, Qt::UserRole).toInt();
    if (code == kSummaryRow) return std::nullopt;
    return static_cast<uint16_t>(code);
}

}  // namespace

CCipherMethodsDlg::CCipherMethodsDlg(int32_t baseMode, std::map<uint16_t, bool> overrides, QWidget* parent)
    : QDialog(parent),
      ui_(std::make_unique<Ui::CipherMethodsDialog>()),
      baseMode_(std::clamp(baseMode, kCipherAllowAll, kCipherSafeOnlyFf)),
      overrides_(std::move(overrides)) {
    ui_->setupUi(this);
    for (int i = kCipherIndexAllowAll; i <= kCipherIndexSafeOnlyFf; ++i) {
        ui_->baseMode->addItem(QString::fromLatin1(kCipherModeTexts[static_cast<std::size_t>(i)]));
    }
    ui_->baseMode->setCurrentIndex(baseMode_ - 1);
    SetUpList(ui_->allowedList);
    SetUpList(ui_->disabledList);
    Refill();

    connect(ui_->baseMode, &QComboBox::currentIndexChanged, this, [this](int index) {
        baseMode_ = index + 1;
        Refill();
    });
    connect(ui_->filter, &QLineEdit::textChanged, this, &CCipherMethodsDlg::Refill);
    connect(ui_->disable, &QPushButton::clicked, this, [this] { Move(ui_->allowedList, false); });
    connect(ui_->allow, &QPushButton::clicked, this, [this] { Move(ui_->disabledList, true); });
    connect(ui_->addAllowed, &QPushButton::clicked, this, [this] { Add(true); });
    connect(ui_->addDisabled, &QPushButton::clicked, this, [this] { Add(false); });
    connect(ui_->removeAllowed, &QPushButton::clicked, this, [this] { Remove(ui_->allowedList); });
    connect(ui_->removeDisabled, &QPushButton::clicked, this, [this] { Remove(ui_->disabledList); });
}

CCipherMethodsDlg::~CCipherMethodsDlg() = default;

void CCipherMethodsDlg::SetUpList(QTreeWidget* list) {
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    static const std::vector<QString> names = CatalogueNames();
    const int idWidth = ColumnWidth(list, kIdColumnWidth, {QStringLiteral("0xDDDD")});
    const int nameWidth = ColumnWidth(list, kNameColumnWidth, names);
    list->header()->setStretchLastSection(true);
    list->header()->resizeSection(0, idWidth);
    list->header()->resizeSection(1, nameWidth);
    const int frame = 2 * list->frameWidth();
    list->setMinimumWidth(idWidth + nameWidth + list->verticalScrollBar()->sizeHint().width() + frame);
    list->setMinimumHeight(kVisibleRows * list->fontMetrics().lineSpacing() + list->header()->sizeHint().height() +
                           frame);
}

void CCipherMethodsDlg::Refill() {
    const CipherSuiteLists lists = FillCipherSuiteLists(baseMode_, overrides_, ui_->filter->text().toStdString());
    FillList(ui_->allowedList, lists.allowed);
    FillList(ui_->disabledList, lists.disabled);
}

void CCipherMethodsDlg::Move(QTreeWidget* from, bool allow) {
    const std::optional<uint16_t> code = SelectedSuite(from);
    if (!code) {
        QMessageBox::warning(this, QStringLiteral("Move Cipher Suite"),
                             QStringLiteral("No cipher suite selected. Please select one to move."));
        return;
    }
    overrides_[*code] = allow;
    Refill();
}

void CCipherMethodsDlg::Add(bool allow) {
    CAddCipherDlg add(this);
    if (add.exec() != QDialog::Accepted) return;
    overrides_[add.Code()] = allow;
    Refill();
}

void CCipherMethodsDlg::Remove(QTreeWidget* from) {
    const QString title = QStringLiteral("Remove Cipher Suite");
    const std::optional<uint16_t> code = SelectedSuite(from);
    if (!code) {
        QMessageBox::warning(this, title, QStringLiteral("No cipher suite selected.  Please select one to remove"));
        return;
    }
    if (overrides_.erase(*code) == 0) {
        QMessageBox::warning(this, title,
                             QStringLiteral("Cannot remove a predefined cipher suite.\nMove between the lists by "
                                            "arrow buttons to allow or disable."));
        return;
    }
    Refill();
}

}  // namespace hbt
