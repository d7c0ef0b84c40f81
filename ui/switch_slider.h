#pragma once
// CSliderCtrlHbt: the two-position ON/OFF switch. Only the band between a
// quarter and three quarters of the width is active; "OFF " and " ON" are
// drawn in the quarters outside it. It reports every scroll as a
// SwitchScroll; the dialog decides where the thumb goes.
#include <QAbstractSlider>

#include "ui/switch_positions.h"

namespace hbt {

class CSliderCtrlHbt : public QAbstractSlider {
    Q_OBJECT
public:
    explicit CSliderCtrlHbt(QWidget* parent = nullptr);

    SwitchPositions Positions() const;
    int ThumbLength() const { return height() * 3 / 2; }
    // The x of the thumb's centre at a position (for tests and drawing).
    int ThumbCentre(int position) const;
    // Ends a drag in progress, as a button release would, without reporting it.
    void EndDrag();
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void switchScrolled(hbt::SwitchScroll scroll, int position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void ReportAction(int action);
    void PressAt(int x);
    void FinishDrag(int x);
    void DrawLabels(QPainter& painter);

    bool dragging_ = false;
    int grabOffset_ = 0;
};

}  // namespace hbt
