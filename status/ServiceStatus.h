#pragma once

namespace quern {

// What the service manager says of the agent's service.
struct ServiceStatus {
    bool running = false;  // loaded: active, or on its way in or out
    bool starting = false; // on its way in (a process starting, or waiting between restarts)
    bool failed = false;   // it ended with an error, and its manager is not starting it again
    // Its manager restarts it on its own when it ends (systemd's Restart= other than "no"): a
    // failed one has spent its manager's burst of restarts.
    bool restartsOnItsOwn = false;
    bool operator==(const ServiceStatus&) const = default;
};

// What the automatic repair does about a service that is not online.
enum class Repair {
    none,          // nothing now: repaired a moment ago, or a start is in progress
    wake,          // loaded but silent: SIGHUP to its process
    start,         // not loaded: start it as it is
    resetAndStart, // given up on by a manager that restarts it: clear the failure, then start
    holdBack,      // given up on, and the backoff says not yet
};

// `due`: the 5-second spacing of repairs allows one now; `resetAllowed`: the crash-loop backoff
// allows a reset now.
[[nodiscard]] Repair chooseRepair(const ServiceStatus& status, bool due, bool resetAllowed);

} // namespace quern
