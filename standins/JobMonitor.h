#pragma once

#include "standins/JobRecord.h"

#include <string>

namespace quern::standins {

// Starts the job through a new monitor process, which outlives this invocation, waits for the job
// and records how it ended. On success fills in pid, start time, runs and last start.
// Returns 0 or an errno value.
[[nodiscard]] int startJob(const std::string& dir, JobRecord& record);

} // namespace quern::standins
