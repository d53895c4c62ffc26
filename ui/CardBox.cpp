#include "ui/CardBox.h"

#include "platform/SystemColors.h"

#include <QPainter>
#include <QPainterPath>

namespace quern {

CardBox::CardBox(QWidget* parent)
    : QWidget(parent) {}

QColor CardBox::borderColor() const {
    QColor color = systemColor(SystemColor::Separator, palette());
    color.setAlphaF(0.45);
    return color;
}

QColor CardBox::fillColor() const {
    QColor color = systemColor(SystemColor::ControlBackground, palette());
    color.setAlphaF(0.62);
    return color;
}

void CardBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = borderWidth() / 2;
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), cornerRadius(),
                        cornerRadius());
    painter.fillPath(path, fillColor());
    painter.setPen(QPen(borderColor(), borderWidth()));
    painter.drawPath(path);
}

} // namespace quern
