#pragma once

#include <QDBusConnection>
#include <QJsonArray>
#include <QJsonObject>

#include <string>
#include <sys/types.h>
#include <vector>

namespace quern::bench {

[[nodiscard]] double wallSeconds(); // since 1970

// A floor: whether a bare blocking Get of the unit's ActiveState was answered.
[[nodiscard]] bool getActiveState(QDBusConnection bus, const std::string& unit);
[[nodiscard]] std::string healthPath();      // the agent's health record in $HOME
[[nodiscard]] qint64 residentKib(pid_t pid); // VmRSS, 0 when the process is gone

// A result for run.sh's table (bench/table.jq): one JSON object per line on standard output.
void printJson(const QJsonObject& result);
[[nodiscard]] QJsonArray toJson(const std::vector<double>& samples);

// Repairs.cpp: TRIALS kills (SPACING s after the last repair at least) or silences of UNIT's agent
// beside the client; their JSON on standard output, 0 when every trial was repaired.
[[nodiscard]] int runRepairs(bool killed, int trials, double spacing, const std::string& unit);

// Storm.cpp: UNIT stopped and started back to back for SECONDS while both programs' sockets are
// probed; their VmRSS before and AFTER s after. Its JSON on standard output, 0 when it was taken.
struct Target {
    pid_t pid = 0;
    std::string socket;
};
[[nodiscard]] int runStorm(const std::string& unit, double seconds, double after, const Target& client,
                           const Target& floor);

} // namespace quern::bench
