#pragma once

namespace quern {

enum class AgentState {
    online,  // loaded, and the agent confirmed its server less than 12 seconds ago
    running, // loaded, but no fresh confirmation
    stopped, // the service manager does not have the service loaded
};

// What the detail line under the state says; the words are the views'.
enum class Detail {
    checking,        // nothing known yet
    idle,            // online, no command running
    busy,            // online, running a command from the console
    reconnecting,    // loaded but silent: being woken
    starting,        // not loaded: being started
    retryHeld,       // not loaded, and its manager gave up on it: the next try waits for the backoff
    manualReconnect, // the user asked for a reconnect
};

} // namespace quern
