#include "ui/BackgroundView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace quern {

BackgroundView::BackgroundView(QWidget* parent)
    : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void BackgroundView::mousePressEvent(QMouseEvent* event) {
    // Labels and stacks pass their clicks up to here; buttons keep theirs.
    if (event->button() == Qt::LeftButton) {
        if (QWindow* handle = window()->windowHandle(); handle != nullptr && handle->startSystemMove()) {
            event->accept();
            return;
        }
    }
    QWidget::mousePressEvent(event);
}

void BackgroundView::paintEvent(QPaintEvent*) {
    // A sidebar-like tone: the window colour, a touch toward the text colour.
    QPainter painter(this);
    const QColor base = palette().color(QPalette::Window);
    const QColor ink = palette().color(QPalette::WindowText);
    QColor tone = base;
    tone.setRedF(base.redF() * 0.97 + ink.redF() * 0.03);
    tone.setGreenF(base.greenF() * 0.97 + ink.greenF() * 0.03);
    tone.setBlueF(base.blueF() * 0.97 + ink.blueF() * 0.03);
    painter.fillRect(rect(), tone);
}

} // namespace quern
