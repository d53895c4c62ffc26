#include "ui/ElidingLabel.h"

#include <QPainter>

namespace quern {

ElidingLabel::ElidingLabel(const QString& text, QWidget* parent)
    : QLabel(text, parent) {}

void ElidingLabel::setElideMode(Qt::TextElideMode mode) {
    mode_ = mode;
    // Shortened text must not ask the layout for its full width.
    setSizePolicy(mode == Qt::ElideNone ? QSizePolicy::Preferred : QSizePolicy::Ignored, QSizePolicy::Fixed);
    updateGeometry();
    update();
}

QString ElidingLabel::displayedText() const {
    if (mode_ == Qt::ElideNone)
        return text();
    return fontMetrics().elidedText(text(), mode_, contentsRect().width());
}

QSize ElidingLabel::minimumSizeHint() const {
    if (mode_ == Qt::ElideNone)
        return QLabel::minimumSizeHint();
    return {fontMetrics().horizontalAdvance(QStringLiteral("…")) * 3, QLabel::minimumSizeHint().height()};
}

void ElidingLabel::paintEvent(QPaintEvent* event) {
    if (mode_ == Qt::ElideNone) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(contentsRect(), static_cast<int>(alignment() | Qt::TextSingleLine), displayedText());
}

} // namespace quern
