// quern-bench: figures taken inside one process that holds the real application object, on Qt's
// offscreen platform, against the private systemd and agent run.sh prepares.
//   timing REFRESHES REPETITIONS [--benchmark_...]   Google Benchmark (run.sh makes rows of its JSON):
//       one refresh beside a bare blocking Get of the unit's ActiveState, single-refresh repetitions;
//       the health parser.
//   growth N   descriptors, children and memory over N refreshes, beside N bare Gets
//   repair-killed N SPACING UNIT | repair-silent N UNIT   (bench/Repairs.cpp)
#include "agent/SystemdUnit.h"
#include "app/AgentIdentity.h"
#include "app/AppDelegate.h"
#include "bench/BenchSupport.h"
#include "status/HealthFile.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QEvent>

#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quern::bench {
namespace {

// What the event loop does between two ticks: paint, run posted events, delete what was deleted later.
void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The floor of a refresh: the one question that tells whether the agent runs, asked bare and blocking
// on the client's own session connection. Whether it was answered.
bool getActiveState() {
    static const QDBusMessage get = [] {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.systemd1"), QString::fromStdString(systemdUnitPath(kServiceUnit)),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message << QStringLiteral("org.freedesktop.systemd1.Unit") << QStringLiteral("ActiveState");
        return message;
    }();
    return QDBusConnection::sessionBus().call(get, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage;
}

// The application object as the client builds it at launch, window shown, warmed (caches, fonts,
// the first paint) and finding the agent online.
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
    std::fprintf(stderr, "quern-bench: the agent is not online; is it loaded and running?\n");
    return nullptr;
}

int runTiming(int refreshes, int repetitions, int argc, char** argv) {
    const auto delegate = builtDelegate();
    if (!delegate)
        return 1;
    const std::string health = R"({"server_ok_at": 1765000000.125, "busy_command_id": "", "pid": 4242})";
    int notOnline = 0;
    // Manual time: the refresh (or the Get) is timed, not the event loop's work after it.
    const auto timeOne = [&](benchmark::State& state, bool floor) {
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = floor ? getActiveState() : (delegate->refreshStatus(), true);
            state.SetIterationTime(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            notOnline += ok && (floor || delegate->currentState() == AgentState::online) ? 0 : 1;
            settle();
        }
    };
    const auto p99 = [](const std::vector<double>& samples) { return summarize(samples).p99; };
    for (const bool floor : {false, true}) {
        benchmark::RegisterBenchmark(floor ? "refresh-floor" : "refresh", timeOne, floor)
            ->Iterations(1)
            ->Repetitions(refreshes)
            ->UseManualTime()
            ->ReportAggregatesOnly(true)
            ->ComputeStatistics("p99", p99);
    }
    const std::pair<const char*, std::function<void()>> parsers[] = {
        {"parse-health", [&] { benchmark::DoNotOptimize(parseHealth(health)); }},
        {"parse-health-floor", [&] { benchmark::DoNotOptimize(nlohmann::json::parse(health)); }},
    };
    for (const auto& [name, parse] : parsers) {
        const auto run = [&parse](benchmark::State& state) {
            for (auto _ : state)
                parse();
        };
        benchmark::RegisterBenchmark(name, run)
            ->Repetitions(repetitions)
            ->MinTime(0.05)
            ->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    const std::size_t ran = benchmark::RunSpecifiedBenchmarks(); // rows: run.sh, from the JSON
    if (notOnline > 0)
        std::fprintf(stderr, "quern-bench: %d refreshes did not find the agent online\n", notOnline);
    return notOnline == 0 && ran > 0 ? 0 : 1;
}

long childrenAlive() { // of every thread of this process
    long count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "children");
        count += std::distance(std::istream_iterator<long>(in), {});
    }
    return count;
}

// Open descriptors, children alive, VmRSS in KiB.
std::array<long, 3> footprint() {
    const auto descriptors = std::filesystem::directory_iterator("/proc/self/fd");
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmRSS:")) {
    }
    return {std::distance(begin(descriptors), end(descriptors)) - 1, // less the iterator's own
            childrenAlive(), line.starts_with("VmRSS:") ? std::stol(line.substr(6)) : 0};
}

struct Growth {
    std::array<long, 3> before, after;
    long mostChildren = 0; // sampled every 100 runs
};

Growth measureGrowth(int count, const std::function<void()>& once) {
    Growth growth{footprint(), {}, 0};
    for (int i = 0; i < count; ++i) {
        once();
        settle();
        if (i % 100 == 0)
            growth.mostChildren = std::max(growth.mostChildren, childrenAlive());
    }
    growth.after = footprint();
    growth.mostChildren = std::max(growth.mostChildren, growth.after[1]);
    return growth;
}

int runGrowth(int count) {
    const auto delegate = builtDelegate();
    if (!delegate)
        return 1;
    const Growth floor = measureGrowth(count, [] { (void)getActiveState(); });
    const Growth client = measureGrowth(count, [&] { delegate->refreshStatus(); });
    const std::string n = std::to_string(count);
    const std::array<std::string, 3> what = {
        "open descriptors over " + n + " refreshes (floor: " + n + " bare Gets)",
        "child processes alive, before → after (most seen)", "resident memory (VmRSS), before → after"};
    const auto text = [](const Growth& g, std::size_t i) {
        return std::to_string(g.before[i]) + " → " + std::to_string(g.after[i]) + (i == 2 ? " KiB" : "") +
               (i == 1 ? " (" + std::to_string(g.mostChildren) + ")" : "");
    };
    const auto grown = [](const Growth& g, std::size_t i) {
        return (g.after[i] >= g.before[i] ? "+" : "") + std::to_string(g.after[i] - g.before[i]);
    };
    for (std::size_t i = 0; i < 3; ++i) {
        const long delta = client.after[i] - client.before[i];
        printRow("7", what[i], text(client, i), text(floor, i),
                 grown(client, i) + " vs " + grown(floor, i) + (i == 2 ? " KiB" : ""),
                 i == 2 ? "≤ +1024 KiB" : "no growth",
                 i == 2 ? delta <= 1024 : delta <= 0 && (i == 0 || client.mostChildren == 0));
    }
    return 0;
}

} // namespace
} // namespace quern::bench

int main(int argc, char** argv) {
    using namespace quern::bench;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string mode = args.size() >= 2 ? args[0] : "";
    if (mode == "timing" && args.size() >= 3) {
        argv[3] = argv[0]; // Google Benchmark reads its own flags after the program name
        return runTiming(std::stoi(args[1]), std::stoi(args[2]), argc - 3, argv + 3);
    }
    if (mode == "growth")
        return runGrowth(std::stoi(args[1]));
    if (mode == "repair-killed" && args.size() == 4)
        return runRepairs(true, std::stoi(args[1]), std::stod(args[2]), args[3]);
    if (mode == "repair-silent" && args.size() == 3)
        return runRepairs(false, std::stoi(args[1]), 0, args[2]);
    std::fputs("usage: quern-bench timing REFRESHES REPETITIONS [--benchmark_...] | growth N |\n"
               "                   repair-killed N SPACING UNIT | repair-silent N UNIT\n",
               stderr);
    return 64;
}
