// quern-bench (usage at the end of main), against the private systemd and agent run.sh prepares, on
// Qt's offscreen platform. timing: one refresh of the real client beside a bare blocking Get of the
// unit's ActiveState, single-refresh repetitions on Google Benchmark (--benchmark_... flags follow);
// growth: descriptors and memory over N refreshes, beside N bare Gets; the repairs (Repairs.cpp); the
// storm, probing the unmodified client and the floor program that run.sh starts.
#include "app/Client.h"
#include "bench/BenchSupport.h"
#include "status/AgentIdentity.h"
#include "status/AgentLocations.h"

#include <QApplication>
#include <QDBusInterface>
#include <QElapsedTimer>
#include <QEvent>
#include <QLocalSocket>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

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
    hooks.refreshInterval = 24h;
    auto client = std::make_unique<Client>(home, platformServiceManager(home, sessionBus()), hooks);
    client->launch();
    for (int i = 0; i < 300 && client->supervisor().state() != AgentState::online; ++i, settle())
        std::this_thread::sleep_for(10ms); // a hang guard of 3 s
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

// Probes the socket at PATH every 20 ms on a thread of its own until stopped: seconds from connect (the
// kernel completes it) to the server's close, a hang counting as 10 s so that it still gives a figure.
struct Prober {
    explicit Prober(const std::string& path)
        : thread([this, path = QString::fromStdString(path)](const std::stop_token& stop) {
            for (; !stop.stop_requested(); std::this_thread::sleep_for(20ms)) {
                QLocalSocket socket;
                QElapsedTimer clock;
                clock.start();
                socket.connectToServer(path);
                if (!socket.waitForConnected(10000)) {
                    ++unreached;
                    continue;
                }
                socket.waitForDisconnected(10000);
                samples.append(static_cast<double>(clock.nsecsElapsed()) / 1e9);
            }
        }) {}
    QJsonArray samples;
    int unreached = 0;
    std::jthread thread; // last: it runs once the others are made
};

// The storm: the unit stopped and started back to back on a connection of its own, as fast as the
// manager answers, while the client and then its floor (PIDS, SOCKETS) each have their main thread answer
// connections to a local socket (the client's is its single-instance socket: it accepts and closes on
// the main thread). Their VmRSS before it and AFTER s after.
int runStorm(const std::string& unit, double seconds, double after, const std::array<pid_t, 2>& pids,
             const std::array<std::string, 2>& sockets) {
    const std::array before{residentKib(pids[0]), residentKib(pids[1])};
    QDBusInterface manager(u"org.freedesktop.systemd1"_s, u"/org/freedesktop/systemd1"_s,
                           u"org.freedesktop.systemd1.Manager"_s,
                           QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"storm"_s));
    manager.setTimeout(5000);
    const QString name = QString::fromStdString(unit);
    Prober clientProbe(sockets[0]);
    Prober floorProbe(sockets[1]);
    int answered = 0;
    int calls = 0;
    const double end = wallSeconds() + seconds;
    while (wallSeconds() < end || calls % 2 == 1) // ends on a start
        answered +=
            manager.call(QDBus::Block, calls++ % 2 == 0 ? "StopUnit" : "StartUnit", name, u"replace"_s)
                .type() == QDBusMessage::ReplyMessage;
    for (Prober* probe : {&clientProbe, &floorProbe}) {
        probe->thread.request_stop();
        probe->thread.join();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(after));

    const std::array later{residentKib(pids[0]), residentKib(pids[1])};
    if (answered == 0 || clientProbe.samples.isEmpty() || floorProbe.samples.isEmpty() ||
        std::ranges::min({before[0], before[1], later[0], later[1]}) == 0) {
        std::fprintf(stderr,
                     "quern-bench: no storm figures (%d probes of the client, %d of the floor unreached)\n",
                     clientProbe.unreached, floorProbe.unreached);
        return 1;
    }
    printJson(
        {{"seconds", seconds},
         {"after", after},
         {"calls", calls},
         {"answered", answered},
         {"client", QJsonObject{{"probes", clientProbe.samples}, {"rss", QJsonArray{before[0], later[0]}}}},
         {"floor", QJsonObject{{"probes", floorProbe.samples}, {"rss", QJsonArray{before[1], later[1]}}}}});
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
        return runStorm(args[1], std::stod(args[2]), std::stod(args[3]),
                        {std::stoi(args[4]), std::stoi(args[6])}, {args[5], args[7]});
    std::fputs(
        "usage: quern-bench timing N | growth N | repair-killed N SPACING UNIT | repair-silent N UNIT\n"
        "       | storm UNIT SECONDS AFTER CLIENT_PID CLIENT_SOCKET FLOOR_PID FLOOR_SOCKET\n",
        stderr);
    return 64;
}
