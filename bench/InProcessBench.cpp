// quern-bench (usage at the end): figures taken inside one process that holds the real application
// object, on Qt's offscreen platform, against the private systemd and agent run.sh prepares. timing:
// one refresh beside a bare blocking Get of the unit's ActiveState, single-refresh repetitions on
// Google Benchmark (--benchmark_... flags follow); growth: descriptors and memory over N refreshes,
// beside N bare Gets; the repairs (Repairs.cpp) and the storm (Storm.cpp).
#include "app/Client.h"
#include "bench/BenchSupport.h"
#include "status/AgentIdentity.h"
#include "status/AgentLocations.h"

#include <QApplication>
#include <QEvent>

#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace quern::bench {
namespace {

// What the event loop does between two ticks: paint, run posted events, delete what was deleted later.
void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The client as it is at launch, window shown, warmed (caches, fonts, the first paint) and finding
// the agent online; only the benchmark refreshes.
std::unique_ptr<Client> builtClient() {
    const std::string home = currentHomeDirectory();
    Supervisor::Hooks hooks;
    hooks.refreshInterval = std::chrono::hours(24);
    auto client = std::make_unique<Client>(home, platformServiceManager(home, sessionBus()), hooks);
    client->launch();
    for (int i = 0; i < 300 && client->supervisor().state() != AgentState::online; ++i, settle())
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // a hang guard of 3 s
    for (int i = 0; i < 50; ++i, settle())
        client->supervisor().refreshStatus();
    if (client->supervisor().state() == AgentState::online)
        return client;
    std::fprintf(stderr, "quern-bench: the agent is not online; is it loaded and running?\n");
    return nullptr;
}

int runTiming(Supervisor& supervisor, int refreshes, int argc, char** argv) {
    int notOnline = 0;
    // Manual time: the refresh (or the Get) is timed, not the event loop's work after it.
    const auto timeOne = [&](benchmark::State& state, bool floor) {
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = floor ? getActiveState(kServiceUnit) : (supervisor.refreshStatus(), true);
            state.SetIterationTime(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            notOnline += ok && (floor || supervisor.state() == AgentState::online) ? 0 : 1;
            settle();
        }
    };
    for (const bool floor : {false, true})
        benchmark::RegisterBenchmark(floor ? "refresh-floor" : "refresh", timeOne, floor)
            ->Iterations(1)
            ->Repetitions(refreshes)
            ->UseManualTime();
    benchmark::Initialize(&argc, argv);
    const std::size_t ran = benchmark::RunSpecifiedBenchmarks(); // rows: run.sh, from the JSON
    if (notOnline > 0)
        std::fprintf(stderr, "quern-bench: %d refreshes did not find the agent online\n", notOnline);
    return notOnline == 0 && ran > 0 ? 0 : 1;
}

// Open descriptors, less the listing's own, and VmRSS in KiB. (The client starts no children on Linux.)
std::array<qint64, 2> footprint() {
    const auto descriptors = std::filesystem::directory_iterator("/proc/self/fd");
    return {std::distance(begin(descriptors), end(descriptors)) - 1, residentKib(::getpid())};
}

// Descriptors and VmRSS before and after `count` runs of `once`.
QJsonObject growth(int count, const std::function<void()>& once) {
    const auto before = footprint();
    for (int i = 0; i < count; ++i, settle())
        once();
    const auto after = footprint();
    return {{"fds", QJsonArray{before[0], after[0]}}, {"rss", QJsonArray{before[1], after[1]}}};
}

int runGrowth(Supervisor& supervisor, int count) {
    const auto floor = growth(count, [] { (void)getActiveState(kServiceUnit); });
    const auto measured = growth(count, [&] { supervisor.refreshStatus(); });
    printJson({{"count", count}, {"client", measured}, {"floor", floor}}); // bench/table.jq makes the rows
    return 0;
}

} // namespace
} // namespace quern::bench

int main(int argc, char** argv) {
    using namespace quern::bench;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0); // unless the caller chose one
    QApplication application(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string mode = args.size() >= 2 ? args[0] : "";
    if (mode == "timing" || mode == "growth") {
        const auto client = builtClient();
        if (!client)
            return 1;
        if (mode == "growth")
            return runGrowth(client->supervisor(), std::stoi(args[1]));
        argv[2] = argv[0]; // Google Benchmark reads its own flags after the program name
        return runTiming(client->supervisor(), std::stoi(args[1]), argc - 2, argv + 2);
    }
    if (mode == "repair-killed" && args.size() == 4)
        return runRepairs(true, std::stoi(args[1]), std::stod(args[2]), args[3]);
    if (mode == "repair-silent" && args.size() == 3)
        return runRepairs(false, std::stoi(args[1]), 0, args[2]);
    if (mode == "storm" && args.size() == 8)
        return runStorm(args[1], std::stod(args[2]), std::stod(args[3]), {std::stoi(args[4]), args[5]},
                        {std::stoi(args[6]), args[7]});
    std::fputs(
        "usage: quern-bench timing N | growth N | repair-killed N SPACING UNIT | repair-silent N UNIT\n"
        "       | storm UNIT SECONDS AFTER CLIENT_PID CLIENT_SOCKET FLOOR_PID FLOOR_SOCKET\n",
        stderr);
    return 64;
}
