#include "ui/DotView.h"

#include <QPainter>
#include <QPainterPath>

namespace quern {

DotView::DotView(QWidget* parent)
    : QWidget(parent) {}

void DotView::setCornerRadius(qreal radius) {
    cornerRadius_ = radius;
    update();
}

void DotView::setLayerColor(SystemColor color) {
    if (color_ == color)
        return; // the same colour every 2 seconds needs no repaint
    color_ = color;
    update();
}

QColor DotView::resolvedColor() const {
    return color_ ? systemColor(*color_, palette()) : QColor();
}

void DotView::paintEvent(QPaintEvent*) {
    if (!wantsLayer_ || !color_)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
    painter.fillPath(path, resolvedColor());
}

} // namespace quern
