#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quern {

// Finds the agent's process id in launchctl's service description: the first line containing
// "pid =", its last "="-separated piece, trimmed of tabs and Unicode space separators. Returns
// that text unchanged (a "+" or leading zeros stay) when it reads as a signed 64-bit decimal
// whose value is positive; 0 and negative values would make kill signal process groups.
[[nodiscard]] std::optional<std::string> pidTextFromDescription(std::string_view description);

} // namespace quern
