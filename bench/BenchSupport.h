#pragma once

#include <chrono>
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

// One line of the result table, tab-separated, for run.sh to sort and format. `comparison` is a ratio
// or a difference; an empty goal marks a figure for information.
void printRow(const std::string& figure, const std::string& what, const std::string& value,
              const std::string& floor, const std::string& comparison, const std::string& goal, bool met);
[[nodiscard]] std::string fixed(double value, int decimals);

} // namespace quern::bench
