#pragma once

#include <QTimer>
#include <QWidget>

namespace quern {

// An indeterminate busy indicator: twelve spokes, the darkest going round once a second. Stopped,
// it paints nothing yet keeps its place in the layout.
class Spinner : public QWidget {
    Q_OBJECT

public:
    explicit Spinner(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    [[nodiscard]] bool isAnimating() const { return animating_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void advance();
    void updateTimer();

    QTimer timer_{this}; // runs only while animating and on screen
    int head_ = 0;       // spoke drawn darkest
    bool animating_ = false;
};

} // namespace quern
