#pragma once

#include "platform/SystemColors.h"

#include <QWidget>
#include <optional>

namespace quern {

// The state dot: a disc of a named system colour, re-resolved on every paint so that it follows
// the light or dark appearance. It paints nothing until given a colour.
class DotView : public QWidget {
    Q_OBJECT
public:
    explicit DotView(QWidget* parent = nullptr);

    void setColor(SystemColor color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::optional<SystemColor> color_;
};

} // namespace quern
