#pragma once

#include <QTimer>
#include <QWidget>

namespace quern {

// An indeterminate busy indicator in the manner of AppKit's spinning progress indicator.
class Spinner : public QWidget {
    Q_OBJECT

public:
    enum ControlSize { Small, Regular }; // 16 and 32 points
    Q_ENUM(ControlSize)

    explicit Spinner(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    [[nodiscard]] bool isAnimating() const { return animating_; }

    // When false a stopped spinner paints nothing yet keeps its place in the layout.
    void setDisplayedWhenStopped(bool displayed);
    [[nodiscard]] bool isDisplayedWhenStopped() const { return displayedWhenStopped_; }

    void setControlSize(ControlSize size);
    [[nodiscard]] ControlSize controlSize() const { return controlSize_; }

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

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
    bool displayedWhenStopped_ = true;
    ControlSize controlSize_ = Small;
};

} // namespace quern
