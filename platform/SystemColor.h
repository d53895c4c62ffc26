#pragma once

namespace quern {

// The macOS named colours the views are written against. Free of Qt so that the presentation
// table in quern_core can name them; platform/SystemColors.h gives their values.
enum class SystemColor {
    Green,
    Orange,
    Red,
    Label,
    SecondaryLabel,
    TertiaryLabel,
    Separator,
    ControlBackground
};

} // namespace quern
