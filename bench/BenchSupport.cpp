#include "bench/BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace quern::bench {
namespace {

// posix_spawn's argv predates const.
std::vector<char*> argumentVector(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    out.reserve(argv.size() + 1);
    for (const std::string& argument : argv)
        out.push_back(const_cast<char*>(argument.c_str()));
    out.push_back(nullptr);
    return out;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// "Key:   123 kB" lines of /proc files.
std::optional<long> kibField(const std::string& path, std::string_view key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(key))
            continue;
        std::istringstream fields(line.substr(key.size()));
        long value = 0;
        if (fields >> value)
            return value;
    }
    return std::nullopt;
}

} // namespace

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Summary summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty())
        return summary;
    std::ranges::sort(samples);
    const auto at = [&](double quantile) {
        // Nearest rank: the smallest sample with at least this share of samples at or below it.
        const auto rank = static_cast<std::size_t>(std::ceil(quantile * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
    };
    const std::size_t middle = samples.size() / 2;
    summary.median =
        samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2.0;
    summary.p99 = at(0.99);
    summary.max = samples.back();
    return summary;
}

int spawnAndReap(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args = argumentVector(argv);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, args.front(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? reap(pid) : -1;
}

pid_t spawnWithPipe(const std::vector<std::string>& argv, int& readFd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args = argumentVector(argv);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, args.front(), &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (error != 0) {
        ::close(ends[0]);
        return -1;
    }
    readFd = ends[0];
    return pid;
}

void stopAndReap(pid_t pid) {
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    (void)reap(pid);
}

std::optional<long> residentKiB(pid_t pid) {
    return kibField("/proc/" + std::to_string(pid) + "/status", "VmRSS:");
}

std::optional<long> proportionalKiB(pid_t pid) {
    return kibField("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:");
}

std::optional<CpuTicks> cpuTicks(pid_t pid) {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces; fields are counted from after its closing parenthesis.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::vector<std::string> tokens{std::istream_iterator<std::string>(fields), {}};
    // tokens[0] is field 3 (state); utime..cstime are fields 14..17.
    if (tokens.size() < 15)
        return std::nullopt;
    const auto field = [&](int number) { return std::stoull(tokens[static_cast<std::size_t>(number - 3)]); };
    return CpuTicks{.own = field(14) + field(15), .children = field(16) + field(17)};
}

int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1; // the iterator's own
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

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::optional<double> numberField(std::string_view json, std::string_view key) {
    const std::string quoted = "\"" + std::string(key) + "\"";
    std::size_t at = json.find(quoted);
    if (at == std::string_view::npos)
        return std::nullopt;
    at = json.find(':', at + quoted.size());
    if (at == std::string_view::npos)
        return std::nullopt;
    at = json.find_first_not_of(' ', at + 1);
    if (at == std::string_view::npos)
        return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(json.data() + at, json.data() + json.size(), value);
    if (error != std::errc())
        return std::nullopt;
    return value;
}

void printRow(const Row& row) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.figure.c_str(), row.what.c_str(), row.value.c_str(),
                row.floor.c_str(), row.comparison.c_str(),
                row.goal.empty() ? "(information)" : row.goal.c_str(),
                row.goal.empty() ? "—" : (row.met ? "yes" : "NO"));
    std::fflush(stdout);
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
    if (floor <= 0)
        return "n/a";
    return "×" + fixed(value / floor, 2);
}

} // namespace quern::bench
