// quern-bench: figures taken inside one process that holds the real application object, on Qt's
// offscreen platform, against the stand-ins of the environment run.sh prepares ($HOME,
// $QUERN_LAUNCHD_DIR, $QUERN_ZOVA_LAUNCHCTL).
//   timing REFRESHES REPETITIONS [--benchmark_...]   Google Benchmark: one refresh beside a bare
//       spawn of the same print (REFRESHES single-refresh repetitions), the parsers beside their floors
//   growth N   descriptors, children and memory over N refreshes, beside N bare spawns
//   repair-unloaded N SPACING | repair-silent N SPACING BACKDATE   (bench/Repairs.cpp)
#include "agent/PidLine.h"
#include "app/AppDelegate.h"
#include "bench/BenchSupport.h"
#include "bench/Repairs.h"
#include "status/HealthFile.h"

#include <QApplication>
#include <QEvent>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <unistd.h>

namespace quern::bench {
namespace {

// What the event loop does between two ticks: paint, run posted events, delete what was deleted later.
void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::vector<std::string> printCommand() {
    return {AppDelegate::Hooks::fromEnvironment().launchctlPath, "print",
            serviceTarget(::getuid(), kServiceLabel)};
}

// The application object as the client builds it at launch, window shown, warmed (caches, fonts,
// the first paint) and found online.
std::shared_ptr<AppDelegate> builtDelegate() {
    auto delegate = AppDelegate::create(AppDelegate::Hooks::fromEnvironment());
    delegate->buildWindow();
    delegate->buildStatusItem();
    delegate->window()->show();
    for (int i = 0; i < 50; ++i) {
        delegate->refreshStatus();
        settle();
    }
    if (delegate->currentState() == AgentState::online)
        return delegate;
    std::fprintf(stderr, "quern-bench: the agent is not online (state %s); is it loaded and running?\n",
                 std::string(title(delegate->currentState())).c_str());
    return nullptr;
}

// Manual time: only `work` is timed, not what the event loop does between two ticks.
void timeEach(benchmark::State& state, const std::function<void()>& work) {
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        work();
        state.SetIterationTime(secondsBetween(start, Clock::now()));
        settle();
    }
}

// Keeps every benchmark's aggregates, in seconds; the console table goes to standard error.
class Aggregates : public benchmark::ConsoleReporter {
public:
    Aggregates()
        : ConsoleReporter(OO_None) {
        SetOutputStream(&std::cerr);
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate)
                values[run.run_name.function_name][run.aggregate_name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::map<std::string, double>> values;
};

double p99(const std::vector<double>& samples) {
    return summarize(samples).p99;
}

int runTiming(int refreshes, int repetitions, int argc, char** argv) {
    const auto delegate = builtDelegate();
    if (!delegate)
        return 1;
    const std::vector<std::string> print = printCommand();
    const std::string health = R"({"server_ok_at": 1765000000.125, "busy_command_id": "", "pid": 4242})";
    const std::string description =
        delegate->launchctlOutput(std::vector<std::string>{"print", delegate->serviceTarget()});
    int notOnline = 0;
    // One refresh per repetition, interleaved at random with the floor's (run.sh asks for that).
    const auto single = [&](benchmark::internal::Benchmark* b) {
        b->Iterations(1)
            ->Repetitions(refreshes)
            ->UseManualTime()
            ->ReportAggregatesOnly(true)
            ->ComputeStatistics("p99", p99)
            ->Unit(benchmark::kMillisecond);
    };
    single(benchmark::RegisterBenchmark("refresh", [&](benchmark::State& state) {
        timeEach(state, [&] { delegate->refreshStatus(); });
        notOnline += delegate->currentState() == AgentState::online ? 0 : 1;
    }));
    single(benchmark::RegisterBenchmark("refresh-floor", [&](benchmark::State& state) {
        timeEach(state, [&] { (void)spawnAndReap(print); });
    }));
    const auto parser = [&](const char* name, const std::function<void()>& parse) {
        benchmark::RegisterBenchmark(name,
                                     [parse](benchmark::State& state) {
                                         for (auto _ : state)
                                             parse();
                                     })
            ->Repetitions(repetitions)
            ->MinTime(0.05)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMicrosecond);
    };
    parser("parse-health", [&] { benchmark::DoNotOptimize(parseHealth(health)); });
    parser("parse-health-floor", [&] { benchmark::DoNotOptimize(nlohmann::json::parse(health)); });
    parser("pid-line", [&] { benchmark::DoNotOptimize(pidTextFromDescription(description)); });
    parser("pid-line-floor", [&] { benchmark::DoNotOptimize(description.find("pid = ")); });

    benchmark::Initialize(&argc, argv);
    Aggregates aggregates;
    benchmark::RunSpecifiedBenchmarks(&aggregates);
    auto& v = aggregates.values;
    const auto summary = [&](const std::string& name) {
        return Summary{static_cast<std::size_t>(refreshes), v[name]["median"], v[name]["p99"], 0};
    };
    printTimingRows("1", "main-thread time of one refresh (floor: bare spawn + waitpid of the same print)",
                    summary("refresh"), summary("refresh-floor"), 1.2);
    const auto parserRow = [&](const std::string& name, const std::string& what) {
        const auto us = [&](const std::string& n) {
            return fixed(v[n]["median"] * 1e6, 3) + " µs ± " + fixed(v[n]["stddev"] * 1e6, 3);
        };
        printRow({"8", what + ", median ± stddev of " + std::to_string(repetitions) + " repetitions",
                  us(name), us(name + "-floor"), ratio(v[name]["median"], v[name + "-floor"]["median"]), "",
                  true});
    };
    parserRow("parse-health",
              "parseHealth of a health record (floor: nlohmann::json::parse of the same bytes)");
    parserRow("pid-line", "pid line from a print's output (floor: one find of \"pid = \" in the same text)");
    if (notOnline > 0)
        std::fprintf(stderr, "quern-bench: %d refreshes did not find the agent online\n", notOnline);
    return notOnline == 0 && v.size() == 6 ? 0 : 1;
}

struct Footprint {
    int descriptors = 0;
    int children = 0;
    long residentKiB = 0;
    int mostChildren = 0; // sampled every 100 runs
};

Footprint footprint() {
    return {openDescriptors(), childrenAlive(), residentKiB(), 0};
}

std::pair<Footprint, Footprint> measureGrowth(int count, const std::function<void()>& once) {
    const Footprint before = footprint();
    int most = 0;
    for (int i = 0; i < count; ++i) {
        once();
        settle();
        if (i % 100 == 0)
            most = std::max(most, childrenAlive());
    }
    Footprint after = footprint();
    after.mostChildren = std::max(most, after.children);
    return {before, after};
}

std::string change(long before, long after, const std::string& unit = "") {
    const long delta = after - before;
    return std::to_string(before) + " → " + std::to_string(after) + unit + " (" + (delta >= 0 ? "+" : "") +
           std::to_string(delta) + ")";
}

int runGrowth(int count) {
    const auto delegate = builtDelegate();
    if (!delegate)
        return 1;
    const std::vector<std::string> print = printCommand();
    const auto [fb, fa] = measureGrowth(count, [&] { (void)spawnAndReap(print); });
    const auto [cb, ca] = measureGrowth(count, [&] { delegate->refreshStatus(); });
    const std::string n = std::to_string(count);
    const auto versus = [](long client, long floor) {
        return std::to_string(client) + " vs " + std::to_string(floor);
    };
    printRow({"7", "open descriptors over " + n + " refreshes (floor: " + n + " bare spawns)",
              change(cb.descriptors, ca.descriptors), change(fb.descriptors, fa.descriptors),
              versus(ca.descriptors - cb.descriptors, fa.descriptors - fb.descriptors), "no growth",
              ca.descriptors <= cb.descriptors});
    printRow({"7", "child processes alive, before → after (most seen)",
              change(cb.children, ca.children) + " (" + std::to_string(ca.mostChildren) + ")",
              change(fb.children, fa.children) + " (" + std::to_string(fa.mostChildren) + ")",
              versus(ca.children - cb.children, fa.children - fb.children), "no growth",
              ca.children <= cb.children && ca.mostChildren == 0});
    printRow({"7", "resident memory (VmRSS), before → after", change(cb.residentKiB, ca.residentKiB, " KiB"),
              change(fb.residentKiB, fa.residentKiB, " KiB"),
              versus(ca.residentKiB - cb.residentKiB, fa.residentKiB - fb.residentKiB) + " KiB",
              "≤ +1024 KiB", ca.residentKiB - cb.residentKiB <= 1024});
    return 0;
}

int usage() {
    std::fputs("usage: quern-bench timing REFRESHES REPETITIONS [--benchmark_...] | growth N |\n"
               "                   repair-unloaded N SPACING | repair-silent N SPACING BACKDATE\n",
               stderr);
    return 64;
}

} // namespace
} // namespace quern::bench

int main(int argc, char** argv) {
    using namespace quern::bench;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2)
        return usage();
    const std::string& mode = args[0];
    const int count = std::stoi(args[1]);
    if (mode == "timing" && args.size() >= 3) {
        argv[3] = argv[0]; // Google Benchmark reads its own flags after the program name
        return runTiming(count, std::stoi(args[2]), argc - 3, argv + 3);
    }
    if (mode == "growth")
        return runGrowth(count);
    if (mode == "repair-unloaded" && args.size() == 3)
        return runRepairUnloaded(count, std::stod(args[2]));
    if (mode == "repair-silent" && args.size() == 4)
        return runRepairSilent(count, std::stod(args[2]), std::stod(args[3]));
    return usage();
}
