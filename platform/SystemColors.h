#pragma once

#include <QColor>
#include <QPalette>

namespace quern {

// The macOS named colours the views are written against, each with a light and a dark value.
enum class SystemColor { Green, Orange, Red, SecondaryLabel, TertiaryLabel, Separator, ControlBackground };

// The light or dark appearance of `color`, whichever `palette` is.
[[nodiscard]] QColor systemColor(SystemColor color, const QPalette& palette);

} // namespace quern
