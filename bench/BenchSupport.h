#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace quern::bench {

using Clock = std::chrono::steady_clock;

// Seconds between two steady-clock points, and wall-clock seconds since 1970.
[[nodiscard]] double secondsBetween(Clock::time_point from, Clock::time_point to);
[[nodiscard]] double wallSeconds();

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};
[[nodiscard]] Summary summarize(std::vector<double> samples);

// The floor's way of running a child: posix_spawn, its output on /dev/null, waitpid. The wait status.
int spawnAndReap(const std::vector<std::string>& argv);

// Starts argv with standard output on a pipe (read end returned in readFd, close-on-exec) and
// standard error on /dev/null; the pid, or -1.
[[nodiscard]] pid_t spawnWithPipe(const std::vector<std::string>& argv, int& readFd);
// SIGTERM, a short grace, SIGKILL; always reaps.
void stopAndReap(pid_t pid);

// /proc figures. Sizes in KiB; nullopt when the process is gone.
[[nodiscard]] std::optional<long> residentKiB(pid_t pid);
[[nodiscard]] std::optional<long> proportionalKiB(pid_t pid);
struct CpuTicks {
    std::uint64_t own = 0;      // utime + stime
    std::uint64_t children = 0; // cutime + cstime: reaped children
};
[[nodiscard]] std::optional<CpuTicks> cpuTicks(pid_t pid);
[[nodiscard]] int openDescriptors();
[[nodiscard]] int childrenAlive();

// Reads a small text file whole; empty when unreadable.
[[nodiscard]] std::string readText(const std::string& path);
// A JSON number field of a flat one-line object, as the stand-in agent writes health.json.
[[nodiscard]] std::optional<double> numberField(std::string_view json, std::string_view key);

// One line of the result table, tab-separated, picked up and formatted by run.sh.
struct Row {
    std::string figure; // "1", "6b", ...
    std::string what;
    std::string value;
    std::string floor;
    std::string comparison; // ratio or difference
    std::string goal;       // empty: for information
    bool met = true;
};
void printRow(const Row& row);

[[nodiscard]] std::string milliseconds(double seconds, int decimals = 2);
[[nodiscard]] std::string fixed(double value, int decimals);
[[nodiscard]] std::string ratio(double value, double floor);

} // namespace quern::bench
