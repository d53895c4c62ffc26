#pragma once

#include "status/ServiceStatus.h"

#include <string>
#include <string_view>

namespace quern {

// The unit's object path under /org/freedesktop/systemd1/unit/, escaped as systemd does: every byte
// outside [A-Za-z0-9], and a leading digit, becomes "_" and two lower-case hex digits.
[[nodiscard]] std::string systemdUnitPath(std::string_view unit);

// A unit counts as loaded, as a launchd job in "print" does, while its file is loaded and it is
// running or on its way in or out (a Restart= delay included). Inactive, failed, not found, masked
// or broken: not loaded.
[[nodiscard]] bool unitCountsAsLoaded(std::string_view loadState, std::string_view activeState);

// What the manager's answer means for the client: `restart` is the service's Restart= setting
// ("no", "always", "on-failure", …; empty when unknown).
[[nodiscard]] ServiceStatus serviceStatusOf(std::string_view loadState, std::string_view activeState,
                                            std::string_view restart);

} // namespace quern
