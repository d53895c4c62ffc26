#pragma once

#include <string_view>

namespace quern {

enum class AgentState {
    online,  // loaded, and the agent confirmed its server less than 12 seconds ago
    running, // loaded, but no fresh confirmation
    stopped, // launchd does not have the service loaded
};

// The state's title as the user sees it.
[[nodiscard]] std::string_view title(AgentState state);

} // namespace quern
