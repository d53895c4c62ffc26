// quern-bench: figures taken inside one process that holds the real application object, on Qt's
// offscreen platform, against the stand-ins of the environment run.sh prepares ($HOME,
// $QUERN_LAUNCHD_DIR, $QUERN_ZOVA_LAUNCHCTL).
//   refresh N      main-thread time of refreshStatus() beside a bare spawn of the same print
//   launchctl N    quern-launchctl print beside /bin/true, both spawned bare
//   growth N       descriptors, children and memory over N refreshes, beside N bare spawns
//   repair-unloaded N SPACING      bootout → loaded again → online, through the client's own timer
//   repair-silent N SPACING LOG [BACKDATE]   agent silenced → SIGHUP after its health turned stale
#include "app/AgentLocations.h"
#include "app/AppDelegate.h"
#include "bench/BenchSupport.h"
#include "platform/BackgroundQueue.h"
#include "status/StatusDerivation.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <random>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;

std::string launchctlPath() {
    return AppDelegate::Hooks::fromEnvironment().launchctlPath;
}

std::vector<std::string> printCommand() {
    return {launchctlPath(), "print", serviceTarget(::getuid(), kServiceLabel)};
}

// The application object as the client builds it at launch, window shown.
std::shared_ptr<AppDelegate> builtDelegate() {
    auto delegate = AppDelegate::create(AppDelegate::Hooks::fromEnvironment());
    delegate->buildWindow();
    delegate->buildStatusItem();
    delegate->window()->show();
    return delegate;
}

// What the event loop would do between two ticks: paint, run posted events, delete what was deleted later.
void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

double timed(const std::function<void()>& work) {
    const Clock::time_point start = Clock::now();
    work();
    return secondsBetween(start, Clock::now());
}

bool requireOnline(const AppDelegate& delegate) {
    if (delegate.currentState() == AgentState::online)
        return true;
    std::fprintf(stderr, "quern-bench: the agent is not online (state %s); is it loaded and running?\n",
                 std::string(title(delegate.currentState())).c_str());
    return false;
}

// Runs both, alternating which goes first, so that both see the same noise.
void interleaved(int count, const std::function<void()>& first, const std::function<void()>& second) {
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            first();
            second();
        } else {
            second();
            first();
        }
    }
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

int runRefresh(int count) {
    const auto delegate = builtDelegate();
    const std::vector<std::string> print = printCommand();
    for (int i = 0; i < 20; ++i) { // warm: caches, fonts, the first paint
        delegate->refreshStatus();
        settle();
        (void)spawnAndReap(print);
    }
    if (!requireOnline(*delegate))
        return 1;
    std::vector<double> client;
    std::vector<double> floor;
    int notOnline = 0;
    interleaved(
        count,
        [&] {
            client.push_back(timed([&] { delegate->refreshStatus(); }));
            notOnline += delegate->currentState() == AgentState::online ? 0 : 1;
            settle(); // not timed: painting is the event loop's, after the refresh has returned
        },
        [&] { floor.push_back(timed([&] { (void)spawnAndReap(print); })); });
    if (notOnline > 0)
        std::fprintf(stderr, "quern-bench: %d refreshes did not find the agent online\n", notOnline);
    printTimingRows("1", "main-thread time of one refresh (floor: bare spawn + waitpid of the same print)",
                    summarize(client), summarize(floor), 1.2);
    return notOnline == 0 ? 0 : 1;
}

int runLaunchctl(int count) {
    const std::vector<std::string> print = printCommand();
    const std::vector<std::string> truth = {"/bin/true"};
    for (int i = 0; i < 10; ++i) {
        if (spawnAndReap(print) != 0) {
            std::fprintf(stderr, "quern-bench: %s print fails; is the agent loaded?\n",
                         print.front().c_str());
            return 1;
        }
        (void)spawnAndReap(truth);
    }
    std::vector<double> launchctl;
    std::vector<double> floor;
    interleaved(
        count, [&] { launchctl.push_back(timed([&] { (void)spawnAndReap(print); })); },
        [&] { floor.push_back(timed([&] { (void)spawnAndReap(truth); })); });
    printTimingRows("2", "quern-launchctl print, spawned bare (floor: /bin/true spawned the same way)",
                    summarize(launchctl), summarize(floor), 1.5);
    return 0;
}

struct Footprint {
    int descriptors = 0;
    int children = 0;
    long residentKiB = 0;
};

Footprint footprint() {
    return {openDescriptors(), childrenAlive(), residentKiB(::getpid()).value_or(0)};
}

struct Growth {
    Footprint before;
    Footprint after;
    int mostChildren = 0; // sampled between runs
};

Growth measureGrowth(int count, const std::function<void()>& once) {
    Growth growth;
    growth.before = footprint();
    for (int i = 0; i < count; ++i) {
        once();
        settle();
        if (i % 100 == 0)
            growth.mostChildren = std::max(growth.mostChildren, childrenAlive());
    }
    growth.after = footprint();
    growth.mostChildren = std::max(growth.mostChildren, growth.after.children);
    return growth;
}

std::string change(int before, int after) {
    const int delta = after - before;
    return std::to_string(before) + " → " + std::to_string(after) + " (" + (delta >= 0 ? "+" : "") +
           std::to_string(delta) + ")";
}

int runGrowth(int count) {
    const auto delegate = builtDelegate();
    const std::vector<std::string> print = printCommand();
    for (int i = 0; i < 50; ++i) { // one-time work (caches, fonts, the first paint) is not growth
        delegate->refreshStatus();
        settle();
    }
    if (!requireOnline(*delegate))
        return 1;
    const Growth floor = measureGrowth(count, [&] { (void)spawnAndReap(print); });
    const Growth client = measureGrowth(count, [&] { delegate->refreshStatus(); });
    const std::string n = std::to_string(count);

    printRow({"7", "open descriptors over " + n + " refreshes (floor: " + n + " bare spawns)",
              change(client.before.descriptors, client.after.descriptors),
              change(floor.before.descriptors, floor.after.descriptors),
              std::to_string(client.after.descriptors - client.before.descriptors) + " vs " +
                  std::to_string(floor.after.descriptors - floor.before.descriptors),
              "no growth", client.after.descriptors <= client.before.descriptors});
    printRow({"7", "child processes alive, before → after (most seen)",
              change(client.before.children, client.after.children) + " (" +
                  std::to_string(client.mostChildren) + ")",
              change(floor.before.children, floor.after.children) + " (" +
                  std::to_string(floor.mostChildren) + ")",
              std::to_string(client.after.children - client.before.children) + " vs " +
                  std::to_string(floor.after.children - floor.before.children),
              "no growth", client.after.children <= client.before.children && client.mostChildren == 0});
    const long clientGrowth = client.after.residentKiB - client.before.residentKiB;
    const long floorGrowth = floor.after.residentKiB - floor.before.residentKiB;
    printRow(
        {"7", "resident memory (VmRSS), before → after",
         std::to_string(client.before.residentKiB) + " → " + std::to_string(client.after.residentKiB) +
             " KiB",
         std::to_string(floor.before.residentKiB) + " → " + std::to_string(floor.after.residentKiB) + " KiB",
         (clientGrowth >= 0 ? "+" : "") + std::to_string(clientGrowth) + " vs " +
             (floorGrowth >= 0 ? "+" : "") + std::to_string(floorGrowth) + " KiB",
         "≤ +1024 KiB", clientGrowth <= 1024});
    return 0;
}

// ---- Repairs, seen from outside the client ---------------------------------------------------

enum class Kind {
    unloaded, // the service's record left the stand-in's state directory
    loaded,   // the record is back
    sighup,   // the agent logged a SIGHUP
    tick,     // the client's refresh timer fired (before the refresh runs)
    state,    // the state after a refresh
};

struct Event {
    Kind kind;
    Clock::time_point at;
    double wall;
    AgentState state = AgentState::stopped;
};

class EventLog {
public:
    void add(Kind kind, AgentState state = AgentState::stopped) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back({kind, Clock::now(), wallSeconds(), state});
        }
        changed_.notify_all();
    }

    using Match = std::function<bool(const Event&)>;
    // The first event that matches, waiting up to the timeout for it.
    std::optional<Event> waitFor(const Match& match, Clock::duration timeout) {
        std::unique_lock lock(mutex_);
        std::optional<Event> found;
        changed_.wait_for(lock, timeout, [&] {
            const auto it = std::ranges::find_if(events_, match);
            if (it != events_.end())
                found = *it;
            return found.has_value();
        });
        return found;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

EventLog::Match kindAfter(Kind kind, Clock::time_point after) {
    return [=](const Event& e) { return e.kind == kind && e.at >= after; };
}
EventLog::Match stateAfter(AgentState state, Clock::time_point after) {
    return [=](const Event& e) { return e.kind == Kind::state && e.state == state && e.at >= after; };
}

// Watches the stand-in's state directory and the agent's SIGHUP log with inotify, on its own thread.
class Watcher {
public:
    Watcher(EventLog& log, const std::string& launchdDir, const std::string& sighupLog)
        : log_(log)
        , record_(std::string(kServiceLabel) + ".job")
        , sighupName_(std::filesystem::path(sighupLog).filename().string())
        , inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK))
        , stop_(::eventfd(0, EFD_CLOEXEC)) {
        launchdWatch_ = ::inotify_add_watch(inotify_, launchdDir.c_str(),
                                            IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM);
        if (!sighupLog.empty())
            sighupWatch_ = ::inotify_add_watch(
                inotify_, std::filesystem::path(sighupLog).parent_path().c_str(), IN_MODIFY | IN_CREATE);
        thread_ = std::thread([this] { run(); });
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    ~Watcher() {
        const std::uint64_t one = 1;
        (void)::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(inotify_);
        ::close(stop_);
    }
    [[nodiscard]] bool valid() const { return launchdWatch_ >= 0; }

private:
    void run() {
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            pollfd ready[2] = {{inotify_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(ready, 2, -1) < 0 && errno != EINTR)
                return;
            if ((ready[1].revents & POLLIN) != 0)
                return;
            const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
            for (ssize_t at = 0; n > 0 && at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                const std::string name = event->len > 0 ? event->name : "";
                if (event->wd == launchdWatch_ && name == record_)
                    log_.add((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 ? Kind::loaded : Kind::unloaded);
                else if (event->wd == sighupWatch_ && name == sighupName_ && (event->mask & IN_MODIFY) != 0)
                    log_.add(Kind::sighup);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    EventLog& log_;
    const std::string record_;
    const std::string sighupName_;
    const int inotify_;
    const int stop_;
    int launchdWatch_ = -1;
    int sighupWatch_ = -1;
    std::thread thread_;
};

// Sees the client's timer fire, before the refresh it starts.
class TickFilter : public QObject {
public:
    explicit TickFilter(EventLog& log)
        : log_(log) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Timer)
            log_.add(Kind::tick);
        return QObject::eventFilter(watched, event);
    }

private:
    EventLog& log_;
};

struct Latencies {
    std::vector<double> figure;
    std::vector<double> floor;
};

void printLatencyRows(const std::string& figure, const std::string& what, const Latencies& latencies,
                      std::optional<double> goalMax) {
    const Summary value = summarize(latencies.figure);
    const Summary floor = summarize(latencies.floor);
    // The client's own share, trial by trial: what it took beyond waiting for its tick.
    std::vector<double> shares;
    for (std::size_t i = 0; i < latencies.figure.size() && i < latencies.floor.size(); ++i)
        shares.push_back(latencies.figure[i] - latencies.floor[i]);
    const Summary share = summarize(shares);
    const auto seconds = [](double s) { return fixed(s, 3) + " s"; };
    const auto delta = [](double s) { return (s >= 0 ? "+" : "") + fixed(s * 1000, 0) + " ms"; };
    printRow({figure, what + " (n=" + std::to_string(value.count) + "), median / max",
              seconds(value.median) + " / " + seconds(value.max),
              seconds(floor.median) + " / " + seconds(floor.max),
              "per trial " + delta(share.median) + " median, " + delta(share.max) + " max",
              goalMax ? "max ≤ " + fixed(*goalMax, 1) + " s" : "",
              !goalMax || (value.count > 0 && value.max <= *goalMax)});
}

// Runs the client as main() does, with the trial procedure on a thread of its own; rows are printed
// once the event loop has ended.
int runRepairs(const std::string& sighupLog, const std::function<bool(EventLog&)>& trials) {
    const char* launchdDir = std::getenv("QUERN_LAUNCHD_DIR");
    if (launchdDir == nullptr) {
        std::fprintf(stderr, "quern-bench: QUERN_LAUNCHD_DIR is not set\n");
        return 1;
    }
    EventLog log;
    Watcher watcher(log, launchdDir, sighupLog);
    if (!watcher.valid()) {
        std::fprintf(stderr, "quern-bench: cannot watch %s\n", launchdDir);
        return 1;
    }
    TickFilter tickFilter(log);
    std::shared_ptr<AppDelegate> delegate = AppDelegate::create(AppDelegate::Hooks::fromEnvironment());
    QMetaObject::invokeMethod(
        delegate.get(),
        [&] {
            delegate->applicationDidFinishLaunching();
            log.add(Kind::state, delegate->currentState());
            delegate->timer()->installEventFilter(&tickFilter);
            // Connected after the client's own slot, so it runs right after each refresh.
            QObject::connect(delegate->timer(), &QTimer::timeout, delegate.get(),
                             [&] { log.add(Kind::state, delegate->currentState()); });
        },
        Qt::QueuedConnection);

    bool succeeded = false;
    std::thread operatorThread([&] {
        succeeded = trials(log);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::exec();
    operatorThread.join();
    shutDownBackgroundQueues();
    delegate.reset();
    return succeeded ? 0 : 1;
}

void sleepUntil(Clock::time_point when) {
    std::this_thread::sleep_until(when);
}

// Trials start at a random point of the client's 2-second period.
Clock::duration randomPhase(std::mt19937& random) {
    return std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 1999)(random));
}

int runRepairUnloaded(int trials, double spacing) {
    Latencies loaded;
    Latencies online;
    const std::vector<std::string> bootout = {launchctlPath(), "bootout",
                                              serviceTarget(::getuid(), kServiceLabel)};
    const int status = runRepairs("", [&](EventLog& log) {
        std::mt19937 random(20240611);
        if (!log.waitFor(stateAfter(AgentState::online, Clock::time_point()), 20s)) {
            std::fprintf(stderr, "quern-bench: the client never saw the agent online\n");
            return false;
        }
        Clock::time_point lastRepair = Clock::now();
        for (int trial = 0; trial < trials; ++trial) {
            // Spaced from the last repair so that the 5-second throttle is free again.
            sleepUntil(std::max(Clock::now(), lastRepair + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(spacing))) +
                       randomPhase(random));
            const Clock::time_point issued = Clock::now();
            if (spawnAndReap(bootout) != 0) {
                std::fprintf(stderr, "quern-bench: bootout failed\n");
                return false;
            }
            const auto gone = log.waitFor(kindAfter(Kind::unloaded, issued), 10s);
            const auto back = gone ? log.waitFor(kindAfter(Kind::loaded, gone->at), 15s) : std::nullopt;
            const auto shown =
                back ? log.waitFor(stateAfter(AgentState::online, back->at), 15s) : std::nullopt;
            const auto tickAfterGone = gone ? log.waitFor(kindAfter(Kind::tick, gone->at), 5s) : std::nullopt;
            const auto tickAfterBack = back ? log.waitFor(kindAfter(Kind::tick, back->at), 5s) : std::nullopt;
            if (!shown || !tickAfterGone || !tickAfterBack) {
                std::fprintf(stderr, "quern-bench: trial %d: the agent did not come back online\n",
                             trial + 1);
                return false;
            }
            loaded.figure.push_back(secondsBetween(gone->at, back->at));
            loaded.floor.push_back(secondsBetween(gone->at, tickAfterGone->at));
            online.figure.push_back(secondsBetween(gone->at, shown->at));
            online.floor.push_back(secondsBetween(gone->at, tickAfterBack->at));
            std::fprintf(stderr, "unloaded trial %d: loaded %.3f s (next tick %.3f s), online %.3f s\n",
                         trial + 1, loaded.figure.back(), loaded.floor.back(), online.figure.back());
            lastRepair = back->at;
        }
        return true;
    });
    const std::string spaced = std::to_string(trials) + " trials ≥ " + fixed(spacing, 0) + " s apart";
    printLatencyRows("6", "agent unloaded → loaded again (" + spaced + "; floor: wait for the next tick)",
                     loaded, 2.2);
    printLatencyRows("6", "agent unloaded → state online (floor: the first tick after it is loaded)", online,
                     std::nullopt);
    return status;
}

bool writeBackdatedHealth(const std::string& healthFile, double serverOkAt, double pid) {
    const std::string temp = healthFile + ".bench.tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "{\"server_ok_at\": " << fixed(serverOkAt, 3)
            << ", \"busy_command_id\": \"\", \"pid\": " << fixed(pid, 0) << "}\n";
        if (!out)
            return false;
    }
    return std::rename(temp.c_str(), healthFile.c_str()) == 0;
}

int runRepairSilent(int trials, double spacing, const std::string& sighupLog, double backdate) {
    Latencies latencies;
    const std::string healthFile = appendPathComponent(
        appendPathComponent(currentHomeDirectory(), kConfigDirectoryName), kHealthFileName);
    const int status = runRepairs(sighupLog, [&](EventLog& log) {
        std::mt19937 random(20240612);
        if (!log.waitFor(stateAfter(AgentState::online, Clock::time_point()), 20s)) {
            std::fprintf(stderr, "quern-bench: the client never saw the agent online\n");
            return false;
        }
        Clock::time_point lastRepair = Clock::now();
        // The wait for staleness keeps repairs apart already; only a backdated record needs more.
        const double throttleWait = std::max(0.0, spacing - (kFreshnessWindow - backdate) + 1.0);
        for (int trial = 0; trial < trials; ++trial) {
            sleepUntil(std::max(Clock::now(), lastRepair + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(throttleWait))) +
                       randomPhase(random));
            const std::optional<double> pid = numberField(readText(healthFile), "pid");
            if (!pid || ::kill(static_cast<pid_t>(*pid), SIGUSR1) != 0) {
                std::fprintf(stderr, "quern-bench: cannot silence the agent\n");
                return false;
            }
            const Clock::time_point silenced = Clock::now();
            std::this_thread::sleep_for(300ms); // the agent handles the signal in its loop
            if (backdate > 0 && !writeBackdatedHealth(healthFile, wallSeconds() - backdate, *pid)) {
                std::fprintf(stderr, "quern-bench: cannot backdate %s\n", healthFile.c_str());
                return false;
            }
            const std::optional<double> serverOkAt = numberField(readText(healthFile), "server_ok_at");
            if (!serverOkAt) {
                std::fprintf(stderr, "quern-bench: no server_ok_at in %s\n", healthFile.c_str());
                return false;
            }
            const double staleAt = *serverOkAt + kFreshnessWindow;
            const auto woken = log.waitFor(kindAfter(Kind::sighup, silenced),
                                           std::chrono::seconds(static_cast<int>(kFreshnessWindow) + 15));
            const auto tick =
                log.waitFor([&](const Event& e) { return e.kind == Kind::tick && e.wall >= staleAt; }, 20s);
            if (!woken || !tick) {
                std::fprintf(stderr, "quern-bench: trial %d: no SIGHUP reached the agent\n", trial + 1);
                return false;
            }
            latencies.figure.push_back(woken->wall - staleAt);
            latencies.floor.push_back(tick->wall - staleAt);
            std::fprintf(stderr, "silent trial %d: SIGHUP %.3f s after stale (next tick %.3f s)\n", trial + 1,
                         latencies.figure.back(), latencies.floor.back());
            lastRepair = woken->at;
            if (!log.waitFor(stateAfter(AgentState::online, woken->at), 15s)) {
                std::fprintf(stderr, "quern-bench: trial %d: the agent did not come back online\n",
                             trial + 1);
                return false;
            }
        }
        return true;
    });
    printLatencyRows("6",
                     "agent silent → SIGHUP, from server_ok_at turning " + fixed(kFreshnessWindow, 0) +
                         " s old (" + std::to_string(trials) + " trials, repairs ≥ " + fixed(spacing, 0) +
                         " s apart" +
                         (backdate > 0 ? ", health backdated by " + fixed(backdate, 0) + " s" : "") +
                         "; floor: wait for the next tick)",
                     latencies, 2.2);
    return status;
}

int usage() {
    std::fputs("usage: quern-bench refresh N | launchctl N | growth N | repair-unloaded N SPACING |\n"
               "                   repair-silent N SPACING SIGHUP-LOG [BACKDATE]\n",
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
    const int count = std::stoi(args[1]);
    const std::string& mode = args[0];
    if (mode == "refresh")
        return runRefresh(count);
    if (mode == "launchctl")
        return runLaunchctl(count);
    if (mode == "growth")
        return runGrowth(count);
    if (mode == "repair-unloaded" && args.size() == 3)
        return runRepairUnloaded(count, std::stod(args[2]));
    if (mode == "repair-silent" && args.size() >= 4)
        return runRepairSilent(count, std::stod(args[2]), args[3],
                               args.size() > 4 ? std::stod(args[4]) : 0.0);
    return usage();
}
