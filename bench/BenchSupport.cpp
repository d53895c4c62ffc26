#include "bench/BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quern::bench {

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Summary summarize(std::vector<double> samples) {
    if (samples.empty())
        return {};
    std::ranges::sort(samples);
    const std::size_t n = samples.size();
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    return {n, median, samples[std::clamp<std::size_t>(rank, 1, n) - 1], samples.back()};
}

int spawnAndReap(const std::vector<std::string>& argv) {
    std::vector<char*> args; // posix_spawn's argv predates const
    for (const std::string& argument : argv)
        args.push_back(const_cast<char*>(argument.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, args.front(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    while (error == 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return error == 0 ? status : -1;
}

long residentKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        long value = 0;
        if (line.starts_with("VmRSS:") && std::istringstream(line.substr(6)) >> value)
            return value;
    }
    return 0;
}

int openDescriptors() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries))) - 1; // the iterator's own
}

int childrenAlive() {
    int count = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream in(task.path() / "children");
        for (int pid = 0; in >> pid;)
            ++count;
    }
    return count;
}

void printRow(const Row& row) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.figure.c_str(), row.what.c_str(), row.value.c_str(),
                row.floor.c_str(), row.comparison.c_str(),
                row.goal.empty() ? "(information)" : row.goal.c_str(),
                row.goal.empty() ? "—" : (row.met ? "yes" : "NO"));
    std::fflush(stdout);
}

void printTimingRows(const std::string& figure, const std::string& what, const Summary& value,
                     const Summary& floor, double goal) {
    const std::string goalText = "≤ ×" + fixed(goal, 2);
    printRow({figure, what + ", median (n=" + std::to_string(value.count) + ")",
              milliseconds(value.median, 3), milliseconds(floor.median, 3), ratio(value.median, floor.median),
              goalText, value.median <= goal * floor.median});
    printRow({figure, what + ", p99", milliseconds(value.p99, 3), milliseconds(floor.p99, 3),
              ratio(value.p99, floor.p99), goalText, value.p99 <= goal * floor.p99});
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string milliseconds(double seconds, int decimals) {
    return fixed(seconds * 1000.0, decimals) + " ms";
}

std::string ratio(double value, double floor) {
    return floor > 0 ? "×" + fixed(value / floor, 2) : "n/a";
}

} // namespace quern::bench
