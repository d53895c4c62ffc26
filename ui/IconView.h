#pragma once

#include <QIcon>
#include <QWidget>

namespace quern {

// The application image, scaled to fit and clipped to rounded corners; empty when missing.
class IconView : public QWidget {
    Q_OBJECT
public:
    explicit IconView(QIcon icon, QWidget* parent = nullptr);
    void setCornerRadius(qreal radius);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QIcon icon_;
    qreal cornerRadius_ = 0;
};

} // namespace quern
