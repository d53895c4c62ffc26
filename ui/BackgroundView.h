#pragma once

#include <QWidget>

namespace quern {

// The window's content view: paints the window background and lets the user drag the window
// by any part of it that is not a control.
class BackgroundView : public QWidget {
    Q_OBJECT
public:
    explicit BackgroundView(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

} // namespace quern
