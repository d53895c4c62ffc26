#pragma once

#include <chrono>
#include <optional>

namespace quern {

// The client's own clock for spacing repairs: monotonic, so that setting the wall clock neither
// holds repairs back nor lets them through.
using SteadyTime = std::chrono::steady_clock::time_point;

// Automatic repairs are at least this far apart.
inline constexpr std::chrono::milliseconds kAutomaticReconnectInterval{5000};

// Whether an automatic repair may run now, given the time of the last one.
[[nodiscard]] bool automaticReconnectDue(std::optional<SteadyTime> lastAutomaticReconnect, SteadyTime now);

} // namespace quern
