#pragma once

#include <optional>

namespace quern {

// Automatic repairs are at least this many seconds apart.
inline constexpr double kAutomaticReconnectInterval = 5.0;

// Whether an automatic repair may run now, given the time of the last one. A clock set back
// (negative difference) counts as elapsed, so repairs are never suspended for the size of the jump.
[[nodiscard]] bool automaticReconnectDue(std::optional<double> lastAutomaticReconnect, double now);

} // namespace quern
