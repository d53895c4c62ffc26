// quern-bench-process: figures of whole processes, taken from outside through /proc and pipes.
//   startup TRIALS HARNESS CLIENT FLOOR LAUNCHCTL HEALTH-DIR
//       spawn → first state shown (harness: the client's main() with a "ready" line), spawn → first
//       health read by the unmodified client (inotify), beside spawn → the floor's first loop pass.
//   idle SETTLE WINDOW CLIENT FLOOR LAUNCHCTL
//       client, floor and floor with the client's texts side by side: memory after SETTLE seconds,
//       CPU over the WINDOW after it.
#include "app/AgentLocations.h"
#include "bench/BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;

constexpr int kMarkerTimeoutMillis = 30'000;

// Spawn → the child's first line on standard output; nullopt when none came.
std::optional<double> timeToMarker(const std::vector<std::string>& argv) {
    int out = -1;
    const Clock::time_point start = Clock::now();
    const pid_t pid = spawnWithPipe(argv, out);
    if (pid < 0)
        return std::nullopt;
    std::optional<double> elapsed;
    pollfd ready{out, POLLIN, 0};
    if (::poll(&ready, 1, kMarkerTimeoutMillis) > 0) {
        char line[64];
        if (::read(out, line, sizeof line) > 0)
            elapsed = secondsBetween(start, Clock::now());
    }
    stopAndReap(pid);
    ::close(out);
    return elapsed;
}

// Spawn → the client closing health.json after reading it, which its first refresh does just before
// it applies the state.
std::optional<double> timeToHealthRead(const std::vector<std::string>& argv, const std::string& healthDir) {
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || ::inotify_add_watch(watch, healthDir.c_str(), IN_CLOSE_NOWRITE) < 0) {
        if (watch >= 0)
            ::close(watch);
        return std::nullopt;
    }
    int out = -1;
    const Clock::time_point start = Clock::now();
    const pid_t pid = spawnWithPipe(argv, out);
    std::optional<double> elapsed;
    const Clock::time_point deadline = start + std::chrono::milliseconds(kMarkerTimeoutMillis);
    while (pid > 0 && !elapsed && Clock::now() < deadline) {
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        alignas(inotify_event) char buffer[4096];
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
        for (ssize_t at = 0; n > 0 && at < n && !elapsed;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && std::string(event->name) == kHealthFileName)
                elapsed = secondsBetween(start, Clock::now());
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    stopAndReap(pid);
    if (out >= 0)
        ::close(out);
    ::close(watch);
    return elapsed;
}

int runStartup(int trials, const std::string& harness, const std::string& client, const std::string& floor,
               const std::string& launchctl, const std::string& healthDir) {
    const std::vector<std::string> harnessArgv = {harness};
    const std::vector<std::string> clientArgv = {client};
    const std::vector<std::string> floorArgv = {floor, launchctl, serviceTarget(::getuid(), kServiceLabel)};
    std::vector<double> harnessTimes;
    std::vector<double> clientTimes;
    std::vector<double> floorTimes;
    const auto pause = [] { std::this_thread::sleep_for(300ms); };
    // The first start of each warms the page cache and fontconfig's; it is not counted.
    (void)timeToMarker(harnessArgv);
    (void)timeToHealthRead(clientArgv, healthDir);
    (void)timeToMarker(floorArgv);
    for (int trial = 0; trial < trials; ++trial) {
        // Rotating order: none always follows the same one.
        for (int slot = 0; slot < 3; ++slot) {
            pause();
            switch ((trial + slot) % 3) {
            case 0:
                if (const auto t = timeToMarker(harnessArgv))
                    harnessTimes.push_back(*t);
                break;
            case 1:
                if (const auto t = timeToHealthRead(clientArgv, healthDir))
                    clientTimes.push_back(*t);
                break;
            default:
                if (const auto t = timeToMarker(floorArgv))
                    floorTimes.push_back(*t);
                break;
            }
        }
    }
    if (harnessTimes.empty() || clientTimes.empty() || floorTimes.empty()) {
        std::fprintf(stderr, "quern-bench-process: a program never reported its start (%zu, %zu, %zu)\n",
                     harnessTimes.size(), clientTimes.size(), floorTimes.size());
        return 1;
    }
    const Summary h = summarize(harnessTimes);
    const Summary c = summarize(clientTimes);
    const Summary f = summarize(floorTimes);
    printRow({"5",
              "start → first state shown, window up, loop running (client main() + marker; floor: its first "
              "loop pass), median (n=" +
                  std::to_string(h.count) + ")",
              milliseconds(h.median, 1), milliseconds(f.median, 1), ratio(h.median, f.median), "≤ ×3.00",
              h.median <= 3.0 * f.median});
    printRow({"5",
              "start → first health read by the unmodified quern-zova (inotify; a lower bound), median (n=" +
                  std::to_string(c.count) + ")",
              milliseconds(c.median, 1), milliseconds(f.median, 1), ratio(c.median, f.median), "≤ ×3.00",
              c.median <= 3.0 * f.median});
    return 0;
}

struct Sampled {
    pid_t pid = -1;
    int out = -1;
    std::optional<long> rss;
    std::optional<long> pss;
    std::optional<CpuTicks> start;
    std::optional<CpuTicks> end;
    [[nodiscard]] bool complete() const { return rss && pss && start && end; }
};

int runIdle(double settle, double window, const std::string& client, const std::string& floor,
            const std::string& launchctl) {
    const std::string target = serviceTarget(::getuid(), kServiceLabel);
    // The client, the floor, and the floor showing the client's texts, side by side.
    const std::vector<std::vector<std::string>> commands = {
        {client}, {floor, launchctl, target}, {floor, "--texts", launchctl, target}};
    std::vector<Sampled> programs(commands.size());
    bool started = true;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        programs[i].pid = spawnWithPipe(commands[i], programs[i].out);
        started = started && programs[i].pid > 0;
    }
    const auto stopAll = [&] {
        for (Sampled& program : programs) {
            stopAndReap(program.pid);
            if (program.out >= 0)
                ::close(program.out);
        }
    };
    if (!started) {
        std::fprintf(stderr, "quern-bench-process: cannot start the client or the floor\n");
        stopAll();
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(settle));
    for (Sampled& program : programs) {
        program.rss = residentKiB(program.pid);
        program.pss = proportionalKiB(program.pid);
        program.start = cpuTicks(program.pid);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    for (Sampled& program : programs)
        program.end = cpuTicks(program.pid);
    stopAll();
    if (!std::ranges::all_of(programs, &Sampled::complete)) {
        std::fprintf(stderr, "quern-bench-process: the client or the floor ended early\n");
        return 1;
    }
    const Sampled& c = programs[0];
    const Sampled& f = programs[1];
    const Sampled& t = programs[2];

    const auto mib = [](long kib) { return fixed(static_cast<double>(kib) / 1024.0, 1) + " MiB"; };
    const auto times = [](long value, long floor) {
        return ratio(static_cast<double>(value), static_cast<double>(floor));
    };
    const auto within = [](long value, long floor) {
        return static_cast<double>(value) <= 1.15 * static_cast<double>(floor);
    };
    const std::string after = "after " + fixed(settle, 0) + " s";
    printRow({"3", "idle resident memory (VmRSS) " + after + " (floor: minimal Qt window + tray + 2 s timer)",
              mib(*c.rss), mib(*f.rss), times(*c.rss, *f.rss), "≤ ×1.15", within(*c.rss, *f.rss)});
    printRow({"3", "idle proportional memory (Pss, smaps_rollup) " + after, mib(*c.pss), mib(*f.pss),
              times(*c.pss, *f.pss), "≤ ×1.15", within(*c.pss, *f.pss)});
    printRow({"3",
              "idle VmRSS beside a second floor: the same minimal program showing the client's texts in "
              "5 labels and 4 buttons",
              mib(*c.rss), mib(*t.rss), times(*c.rss, *t.rss), "", true});
    printRow({"3", "idle Pss beside the floor showing the client's texts", mib(*c.pss), mib(*t.pss),
              times(*c.pss, *t.pss), "", true});

    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const auto percent = [&](std::uint64_t ticks) {
        return 100.0 * static_cast<double>(ticks) / (hz * window);
    };
    const auto own = [&](const Sampled& p) { return p.end->own - p.start->own; };
    const auto all = [&](const Sampled& p) { return own(p) + p.end->children - p.start->children; };
    const auto ticksText = [&](std::uint64_t ticks) {
        return fixed(percent(ticks), 2) + " % (" + std::to_string(ticks) + " ticks)";
    };
    const auto points = [](double value, double floor) {
        return (value >= floor ? "+" : "") + fixed(value - floor, 2) + " points";
    };
    printRow({"4", "idle CPU over " + fixed(window, 0) + " s, utime+stime", ticksText(own(c)),
              ticksText(own(f)), points(percent(own(c)), percent(own(f))), "≤ floor + 1 point",
              percent(own(c)) <= percent(own(f)) + 1.0});
    printRow({"4", "idle CPU including the reaped launchctl children", ticksText(all(c)), ticksText(all(f)),
              points(percent(all(c)), percent(all(f))), "", true});
    return 0;
}

int usage() {
    std::fputs("usage: quern-bench-process startup TRIALS HARNESS CLIENT FLOOR LAUNCHCTL HEALTH-DIR\n"
               "       quern-bench-process idle SETTLE WINDOW CLIENT FLOOR LAUNCHCTL\n",
               stderr);
    return 64;
}

} // namespace
} // namespace quern::bench

int main(int argc, char** argv) {
    using namespace quern::bench;
    const std::vector<std::string> args(argv + 1, argv + argc);
    ::signal(SIGPIPE, SIG_IGN);
    if (args.size() == 7 && args[0] == "startup")
        return runStartup(std::stoi(args[1]), args[2], args[3], args[4], args[5], args[6]);
    if (args.size() == 6 && args[0] == "idle")
        return runIdle(std::stod(args[1]), std::stod(args[2]), args[3], args[4], args[5]);
    return usage();
}
