#pragma once

#include <nlohmann/json_fwd.hpp>

namespace quern {

// The agent's health record: the top-level object of health.json, or an empty object. Declared
// apart from the parser so that headers can name it without pulling the whole JSON library into
// every translation unit; status/HealthFile.h has the complete type.
using HealthRecord = nlohmann::json;

} // namespace quern
