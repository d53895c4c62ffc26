#include "ui/Spinner.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quern {
namespace {

constexpr int kSide = 16;
constexpr int kSpokes = 12;
constexpr int kFrameMs = 1000 / kSpokes; // one turn a second
constexpr double kTailOpacity = 0.22;    // the faintest spoke, still visible against the window

} // namespace

Spinner::Spinner(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(kSide, kSide);
    timer_.setObjectName(QStringLiteral("spinnerFrames"));
    timer_.setInterval(kFrameMs);
    connect(&timer_, &QTimer::timeout, this, &Spinner::advance);
}

void Spinner::startAnimation() {
    if (animating_)
        return;
    animating_ = true;
    updateTimer();
    update();
}

void Spinner::stopAnimation() {
    if (!animating_)
        return;
    animating_ = false;
    updateTimer();
    update();
}

void Spinner::paintEvent(QPaintEvent*) {
    if (!animating_)
        return;
    const qreal side = std::min(width(), height());
    const qreal stroke = side * 0.09;
    const qreal outer = side / 2.0 - stroke / 2.0;
    const qreal inner = outer * 0.48;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    QColor color = palette().color(QPalette::WindowText);
    const qreal opacity = color.alphaF();
    for (int i = 0; i < kSpokes; ++i) {
        const int behind = (head_ - i + kSpokes) % kSpokes;
        color.setAlphaF(opacity * (1.0 - (1.0 - kTailOpacity) * behind / (kSpokes - 1)));
        painter.setPen(QPen(color, stroke, Qt::SolidLine, Qt::RoundCap));
        // Spoke 0 points up; the head moves clockwise.
        const double angle = 2.0 * std::numbers::pi * i / kSpokes;
        const QPointF direction(std::sin(angle), -std::cos(angle));
        painter.drawLine(direction * inner, direction * outer);
    }
}

void Spinner::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateTimer();
}

void Spinner::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateTimer();
}

void Spinner::advance() {
    head_ = (head_ + 1) % kSpokes;
    update();
}

void Spinner::updateTimer() {
    if (animating_ && isVisible())
        timer_.start();
    else
        timer_.stop();
}

} // namespace quern
