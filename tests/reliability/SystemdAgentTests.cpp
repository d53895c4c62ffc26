// The supervisor on its own timer against a real systemd user manager (private to this test program,
// made by scripts/user-manager.sh) and the stand-in agent as its unit: the agent killed, stopped,
// crashing, still starting, without a main process; the manager absent, stopped, the unit missing or
// masked.
#include "agent/SystemdServiceManager.h"
#include "platform/SessionBus.h"
#include "status/AgentLocations.h"
#include "supervisor/Supervisor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

namespace quern {
namespace {

const std::string kUnit(kServiceUnit);

// The real manager, with the wakes, plain starts and resets the supervisor asks for counted as it
// asks (on the main thread, inside its decision), and the last status it was told.
class CountingManager final : public ServiceManager {
public:
    explicit CountingManager(std::unique_ptr<ServiceManager> real)
        : real_(std::move(real)) {
        connect(real_.get(), &ServiceManager::statusChanged, this, [this](const ServiceStatus& status) {
            lastStatus = status;
            emit statusChanged(status);
        });
        connect(real_.get(), &ServiceManager::managerAppeared, this, &ServiceManager::managerAppeared);
    }
    void refresh() override { real_->refresh(); }
    QFuture<ServiceStatus> query() override { return real_->query(); }
    QFuture<void> start(StartMode mode) override {
        ++(mode == StartMode::resetFailed ? resets : starts);
        return real_->start(mode);
    }
    QFuture<void> stop() override { return real_->stop(); }
    QFuture<void> wake() override {
        ++wakes;
        return real_->wake();
    }

    int wakes = 0;
    int starts = 0; // plain ones
    int resets = 0; // starts after a reset
    std::optional<ServiceStatus> lastStatus;

private:
    std::unique_ptr<ServiceManager> real_;
};

class SystemdAgent : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* reason = std::getenv("QUERN_NO_USER_MANAGER")) {
            GTEST_SKIP() << "no private systemd user manager: " << reason;
        }
        std::filesystem::create_directories(unitFolder);
        std::filesystem::create_directories(home);
    }
    // The manager and its units end with the program.

    // Starts the manager (scripts/user-manager.sh's way); its pid.
    int startManager() {
        const SpawnResult started = test::run("/bin/sh", {"-c", std::getenv("QUERN_START_USER_MANAGER")});
        EXPECT_EQ(started.status, 0) << started.errors;
        managerPid = std::atoi(started.output.c_str());
        return managerPid;
    }
    static SpawnResult systemctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "--user");
        return test::run("/usr/bin/systemctl", arguments);
    }
    // The agent's unit: these [Service] lines, and the agent's home.
    void writeUnit(const std::string& service) const {
        test::writeFile(unitFolder + "/" + kUnit, "[Service]\nEnvironment=\"HOME=" + home + "\"\n" + service);
        if (managerPid > 0) {
            EXPECT_EQ(systemctl({"daemon-reload"}).status, 0);
        }
    }
    void writeAgentUnit(const std::string& arguments = "") const {
        writeUnit("ExecStart=\"" + test::kAgent + "\" --interval 1 " + arguments + "\n");
    }
    [[nodiscard]] static std::string property(const std::string& name) {
        std::string value = systemctl({"show", "-p", name, "--value", kUnit}).output;
        return value.substr(0, value.find('\n'));
    }
    [[nodiscard]] static int mainPid() { return std::atoi(property("MainPID").c_str()); }

    // The supervisor as the client makes it, on the real manager behind a counter, started; on the
    // test's clocks where it set them.
    void launch(std::chrono::milliseconds callTimeout = ServiceManager::kTimeout) {
        manager = std::make_unique<CountingManager>(std::make_unique<SystemdServiceManager>(
            kUnit, sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR")),
            callTimeout));
        Supervisor::Hooks hooks;
        hooks.healthFile = AgentLocations::forHome(home).healthFile;
        hooks.wallClock = [this] {
            return wall ? *wall
                        : std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                              .count();
        };
        hooks.steadyClock = [this] { return steady ? *steady : std::chrono::steady_clock::now(); };
        supervisor = std::make_unique<Supervisor>(*manager, hooks);
        supervisor->start();
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, 150'000); // ten times the longest wait here, a stale agent's 14 s
    }
    [[nodiscard]] bool waitForState(AgentState state) const {
        return waitFor([&] { return supervisor->stateKnown() && supervisor->state() == state; });
    }

    test::TempDir root{"quern-systemd"};
    const std::string home = root / "home dir ü";
    const std::string unitFolder =
        std::string(std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "") + "/systemd/user";
    int managerPid = 0;
    std::optional<double> wall;       // the system's clocks while empty
    std::optional<SteadyTime> steady; // moved only by the test: no repair comes due on its own
    std::unique_ptr<CountingManager> manager;
    std::unique_ptr<Supervisor> supervisor; // gone before its manager
};

TEST_F(SystemdAgent, AKilledAgentIsStartedAgain) {
    startManager();
    writeAgentUnit(); // no Restart=: bringing it back is the client's work
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int first = mainPid();
    ASSERT_GT(first, 0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return mainPid() > 0 && mainPid() != first; })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(SystemdAgent, AnAgentKilledAgainAndAgainIsStartedAtOnceEachTimeAndNeverReset) {
    startManager();
    // As shipped: no Restart=, so a failure is no crash loop of systemd's. The kills come faster than
    // its default start limit allows (5 in 10 s): the spacing of repairs is on the client's clock,
    // which the test moves.
    writeUnit("ExecStart=\"" + test::kAgent + "\" --interval 1\n[Unit]\nStartLimitIntervalSec=0\n");
    steady = SteadyTime{std::chrono::hours(1)};
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int launchStarts = manager->starts;
    for (int kill = 1; kill <= 5; ++kill) {
        const int pid = mainPid();
        ASSERT_GT(pid, 0);
        *steady += kAutomaticReconnectInterval; // the last repair is far enough back
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        // The client's answer to the failure: a start of either kind, or a hold.
        ASSERT_TRUE(waitFor([&] {
            return manager->starts + manager->resets > launchStarts + kill - 1 ||
                   supervisor->detail() == Detail::retryHeld;
        })) << "hung";
        ASSERT_EQ(manager->starts - launchStarts, kill);
        ASSERT_EQ(manager->resets, 0);
        ASSERT_TRUE(waitFor([&] { return mainPid() > 0 && mainPid() != pid; })) << "hung";
        ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    }
}

TEST_F(SystemdAgent, AStoppedAgentIsWokenOnceItTurnsStaleAndRecoversWhenContinued) {
    startManager();
    const std::string hangUps = root / "hang ups";
    writeAgentUnit("--sighup-log \"" + hangUps + "\"");
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int pid = mainPid();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    // Silent for 12 seconds: shown as connecting, and a hang-up is sent (pending while stopped).
    EXPECT_TRUE(waitForState(AgentState::running)) << "hung";
    EXPECT_TRUE(waitFor([&] { return manager->wakes > 0; })) << "hung";
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(waitFor([&] { return !test::readLines(hangUps).empty(); })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(mainPid(), pid); // woken, not restarted
}

TEST_F(SystemdAgent, ACrashLoopIsResetEverMoreRarelyHeldInBetweenAndResetAtOnceWhenTheUserStartsIt) {
    startManager();
    // Five starts a burst, then systemd gives up until the unit is reset; it runs once fixed.
    const std::string starts = root / "starts";
    const std::string fixed = root / "fixed";
    const std::string script = root / "crash until fixed.sh";
    test::writeFile(script, "echo >> \"" + starts + "\"\n[ -e \"" + fixed + "\" ] && exec \"" + test::kAgent +
                                "\" --interval 1\nexit 1\n");
    writeUnit("ExecStart=/bin/sh \"" + script +
              "\"\nRestart=always\nRestartSec=0\n[Unit]\nStartLimitBurst=5\nStartLimitIntervalSec=3600\n");
    // Whole seconds, behind the agent's own times, which therefore read fresh once it runs.
    constexpr qint64 kWall = 1'700'000'000;
    wall = kWall;
    steady = SteadyTime{std::chrono::hours(1)};
    launch();
    QSignalSpy held(supervisor.get(), &Supervisor::retryHeld);
    // The unit has started `count` times and systemd has given up, and the client has been told.
    const auto givenUpAfter = [&](std::size_t count) {
        return waitFor([&] {
            return test::readLines(starts).size() == count && property("ActiveState") == "failed" &&
                   manager->lastStatus && manager->lastStatus->failed;
        });
    };
    ASSERT_TRUE(waitFor([&] { return manager->starts == 1; })) << "hung";
    ASSERT_TRUE(givenUpAfter(5)) << "hung";
    // A repair every 5 s of the client's clock for two minutes: the resets spread out, and in
    // between the client says when the next one comes.
    for (int step = 1; step <= 24; ++step) {
        supervisor->refreshStatus(); // the clock has not moved: nothing is due, what is known shows
        EXPECT_EQ(supervisor->state(), AgentState::stopped);
        std::optional<SteadyTime> promised;
        if (manager->resets > 0) {
            EXPECT_EQ(supervisor->detail(), Detail::retryHeld);
            promised = *steady + std::chrono::seconds(supervisor->nextRetry().toSecsSinceEpoch() - kWall);
        }
        *steady += kAutomaticReconnectInterval;
        const int before = manager->resets;
        supervisor->refreshStatus();
        ASSERT_EQ(manager->resets > before, !promised || *steady >= *promised) << "step " << step;
        if (manager->resets > before) {
            ASSERT_TRUE(givenUpAfter(5u * static_cast<unsigned>(manager->resets + 1))) << "hung";
        }
    }
    EXPECT_EQ(manager->resets, 5);
    EXPECT_EQ(held.count(), 1); // told once for the whole loop
    // The user's start resets it at once, however recent the last reset, and ends the episode: the
    // hold after the client's next reset is a new one, told again.
    supervisor->toggleAgent();
    EXPECT_EQ(manager->resets, 6);
    ASSERT_TRUE(givenUpAfter(5u * 7)) << "hung";
    *steady += kAutomaticReconnectInterval;
    supervisor->refreshStatus();
    EXPECT_EQ(manager->resets, 7);
    ASSERT_TRUE(givenUpAfter(5u * 8)) << "hung";
    supervisor->refreshStatus();
    EXPECT_EQ(supervisor->detail(), Detail::retryHeld);
    EXPECT_EQ(held.count(), 2);
    // Fixed, and started by the user at once in the middle of a hold.
    test::writeFile(fixed, "");
    supervisor->toggleAgent();
    EXPECT_EQ(manager->resets, 8);
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(test::readLines(starts).size(), 5u * 8 + 1);
}

TEST_F(SystemdAgent, AUnitStillStartingIsNeverWoken) {
    startManager();
    // It never reports ready: systemd keeps it activating, with a main process that has perhaps not
    // set up its SIGHUP handler yet.
    writeUnit(
        "Type=notify\nNotifyAccess=main\nTimeoutStartSec=infinity\nExecStart=/bin/sh -c 'exec sleep 1000'\n");
    steady = SteadyTime{std::chrono::hours(1)};
    launch();
    ASSERT_TRUE(waitFor([&] {
        return property("ActiveState") == "activating" && manager->lastStatus &&
               manager->lastStatus->starting;
    })) << "hung";
    for (int i = 0; i < 5; ++i) {
        *steady += kAutomaticReconnectInterval; // a repair is due each time
        supervisor->refreshStatus();
        EXPECT_EQ(supervisor->state(), AgentState::running);
    }
    EXPECT_EQ(manager->wakes, 0);
    EXPECT_EQ(manager->starts, 1); // the launch's
    EXPECT_EQ(manager->resets, 0);
}

TEST_F(SystemdAgent, ARestartedManagerIsAskedAndTheAgentStartedAtOnce) {
    startManager();
    writeAgentUnit();
    // The client's steady clock stands still: the spacing of repairs lets no second start through,
    // only a manager that appears does.
    steady = SteadyTime{std::chrono::hours(1)};
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    ASSERT_EQ(::kill(managerPid, SIGTERM), 0); // it stops the agent on its way out
    ASSERT_TRUE(waitForState(AgentState::stopped)) << "hung";
    startManager();
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(manager->starts, 2);
}

TEST_F(SystemdAgent, AManagerAbsentOrStoppedReadsStoppedAndIsPickedUpOnceItAnswers) {
    writeAgentUnit();
    launch(); // a login race: the bus is up, the manager is not
    ASSERT_TRUE(waitForState(AgentState::stopped)) << "hung"; // an answer all the same
    startManager();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    ASSERT_EQ(::kill(managerPid, SIGSTOP), 0);
    EXPECT_TRUE(waitForState(AgentState::stopped)) << "hung"; // nothing can be asked
    ASSERT_EQ(::kill(managerPid, SIGCONT), 0);
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(SystemdAgent, AStoppedManagerNeverHoldsTheMainThread) {
    startManager();
    writeAgentUnit();
    launch(std::chrono::minutes(10)); // a refresh that waited on the manager would wait that long
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    ASSERT_EQ(::kill(managerPid, SIGSTOP), 0);
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        if (test::waitUntil([&] { return done.load(); }))
            return;
        std::fputs("hung: a refresh waits on a stopped manager\n", stderr);
        std::_Exit(1);
    });
    for (int i = 0; i < 5; ++i) {
        manager->refresh();
        supervisor->refreshStatus(); // answered from what the manager said last
        QCoreApplication::processEvents();
    }
    done = true;
    watchdog.join();
    ASSERT_EQ(::kill(managerPid, SIGCONT), 0);
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(SystemdAgent, AUnitNotFoundOrMaskedIsStoppedEvenWhileItRuns) {
    startManager();
    launch();
    ASSERT_TRUE(waitForState(AgentState::stopped)) << "hung";
    EXPECT_TRUE(waitFor([&] { return manager->starts > 0; })) << "hung"; // refused: no such unit
    EXPECT_EQ(supervisor->state(), AgentState::stopped);
    writeAgentUnit();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    // Masked under the running agent: its file is gone for systemd, so it counts as not loaded,
    // and starting it is refused.
    const std::string mask = std::string(std::getenv("XDG_CONFIG_HOME")) + "/systemd/user/" + kUnit;
    std::filesystem::create_symlink("/dev/null", mask);
    ASSERT_EQ(systemctl({"daemon-reload"}).status, 0);
    EXPECT_TRUE(waitForState(AgentState::stopped)) << "hung";
    EXPECT_EQ(property("ActiveState"), "active");
    std::filesystem::remove(mask);
    ASSERT_EQ(systemctl({"daemon-reload"}).status, 0);
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(SystemdAgent, AUnitWithoutAMainProcessIsNeverSignalled) {
    startManager();
    // Active with no main process: a process beside it in its cgroup records every signal.
    const std::string received = root / "received";
    writeUnit("Type=oneshot\nRemainAfterExit=yes\nExecStart=/bin/sh -c '\"" + test::kTestChild +
              "\" record-signals \"" + received + "\" &'\n");
    launch();
    ASSERT_TRUE(waitFor([&] {
        return property("ActiveState") == "active" && !test::readLines(received).empty();
    })) << "hung";
    EXPECT_EQ(mainPid(), 0);
    // Loaded and silent: connecting, and the wake is made (and refused by systemd).
    EXPECT_TRUE(waitForState(AgentState::running)) << "hung";
    ASSERT_TRUE(waitFor([&] { return manager->wakes > 0; })) << "hung";
    // A hang-up sent before this SIGUSR1 would be recorded before it.
    const int recorder = std::atoi(test::readLines(received).front().substr(6).c_str());
    ASSERT_EQ(::kill(recorder, SIGUSR1), 0);
    ASSERT_TRUE(waitFor([&] { return test::readLines(received).size() >= 2; })) << "hung";
    EXPECT_EQ(test::readLines(received),
              (std::vector<std::string>{test::readLines(received).front(), "USR1"}));
}

} // namespace
} // namespace quern
