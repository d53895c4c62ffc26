#pragma once

#include <QLabel>

namespace quern {

// A one-line label that shortens its text with an ellipsis instead of growing past its width.
class ElidingLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidingLabel(const QString& text, QWidget* parent = nullptr);

    void setElideMode(Qt::TextElideMode mode);
    // The text as painted at the current width.
    [[nodiscard]] QString displayedText() const;
    [[nodiscard]] QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode mode_ = Qt::ElideNone;
};

} // namespace quern
