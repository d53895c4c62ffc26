// Repair latencies against run.sh's private systemd: the client runs as main() runs it, its manager
// wrapped to log when a bootstrap (StartUnit) or wake (KillUnit) was answered; a bare subscriber on its own
// connection and idle thread logs systemd's report of the unit. Wall-clock seconds, as health's.
#include "agent/SystemdServiceManager.h"
#include "agent/SystemdUnit.h"
#include "app/Client.h"
#include "bench/BenchSupport.h"
#include "platform/BackgroundQueue.h"
#include "status/AgentLocations.h"
#include "status/HealthFile.h"
#include "status/StatusDerivation.h"

#include <QApplication>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

enum class Kind { online, started, woken, reported };

struct EventLog {
    void add(Kind kind) {
        const std::lock_guard lock(mutex);
        events.emplace_back(kind, wallSeconds());
        changed.notify_all();
    }
    // The time of the first `kind` at or after `from`; nullopt when none came within 30 s (a hang guard).
    [[nodiscard]] std::optional<double> first(Kind kind, double from) {
        const auto match = [&](const auto& event) { return event.first == kind && event.second >= from; };
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 30s, [&] { return std::ranges::any_of(events, match); }))
            return std::nullopt;
        return std::ranges::find_if(events, match)->second;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<Kind, double>> events;
};

// The client's own manager, each start and wake logged as systemd answers it (StartUnit, KillUnit):
// the moment it was sent at the latest.
class LoggedManager final : public ServiceManager {
public:
    LoggedManager(const std::string& unit, EventLog& log)
        : inner_(unit, sessionBus())
        , log_(log) {
        connect(&inner_, &ServiceManager::statusChanged, this, &ServiceManager::statusChanged);
        connect(&inner_, &ServiceManager::managerAppeared, this, &ServiceManager::managerAppeared);
    }
    void refresh() override { inner_.refresh(); }
    [[nodiscard]] QFuture<ServiceStatus> query() override { return inner_.query(); }
    [[nodiscard]] QFuture<void> start(StartMode mode) override {
        return inner_.start(mode).then([&log = log_] { log.add(Kind::started); });
    }
    [[nodiscard]] QFuture<void> stop() override { return inner_.stop(); }
    [[nodiscard]] QFuture<void> wake() override {
        return inner_.wake().then([&log = log_] { log.add(Kind::woken); });
    }

private:
    SystemdServiceManager inner_;
    EventLog& log_;
};

// The floor of a kill: the unit's PropertiesChanged as it reaches a subscriber with nothing else to do.
class BareSubscriber : public QObject {
    Q_OBJECT

public:
    BareSubscriber(const std::string& unit, EventLog& log)
        : log_(log) {
        bus.connect(u"org.freedesktop.systemd1"_s, QString::fromStdString(systemdUnitPath(unit)),
                    u"org.freedesktop.DBus.Properties"_s, u"PropertiesChanged"_s, this,
                    SLOT(changed(QString, QVariantMap, QStringList)));
        bus.call(QDBusMessage::createMethodCall(u"org.freedesktop.systemd1"_s, u"/org/freedesktop/systemd1"_s,
                                                u"org.freedesktop.systemd1.Manager"_s, u"Subscribe"_s));
    }
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"quern-bench-floor"_s);

private slots:
    void changed(const QString&, const QVariantMap& properties, const QStringList&) {
        const auto active = properties.constFind(u"ActiveState"_s);
        if (active != properties.constEnd() && active->toString() != u"active"_s)
            log_.add(Kind::reported);
    }

private:
    EventLog& log_;
};

// The agent's pid as it last wrote it, once it is not `old` (a restarted agent has written its own).
pid_t agentPid(const std::string& health, pid_t old) {
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(100ms)) { // a hang guard of 30 s
        const auto pid = static_cast<pid_t>(readHealthFile(health).value("pid", 0.0));
        if (pid > 0 && pid != old)
            return pid;
    }
    return 0;
}

} // namespace

int runRepairs(bool killed, int trials, double spacing, const std::string& unit) {
    const std::string home = currentHomeDirectory();
    const std::string health = AgentLocations::forHome(home).healthFile;
    EventLog log;
    QThread floorThread;
    floorThread.start();
    BareSubscriber floor(unit, log);
    floor.moveToThread(&floorThread);
    Client client(home, std::make_unique<LoggedManager>(unit, log));
    // Every state shown: the online moments are the repairs' ends.
    QObject::connect(&client.supervisor(), &Supervisor::stateChanged, &client, [&] {
        if (client.supervisor().state() == AgentState::online)
            log.add(Kind::online);
    });
    QMetaObject::invokeMethod(
        &client, [&client] { client.launch(); }, Qt::QueuedConnection);
    QJsonArray values, floors;
    const auto runTrials = [&] {
        std::mt19937 random(killed ? 20240611 : 20240612);
        double last = 0; // the last repair
        pid_t pid = 0;
        for (int trial = 0; trial < trials; ++trial) {
            // Free of the 5 s repair throttle, at a random point of the client's 2 s period.
            const double start =
                std::max(wallSeconds(), last + spacing) + std::uniform_real_distribution(0.0, 2.0)(random);
            std::this_thread::sleep_for(std::chrono::duration<double>(start - wallSeconds()));
            pid = agentPid(health, killed ? pid : 0);
            const double from = wallSeconds();
            if (pid <= 0 || ::kill(pid, killed ? SIGKILL : SIGUSR1) != 0)
                return false;
            double edge = from;
            std::optional<double> floorTime;
            if (killed) {
                floorTime = log.first(Kind::reported, from);
            } else {
                // The agent stops renewing within its loop; its last record turns stale 12 s after it.
                std::this_thread::sleep_for(300ms);
                edge = serverOkTime(readHealthFile(health)) + kFreshnessWindow;
                // Floor: a thread woken then, one bare Get answered.
                std::this_thread::sleep_for(std::chrono::duration<double>(edge - wallSeconds()));
                if (getActiveState(unit, floor.bus))
                    floorTime = wallSeconds();
            }
            const auto repaired = log.first(killed ? Kind::started : Kind::woken, from);
            const auto online = repaired ? log.first(Kind::online, *repaired) : std::nullopt;
            if (!repaired || !floorTime || !online) {
                std::fprintf(stderr, "quern-bench: trial %d: the agent was not repaired\n", trial + 1);
                return false;
            }
            values.append(*repaired - edge);
            floors.append(*floorTime - edge);
            last = *repaired;
        }
        return true;
    };
    bool ok = false;
    // The trials on a thread of their own, once the agent is online, while the client's loop runs.
    std::thread trialThread([&] {
        ok = log.first(Kind::online, 0) && runTrials();
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QApplication::exec(); // ends when the trials do
    trialThread.join();
    shutDownBackgroundQueues();
    floorThread.quit();
    floorThread.wait();
    if (!values.isEmpty()) // bench/table.jq makes the row
        printJson({{"spacing", spacing}, {"complete", ok}, {"value", values}, {"floor", floors}});
    return ok ? 0 : 1;
}

} // namespace quern::bench

#include "Repairs.moc"
