// Repair latencies. The client's main thread logs its timer's ticks (seen before the refresh they
// start) and the state after each refresh; its process launcher, wrapped, logs the moment a
// bootstrap or a SIGHUP it runs has succeeded. The trial thread provokes and waits.
#include "bench/Repairs.h"

#include "app/AppDelegate.h"
#include "bench/BenchSupport.h"
#include "platform/BackgroundQueue.h"
#include "status/HealthFile.h"
#include "status/StatusDerivation.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;

enum class Kind { tick, state, loaded, woken };
struct Event {
    Kind kind;
    Clock::time_point at;
    double wall;
    AgentState state;
};
using Match = std::function<bool(const Event&)>;

class ClientLog : public QObject {
public:
    void add(Kind kind, AgentState state = AgentState::stopped) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back({kind, Clock::now(), wallSeconds(), state});
        }
        changed_.notify_all();
    }
    // The first event that matches, waiting up to the timeout for it.
    [[nodiscard]] std::optional<Event> waitFor(const Match& match, Clock::duration timeout) {
        std::unique_lock lock(mutex_);
        std::optional<Event> found;
        changed_.wait_for(lock, timeout, [&] {
            const auto it = std::ranges::find_if(events_, match);
            found = it != events_.end() ? std::optional(*it) : std::nullopt;
            return found.has_value();
        });
        return found;
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Timer)
            add(Kind::tick);
        return QObject::eventFilter(watched, event);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

Match after(Kind kind, Clock::time_point at) {
    return [=](const Event& e) { return e.kind == kind && e.at >= at; };
}
Match onlineAfter(Clock::time_point at) {
    return
        [=](const Event& e) { return e.kind == Kind::state && e.state == AgentState::online && e.at >= at; };
}

struct Latencies {
    std::vector<double> figure;
    std::vector<double> floor; // the wait for the client's next tick after the event
};

void printLatencyRows(const std::string& what, const Latencies& latencies, bool goal) {
    const Summary value = summarize(latencies.figure);
    const Summary floor = summarize(latencies.floor);
    std::vector<double> shares; // the client's own share, trial by trial
    for (std::size_t i = 0; i < latencies.figure.size(); ++i)
        shares.push_back(latencies.figure[i] - latencies.floor[i]);
    const Summary share = summarize(shares);
    const auto s = [](double v) { return fixed(v, 3) + " s"; };
    const auto ms = [](double v) { return (v >= 0 ? "+" : "") + fixed(v * 1000, 0) + " ms"; };
    printRow({"6", what + " (n=" + std::to_string(value.count) + "), median / max",
              s(value.median) + " / " + s(value.max), s(floor.median) + " / " + s(floor.max),
              "per trial " + ms(share.median) + " median, " + ms(share.max) + " max",
              goal ? "max ≤ 2.2 s" : "", !goal || (value.count > 0 && value.max <= 2.2)});
}

// Runs the client's event loop while `trials` runs on a thread of its own, once the agent is online.
bool withClient(const std::function<bool(ClientLog&)>& trials) {
    ClientLog log;
    AppDelegate::Hooks hooks = AppDelegate::Hooks::fromEnvironment();
    hooks.launcher = [&log](const SpawnRequest& request) {
        SpawnResult result = spawnAndWait(request);
        const std::string_view first = request.arguments.empty() ? "" : request.arguments.front();
        if (result.started && result.status == 0 && (first == "bootstrap" || first == "-HUP"))
            log.add(first == "bootstrap" ? Kind::loaded : Kind::woken);
        return result;
    };
    const std::shared_ptr<AppDelegate> delegate = AppDelegate::create(std::move(hooks));
    QMetaObject::invokeMethod(
        delegate.get(),
        [&] {
            delegate->applicationDidFinishLaunching();
            log.add(Kind::state, delegate->currentState());
            delegate->timer()->installEventFilter(&log);
            // Connected after the client's own slot, so it runs right after each refresh.
            QObject::connect(delegate->timer(), &QTimer::timeout, delegate.get(),
                             [&] { log.add(Kind::state, delegate->currentState()); });
        },
        Qt::QueuedConnection);
    bool succeeded = false;
    std::thread trialThread([&] {
        succeeded = log.waitFor(onlineAfter({}), 20s) && trials(log);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::exec();
    trialThread.join();
    shutDownBackgroundQueues();
    return succeeded;
}

// Sleeps until `spacing` seconds after `last`, then a random part of the client's 2 s period.
void waitTurn(Clock::time_point last, double spacing, std::mt19937& random) {
    const auto spaced =
        last + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(spacing));
    std::this_thread::sleep_until(
        std::max(Clock::now(), spaced) +
        std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1999)(random)));
}

bool failed(const char* what, int trial) {
    std::fprintf(stderr, "quern-bench: trial %d: %s\n", trial + 1, what);
    return false;
}

} // namespace

int runRepairUnloaded(int trials, double spacing) {
    const std::vector<std::string> bootout = {AppDelegate::Hooks::fromEnvironment().launchctlPath, "bootout",
                                              serviceTarget(::getuid(), kServiceLabel)};
    Latencies loaded;
    Latencies online;
    const bool ok = withClient([&](ClientLog& log) {
        std::mt19937 random(20240611);
        Clock::time_point last = Clock::now();
        for (int trial = 0; trial < trials; ++trial) {
            waitTurn(last, spacing, random); // the 5 s repair throttle is free again
            if (spawnAndReap(bootout) != 0)
                return failed("bootout failed", trial);
            const Clock::time_point gone = Clock::now();
            const auto back = log.waitFor(after(Kind::loaded, gone), 15s);
            const auto shown = back ? log.waitFor(onlineAfter(back->at), 15s) : std::nullopt;
            const auto tickAfterGone = log.waitFor(after(Kind::tick, gone), 5s);
            const auto tickAfterBack = back ? log.waitFor(after(Kind::tick, back->at), 5s) : std::nullopt;
            if (!shown || !tickAfterGone || !tickAfterBack)
                return failed("the agent did not come back online", trial);
            loaded.figure.push_back(secondsBetween(gone, back->at));
            loaded.floor.push_back(secondsBetween(gone, tickAfterGone->at));
            online.figure.push_back(secondsBetween(gone, shown->at));
            online.floor.push_back(secondsBetween(gone, tickAfterBack->at));
            last = back->at;
        }
        return true;
    });
    const std::string spaced = std::to_string(trials) + " trials ≥ " + fixed(spacing, 0) + " s apart";
    printLatencyRows("agent unloaded → loaded again (" + spaced + "; floor: wait for the next tick)", loaded,
                     true);
    printLatencyRows("agent unloaded → state online (floor: the first tick after it is loaded)", online,
                     false);
    return ok ? 0 : 1;
}

int runRepairSilent(int trials, double spacing, double backdate) {
    const std::string health = appendPathComponent(
        appendPathComponent(currentHomeDirectory(), kConfigDirectoryName), kHealthFileName);
    Latencies latencies;
    const bool ok = withClient([&](ClientLog& log) {
        std::mt19937 random(20240612);
        Clock::time_point last = Clock::now();
        // The wait for staleness keeps repairs apart already; only a backdated record needs more.
        const double throttleWait = std::max(0.0, spacing - (kFreshnessWindow - backdate) + 1.0);
        for (int trial = 0; trial < trials; ++trial) {
            waitTurn(last, throttleWait, random);
            const double pid = readHealthFile(health).value("pid", 0.0);
            const Clock::time_point silenced = Clock::now();
            if (pid <= 0 || ::kill(static_cast<pid_t>(pid), SIGUSR1) != 0)
                return failed("cannot silence the agent", trial);
            std::this_thread::sleep_for(300ms); // the agent handles the signal in its loop
            if (backdate > 0) {
                const nlohmann::json old = {
                    {"server_ok_at", wallSeconds() - backdate}, {"busy_command_id", ""}, {"pid", pid}};
                std::ofstream(health + ".bench.tmp", std::ios::trunc) << old.dump() << "\n";
                std::filesystem::rename(health + ".bench.tmp", health);
            }
            const double staleAt = serverOkTime(readHealthFile(health)) + kFreshnessWindow;
            const auto woken = log.waitFor(after(Kind::woken, silenced), 27s);
            const auto tick =
                log.waitFor([&](const Event& e) { return e.kind == Kind::tick && e.wall >= staleAt; }, 20s);
            if (staleAt <= kFreshnessWindow || !woken || !tick)
                return failed("no SIGHUP reached the agent", trial);
            latencies.figure.push_back(woken->wall - staleAt);
            latencies.floor.push_back(tick->wall - staleAt);
            last = woken->at;
            if (!log.waitFor(onlineAfter(woken->at), 15s))
                return failed("the agent did not come back online", trial);
        }
        return true;
    });
    printLatencyRows("agent silent → SIGHUP, from server_ok_at turning 12 s old (" + std::to_string(trials) +
                         " trials, repairs ≥ " + fixed(spacing, 0) + " s apart" +
                         (backdate > 0 ? ", health backdated by " + fixed(backdate, 0) + " s" : "") +
                         "; floor: wait for the next tick)",
                     latencies, true);
    return ok ? 0 : 1;
}

} // namespace quern::bench
