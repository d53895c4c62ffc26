#pragma once

#include "status/AgentState.h"

#include <string_view>

namespace quern {

// How a state looks: named system colour and symbol names, and the start/stop button.
struct StatePresentation {
    std::string_view dotColor;     // "systemGreen", "systemOrange", "systemRed"
    std::string_view statusSymbol; // tray icon
    std::string_view toggleTitle;
    std::string_view toggleSymbol;
};

[[nodiscard]] StatePresentation presentationFor(AgentState state);

} // namespace quern
