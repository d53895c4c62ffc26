#pragma once

#include "status/AgentState.h"
#include "status/HealthRecord.h"

namespace quern {

// A connection confirmed less than this many seconds ago counts as fresh.
inline constexpr double kFreshnessWindow = 12.0;

struct StatusDerivation {
    AgentState state;
    Detail detail;
    bool operator==(const StatusDerivation&) const = default;
};

// "server_ok_at" when it is a JSON number, else 0.
[[nodiscard]] double serverOkTime(const HealthRecord& health);

// The state and detail for one refresh; `now` is wall-clock seconds since 1970, as the agent writes.
[[nodiscard]] StatusDerivation deriveStatus(bool serviceRunning, double now, const HealthRecord& health);

} // namespace quern
