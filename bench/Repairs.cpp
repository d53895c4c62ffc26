// Repair latencies. The client's main thread logs its timer's ticks (seen before the refresh they
// start) and its state after each refresh; its process launcher, wrapped, logs the moment a
// bootstrap or SIGHUP it ran succeeded. Times are wall-clock seconds, as the health record's are.
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
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;

enum class Kind { tick, online, loaded, woken };

class ClientLog : public QObject {
public:
    void add(Kind kind) {
        std::lock_guard lock(mutex_);
        events_.emplace_back(kind, wallSeconds());
        changed_.notify_all();
    }
    // The time of the first `kind` at or after `from`; nullopt when none came within 30 s.
    [[nodiscard]] std::optional<double> first(Kind kind, double from) {
        const auto match = [&](const auto& event) { return event.first == kind && event.second >= from; };
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 30s, [&] { return std::ranges::any_of(events_, match); }))
            return std::nullopt;
        return std::ranges::find_if(events_, match)->second;
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Timer)
            add(Kind::tick);
        return QObject::eventFilter(watched, event);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<Kind, double>> events_;
};

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
    const auto logState = [&] {
        if (delegate->currentState() == AgentState::online)
            log.add(Kind::online);
    };
    QMetaObject::invokeMethod(
        delegate.get(),
        [&] {
            delegate->applicationDidFinishLaunching();
            logState();
            delegate->timer()->installEventFilter(&log);
            // Connected after the client's own slot, so it runs right after each refresh.
            QObject::connect(delegate->timer(), &QTimer::timeout, delegate.get(), logState);
        },
        Qt::QueuedConnection);
    bool succeeded = false;
    std::thread trialThread([&] {
        succeeded = log.first(Kind::online, 0) && trials(log);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::exec();
    trialThread.join();
    shutDownBackgroundQueues();
    return succeeded;
}

// Boots the agent out; when it is gone.
std::optional<double> bootOut() {
    const auto target = serviceTarget(::getuid(), kServiceLabel);
    const bool done =
        spawnAndReap({AppDelegate::Hooks::fromEnvironment().launchctlPath, "bootout", target}) == 0;
    return done ? std::optional(wallSeconds()) : std::nullopt;
}

// Silences the agent (SIGUSR1: it stops confirming its server); when its health turns stale.
std::optional<double> silence() {
    const std::string health = appendPathComponent(
        appendPathComponent(currentHomeDirectory(), kConfigDirectoryName), kHealthFileName);
    const double pid = readHealthFile(health).value("pid", 0.0);
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), SIGUSR1) != 0)
        return std::nullopt;
    std::this_thread::sleep_for(300ms); // the agent handles the signal in its loop
    const double serverOkAt = serverOkTime(readHealthFile(health));
    return serverOkAt > 0 ? std::optional(serverOkAt + kFreshnessWindow) : std::nullopt;
}

struct Latencies {
    std::vector<double> figure;
    std::vector<double> floor; // the wait for the client's next tick after the same moment
    void add(double value, double tick) {
        figure.push_back(value);
        floor.push_back(tick);
    }
    void printRow(const std::string& what, bool goal) const {
        const Summary value = summarize(figure);
        const Summary tick = summarize(floor);
        std::vector<double> shares; // the client's own share, trial by trial
        for (std::size_t i = 0; i < figure.size(); ++i)
            shares.push_back(figure[i] - floor[i]);
        const Summary share = summarize(shares);
        const auto s = [](double v) { return fixed(v, 3) + " s"; };
        const auto ms = [](double v) { return (v >= 0 ? "+" : "") + fixed(v * 1000, 0) + " ms"; };
        bench::printRow("6", what + " (n=" + std::to_string(value.count) + "), median / max",
                        s(value.median) + " / " + s(value.max), s(tick.median) + " / " + s(tick.max),
                        "per trial " + ms(share.median) + " median, " + ms(share.max) + " max",
                        goal ? "max ≤ 2.2 s" : "", !goal || (value.count > 0 && value.max <= 2.2));
    }
};

} // namespace

int runRepairs(bool unloaded, int trials, double spacing) {
    Latencies repaired;
    Latencies online;
    const bool ok = withClient([&](ClientLog& log) {
        std::mt19937 random(unloaded ? 20240611 : 20240612);
        // Silencing waits 12 s for staleness, which keeps repairs apart already.
        const double wait = unloaded ? spacing : 0.0;
        double last = wallSeconds();
        for (int trial = 0; trial < trials; ++trial) {
            // Free of the 5 s repair throttle, at a random point of the client's 2 s period.
            const double start =
                std::max(wallSeconds(), last + wait) + std::uniform_real_distribution(0.0, 2.0)(random);
            std::this_thread::sleep_for(std::chrono::duration<double>(start - wallSeconds()));
            const std::optional<double> from = unloaded ? bootOut() : silence();
            const auto fix = from ? log.first(unloaded ? Kind::loaded : Kind::woken, *from) : std::nullopt;
            const auto tick = from ? log.first(Kind::tick, *from) : std::nullopt;
            const auto shown = fix ? log.first(Kind::online, *fix) : std::nullopt;
            const auto tickAfterFix = fix ? log.first(Kind::tick, *fix) : std::nullopt;
            if (!tick || !shown || !tickAfterFix) {
                std::fprintf(stderr, "quern-bench: trial %d: the agent was not repaired\n", trial + 1);
                return false;
            }
            repaired.add(*fix - *from, *tick - *from);
            online.add(*shown - *from, *tickAfterFix - *from);
            last = *fix;
        }
        return true;
    });
    const std::string spaced = std::to_string(trials) + " trials, repairs ≥ " +
                               fixed(unloaded ? spacing : kFreshnessWindow, 0) + " s apart";
    if (unloaded) {
        repaired.printRow("agent unloaded → loaded again (" + spaced + "; floor: wait for the next tick)",
                          true);
        online.printRow("agent unloaded → state online (floor: the first tick after it is loaded)", false);
    } else {
        repaired.printRow("agent silent → SIGHUP, from server_ok_at turning 12 s old (" + spaced +
                              "; floor: wait for the next tick)",
                          true);
    }
    return ok ? 0 : 1;
}

} // namespace quern::bench
