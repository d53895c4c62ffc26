#include "ui/IconView.h"

#include <QPainter>
#include <QPainterPath>

namespace quern {

IconView::IconView(QIcon icon, QWidget* parent)
    : QWidget(parent)
    , icon_(std::move(icon)) {}

void IconView::setCornerRadius(qreal radius) {
    cornerRadius_ = radius;
    update();
}

void IconView::paintEvent(QPaintEvent*) {
    if (icon_.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
    painter.setClipPath(clip);
    // Rendered for this screen's pixel ratio, so it stays sharp on HiDPI.
    icon_.paint(&painter, rect(), Qt::AlignCenter);
}

} // namespace quern
