#pragma once

#include <QWidget>

namespace quern {

// The status card: a rounded box with a hairline border, in system colours that follow the
// appearance.
class CardBox : public QWidget {
    Q_OBJECT
public:
    explicit CardBox(QWidget* parent = nullptr);

    [[nodiscard]] QColor borderColor() const;
    [[nodiscard]] QColor fillColor() const;
    [[nodiscard]] qreal cornerRadius() const { return 8.0; }
    [[nodiscard]] qreal borderWidth() const { return 1.0; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace quern
