#include "ui/CardBox.h"

#include "platform/SystemColors.h"

#include <QPainter>
#include <QPainterPath>

namespace quern {
namespace {

constexpr qreal kCornerRadius = 8.0;
constexpr qreal kBorderWidth = 1.0;

QColor withAlpha(QColor color, qreal alpha) {
    color.setAlphaF(alpha);
    return color;
}

} // namespace

CardBox::CardBox(QWidget* parent)
    : QWidget(parent) {}

void CardBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = kBorderWidth / 2;
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), kCornerRadius, kCornerRadius);
    painter.fillPath(path, withAlpha(systemColor(SystemColor::ControlBackground, palette()), 0.62));
    painter.setPen(QPen(withAlpha(systemColor(SystemColor::Separator, palette()), 0.45), kBorderWidth));
    painter.drawPath(path);
}

} // namespace quern
