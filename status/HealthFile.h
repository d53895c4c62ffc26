#pragma once

#include "status/HealthRecord.h"

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quern {

// Larger files are not the agent's: reading them every 2 seconds would stall the window.
inline constexpr std::size_t kHealthFileLimit = 1024 * 1024;

// Reads a regular file of at most 1 MiB without ever blocking on open, and parses it as strict
// JSON. Any failure (missing, not a regular file, unreadable, too large, not JSON, not an
// object) gives the empty object.
[[nodiscard]] HealthRecord readHealthFile(const std::string& path);

} // namespace quern
