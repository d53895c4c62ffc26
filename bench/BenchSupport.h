#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quern::bench {

using Clock = std::chrono::steady_clock;

[[nodiscard]] double secondsBetween(Clock::time_point from, Clock::time_point to);
[[nodiscard]] double wallSeconds(); // since 1970

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0; // nearest rank
    double max = 0;
};
[[nodiscard]] Summary summarize(std::vector<double> samples);

// The floors' way of running a child: a bare posix_spawn, output on /dev/null, waitpid. The wait status.
int spawnAndReap(const std::vector<std::string>& argv);
// This process's VmRSS in KiB, open descriptors, and children alive (of all its threads).
[[nodiscard]] long residentKiB();
[[nodiscard]] int openDescriptors();
[[nodiscard]] int childrenAlive();

// One line of the result table, tab-separated; run.sh sorts and formats them.
struct Row {
    std::string figure;
    std::string what;
    std::string value;
    std::string floor;
    std::string comparison; // ratio or difference
    std::string goal;       // empty: for information
    bool met = true;
};
void printRow(const Row& row);
// Rows for a median and a p99 beside the floor's, against a ratio goal.
void printTimingRows(const std::string& figure, const std::string& what, const Summary& value,
                     const Summary& floor, double goal);

[[nodiscard]] std::string fixed(double value, int decimals);
[[nodiscard]] std::string milliseconds(double seconds, int decimals);
[[nodiscard]] std::string ratio(double value, double floor);

} // namespace quern::bench
