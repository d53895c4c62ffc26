#pragma once

// The life of a loaded job as launchd leads it: whether it runs, KeepAlive restarts under the
// throttle, and stopping it. Starting goes through a monitor process (standins/JobMonitor.h).
#include "standins/JobRecord.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace quern::standins {

[[nodiscard]] std::int64_t nowMillis(clockid_t clock);

struct ProcStat {
    char state = '?';
    std::uint64_t startTicks = 0;
};

// Fields 3 (state) and 22 (start time) of /proc/<pid>/stat.
[[nodiscard]] std::optional<ProcStat> procStat(std::int64_t pid);

// True while the recorded process exists, is not a zombie, and is the very process we started.
[[nodiscard]] bool isRunning(const JobRecord& record);

// Whether the job runs now, restarting a KeepAlive job first if its previous start lies at least
// the throttle interval back, as launchd does; a restart is written to the record.
[[nodiscard]] bool reconcile(const std::string& dir, JobRecord& record);

// SIGTERM, then SIGKILL after a grace period; returns once the job is gone or the grace is over.
void stopJob(const JobRecord& record);

} // namespace quern::standins
