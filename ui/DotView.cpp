#include "ui/DotView.h"

#include <QPainter>

namespace quern {

DotView::DotView(QWidget* parent)
    : QWidget(parent) {}

void DotView::setColor(SystemColor color) {
    if (color_ == color)
        return; // the same colour every 2 seconds needs no repaint
    color_ = color;
    update();
}

void DotView::paintEvent(QPaintEvent*) {
    if (!color_)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(systemColor(*color_, palette()));
    painter.drawEllipse(QRectF(rect()));
}

} // namespace quern
