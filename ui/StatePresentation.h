#pragma once

#include "platform/SystemColors.h"
#include "status/AgentState.h"

#include <string_view>

namespace quern {

// How a state looks: its named system colour, symbol names, and the start/stop button.
struct StatePresentation {
    SystemColor dotColor;
    std::string_view statusSymbol; // tray icon
    std::string_view toggleTitle;
    std::string_view toggleSymbol;
};

[[nodiscard]] StatePresentation presentationFor(AgentState state);

} // namespace quern
