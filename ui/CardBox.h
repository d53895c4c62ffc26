#pragma once

#include <QWidget>

namespace quern {

// The status card: a rounded box with a hairline border, in system colours that follow the
// appearance.
class CardBox : public QWidget {
    Q_OBJECT
public:
    explicit CardBox(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace quern
