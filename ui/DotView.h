#pragma once

#include "platform/SystemColors.h"

#include <QWidget>
#include <optional>

namespace quern {

// The state dot: a round patch of a named system colour, re-resolved on every paint so that it
// follows the light or dark appearance. Like a view without a layer, it draws nothing until
// given one.
class DotView : public QWidget {
    Q_OBJECT
public:
    explicit DotView(QWidget* parent = nullptr);

    void setWantsLayer(bool wants) { wantsLayer_ = wants; }
    [[nodiscard]] bool wantsLayer() const { return wantsLayer_; }
    void setCornerRadius(qreal radius);
    void setLayerColor(SystemColor color);
    [[nodiscard]] std::optional<SystemColor> layerColor() const { return color_; }
    [[nodiscard]] QColor resolvedColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool wantsLayer_ = false;
    qreal cornerRadius_ = 0;
    std::optional<SystemColor> color_;
};

} // namespace quern
