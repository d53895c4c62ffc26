#pragma once

#include <QDBusConnection>
#include <QJsonArray>
#include <QJsonObject>

#include <string>
#include <sys/types.h>
#include <vector>

namespace quern::bench {

[[nodiscard]] double wallSeconds(); // since 1970

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0; // nearest rank
    double max = 0;
};
[[nodiscard]] Summary summarize(std::vector<double> samples);

// A floor: whether a bare blocking Get of the unit's ActiveState was answered.
[[nodiscard]] bool getActiveState(QDBusConnection bus, const std::string& unit);
[[nodiscard]] std::string healthPath();      // the agent's health record in $HOME
[[nodiscard]] qint64 residentKib(pid_t pid); // VmRSS, 0 when the process is gone

// A result for run.sh's table (bench/table.jq): one JSON object per line on standard output.
void printJson(const QJsonObject& result);
[[nodiscard]] QJsonArray toJson(const std::vector<double>& samples);
// A row made here rather than by the table: `comparison` is a ratio or a difference; an empty goal
// marks a figure for information.
void printRow(const std::string& figure, const std::string& what, const std::string& value,
              const std::string& floor, const std::string& comparison, const std::string& goal, bool met);
[[nodiscard]] std::string fixed(double value, int decimals);

// Repairs.cpp: TRIALS kills (SPACING s after the last repair at least) or silences of UNIT's agent
// beside the client; rows on standard output, 0 when every trial was repaired.
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
