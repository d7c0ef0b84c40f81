#include "ui/switch_slider.h"

#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace hbt {

namespace {

const QColor kOnGreen(50, 200, 0);
const QColor kLabelGrey(128, 128, 128);

}  // namespace

CSliderCtrlHbt::CSliderCtrlHbt(QWidget* parent) : QAbstractSlider(parent) {
    setOrientation(Qt::Horizontal);
    setRange(0, kSwitchMaximum);
    setPageStep(kSwitchMiddle);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Keys and the wheel arrive as actions; mouse scrolls are reported by the handlers below.
    connect(this, &QAbstractSlider::actionTriggered, this, &CSliderCtrlHbt::ReportAction);
}

QSize CSliderCtrlHbt::sizeHint() const { return {260, 32}; }
QSize CSliderCtrlHbt::minimumSizeHint() const { return {200, 28}; }

SwitchPositions CSliderCtrlHbt::Positions() const { return FindSwitchPositions(width(), ThumbLength()); }

int CSliderCtrlHbt::ThumbCentre(int position) const {
    return ThumbLeft(position, width(), ThumbLength()) + ThumbLength() / 2;
}

void CSliderCtrlHbt::EndDrag() {
    dragging_ = false;
    setSliderDown(false);
}

void CSliderCtrlHbt::resizeEvent(QResizeEvent* event) {
    QAbstractSlider::resizeEvent(event);
    // The two positions move with the width: a switch at rest stays where it was.
    if (dragging_) return;
    const SwitchPositions positions = Positions();
    setSliderPosition(sliderPosition() > kSwitchMiddle ? positions.on : positions.off);
}

void CSliderCtrlHbt::ReportAction(int action) {
    const int p = sliderPosition();
    switch (action) {
        case SliderSingleStepAdd: emit switchScrolled(SwitchScroll::LineDown, p); break;
        case SliderSingleStepSub: emit switchScrolled(SwitchScroll::LineUp, p); break;
        case SliderPageStepAdd: emit switchScrolled(SwitchScroll::PageDown, p); break;
        case SliderPageStepSub: emit switchScrolled(SwitchScroll::PageUp, p); break;
        case SliderToMaximum: emit switchScrolled(SwitchScroll::Bottom, p); break;
        case SliderToMinimum: emit switchScrolled(SwitchScroll::Top, p); break;
        default: break;  // SliderMove: set by the mouse handlers, which report it themselves
    }
}

void CSliderCtrlHbt::PressAt(int x) {
    const int left = ThumbLeft(sliderPosition(), width(), ThumbLength());
    if (x >= left && x < left + ThumbLength()) {
        dragging_ = true;
        grabOffset_ = x - (left + ThumbLength() / 2);
        setSliderDown(true);
    } else {
        triggerAction(x < left ? SliderPageStepSub : SliderPageStepAdd);
    }
}

void CSliderCtrlHbt::mousePressEvent(QMouseEvent* event) {
    const int x = event->position().toPoint().x();
    if (event->button() == Qt::LeftButton && InActiveBand(x, width())) PressAt(x);
}

void CSliderCtrlHbt::mouseMoveEvent(QMouseEvent* event) {
    const int x = event->position().toPoint().x();
    if (!dragging_ || !InActiveBand(x, width())) return;
    const int p = PositionForThumbCentre(x - grabOffset_, width(), ThumbLength());
    setSliderPosition(p);
    emit switchScrolled(SwitchScroll::Dragged, p);
}

void CSliderCtrlHbt::FinishDrag(int x) {
    const int p = PositionForThumbCentre(IntoActiveBand(x, width()) - grabOffset_, width(), ThumbLength());
    dragging_ = false;
    setSliderPosition(p);
    setSliderDown(false);
    emit switchScrolled(SwitchScroll::Released, p);
    emit switchScrolled(SwitchScroll::EndTracking, sliderPosition());
}

void CSliderCtrlHbt::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !dragging_) return;
    FinishDrag(event->position().toPoint().x());
}

void CSliderCtrlHbt::mouseDoubleClickEvent(QMouseEvent* event) {
    // A double click counts as a press, outside the band at its nearest edge.
    if (event->button() == Qt::LeftButton && !dragging_) PressAt(IntoActiveBand(event->position().toPoint().x(), width()));
}

void CSliderCtrlHbt::DrawLabels(QPainter& painter) {
    const bool on = sliderPosition() >= Positions().on;
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(font.pointSizeF() + 2);
    font.setBold(true);
    painter.setFont(font);
    const int quarter = width() / 4;
    painter.setPen(on ? kLabelGrey : QColor(Qt::black));
    painter.drawText(QRect(0, 0, quarter, height()), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("OFF "));
    painter.setPen(on ? kOnGreen : kLabelGrey);
    painter.drawText(QRect(width() - quarter, 0, quarter, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral(" ON"));
}

void CSliderCtrlHbt::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    DrawLabels(painter);
    const bool on = sliderPosition() >= Positions().on;
    // The channel: a rounded track across the active band only.
    const qreal trackHeight = height() * 0.36;
    const QRectF track(width() / 4.0, (height() - trackHeight) / 2, width() / 2.0, trackHeight);
    painter.setPen(QPen(QColor(150, 150, 150), 1));
    painter.setBrush(on ? QColor(50, 200, 0).lighter(150) : QColor(215, 215, 215));
    painter.drawRoundedRect(track, trackHeight / 2, trackHeight / 2);
    // The thumb.
    const QRectF thumb(ThumbLeft(sliderPosition(), width(), ThumbLength()) + 0.5, 1.5, ThumbLength() - 1.0,
                       height() - 3.0);
    QLinearGradient shade(thumb.topLeft(), thumb.bottomLeft());
    shade.setColorAt(0, QColor(255, 255, 255));
    shade.setColorAt(1, QColor(222, 222, 222));
    painter.setBrush(shade);
    painter.setPen(QPen(hasFocus() ? palette().highlight().color() : QColor(120, 120, 120), 1));
    painter.drawRoundedRect(thumb, 4, 4);
    // Grip lines in the thumb's middle.
    painter.setPen(QPen(QColor(150, 150, 150), 1));
    const qreal mid = thumb.center().x();
    for (int i = -1; i <= 1; ++i) {
        painter.drawLine(QPointF(mid + i * 4, thumb.top() + thumb.height() * 0.3),
                         QPointF(mid + i * 4, thumb.bottom() - thumb.height() * 0.3));
    }
}

}  // namespace hbt
