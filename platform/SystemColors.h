#pragma once

#include "platform/SystemColor.h"

#include <QColor>
#include <QPalette>

namespace quern {

// The light or dark appearance of `color`, whichever `palette` is.
[[nodiscard]] QColor systemColor(SystemColor color, const QPalette& palette);

// Qt 6.4 has no colour scheme hint: a palette whose text is lighter than its window is dark.
[[nodiscard]] bool isDarkPalette(const QPalette& palette);

} // namespace quern
