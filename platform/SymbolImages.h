#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>

#include <string_view>

namespace quern {

// Symbols are drawn from SVG at the size and device pixel ratio they are painted at, so they stay
// sharp on any screen. Create and paint them on the GUI thread.

// The named symbol ("link.circle", "play.fill", ...) in `color`; a null icon for an unknown name,
// so a button given one shows its title alone.
[[nodiscard]] QIcon symbolImage(std::string_view name, const QColor& color);

// The multicoloured application image; null if it is missing from the resources.
[[nodiscard]] QIcon applicationImage();

// The symbol for the status area. On macOS a template image the menu bar tints itself; elsewhere
// the palette's text colour ringed by its window colour, legible on light and dark panels alike.
[[nodiscard]] QIcon trayImage(std::string_view name, const QPalette& palette);

} // namespace quern
