#include "ui/statistics_displays.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/log_window.h"
#include "ui/preferences_dialog.h"
#include "ui/statistics_text.h"

namespace hbt {

namespace {

// The box's text drawn as the classic message box draws it: a tab goes to the
// next multiple of eight 'x' widths, which puts every figure in one column.
class TabbedText : public QLabel {
public:
    explicit TabbedText(const QString& text) : QLabel(text) { setTextFormat(Qt::PlainText); }

    QSize sizeHint() const override {
        const QRect bounds =
            fontMetrics().boundingRect(QRect(0, 0, 100000, 100000), Qt::TextExpandTabs, text(), TabStop());
        const QMargins margins = contentsMargins();
        return bounds.size() + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        QTextOption option(Qt::AlignLeft | Qt::AlignTop);
        option.setTabStopDistance(TabStop());
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRectF(contentsRect()), text(), option);
    }

private:
    int TabStop() const { return 8 * fontMetrics().horizontalAdvance(QLatin1Char('x')); }
};

}  // namespace

void RefreshStatisticsLinks(const HbtStatistics& statistics, CPreferencesDlg& dialog, CLogWindow& logWindow) {
    const StatisticsFigures forDialog = ComputeStatisticsFigures(statistics);
    dialog.SetStatistics(forDialog.total, forDialog.secured);
    const StatisticsFigures forLog = ComputeStatisticsFigures(statistics);
    logWindow.SetStatistics(forLog.total, forLog.secured);
}

void ShowStatisticsBox(const HbtStatistics& statistics, QWidget* owner) {
    QDialog box(owner);
    box.setWindowTitle(QStringLiteral("Harbinet Statistics"));
    auto* layout = new QVBoxLayout(&box);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->setContentsMargins(18, 16, 18, 12);
    layout->setSpacing(14);
    auto* text = new TabbedText(QString::fromStdWString(StatisticsBoxText(ComputeStatisticsFigures(statistics))));
    text->setObjectName(QStringLiteral("statisticsText"));
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    layout->addWidget(buttons);
    box.exec();
}

}  // namespace hbt
