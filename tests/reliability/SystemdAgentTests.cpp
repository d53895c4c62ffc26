// The client on its own timer against a real systemd user manager (private to this test program,
// made by scripts/user-manager.sh) and the stand-in agent as its unit: the agent killed, stopped,
// crashing, without a main process; the manager absent, stopped, the unit missing or masked.
#include "agent/SystemdServiceManager.h"
#include "app/AppDelegate.h"
#include "platform/BackgroundQueue.h"
#include "platform/SessionBus.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace quern {
namespace {

const std::string kUnit(kServiceUnit);

// Counts the wakes, starts and resets the client made. Each count goes up on the main thread two
// turns after the call returned, so a test that sees it knows the client has taken in what the same
// job handed back.
class CountingManager final : public ServiceManager {
public:
    struct Counts {
        int wakes = 0;
        int starts = 0;
        int resets = 0;
    };
    CountingManager(std::unique_ptr<ServiceManager> real, Counts& counts)
        : real_(std::move(real))
        , counts_(counts) {}
    std::optional<bool> lastReportedRunning() override { return real_->lastReportedRunning(); }
    bool askRunning() override { return real_->askRunning(); }
    bool start(IfFailed ifFailed) override {
        const bool reset = real_->start(ifFailed);
        count([reset](Counts& counts) {
            ++counts.starts;
            counts.resets += reset ? 1 : 0;
        });
        return reset;
    }
    void stop() override { real_->stop(); }
    void wake() override {
        real_->wake();
        count([](Counts& counts) { ++counts.wakes; });
    }
    void setChangeHandler(std::function<void(ServiceChange)> handler) override {
        real_->setChangeHandler(std::move(handler));
    }

private:
    void count(std::function<void(Counts&)> add) {
        dispatchToMain(
            [&counts = counts_, add = std::move(add)] { dispatchToMain([&counts, add] { add(counts); }); });
    }
    std::unique_ptr<ServiceManager> real_;
    Counts& counts_;
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
    void TearDown() override { delegate.reset(); } // the manager and its units end with the program

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

    // The client as at launch, on its own timer and the real manager (behind a counter); on the
    // test's clock when it has one.
    void launch(std::chrono::milliseconds callTimeout = AppDelegate::kServiceManagerTimeout) {
        AppDelegate::Hooks hooks;
        hooks.home = home;
        hooks.serviceManager = [this, callTimeout] {
            auto made = std::make_unique<CountingManager>(
                std::make_unique<SystemdServiceManager>(
                    kUnit,
                    sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                                      std::getenv("XDG_RUNTIME_DIR")),
                    callTimeout),
                counts);
            manager = made.get();
            return made;
        };
        if (clock > 0)
            hooks.clock = [this] { return clock.load(); };
        delegate = AppDelegate::create(hooks);
        delegate->applicationDidFinishLaunching();
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, 150'000); // ten times the longest wait here, a stale agent's 14 s
    }
    [[nodiscard]] bool waitForState(AgentState state) const {
        return waitFor([&] { return delegate->currentState() == state; });
    }

    test::TempDir root{"quern-systemd"};
    const std::string home = root / "home dir ü";
    const std::string unitFolder =
        std::string(std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "") + "/systemd/user";
    int managerPid = 0;
    CountingManager::Counts counts;
    ServiceManager* manager = nullptr; // the client's, while it lives
    std::atomic<double> clock{0};      // the wall clock while 0
    std::shared_ptr<AppDelegate> delegate;
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
    EXPECT_TRUE(waitFor([&] { return counts.wakes > 0; })) << "hung";
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(waitFor([&] { return !test::readLines(hangUps).empty(); })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(mainPid(), pid); // woken, not restarted
}

TEST_F(SystemdAgent, ACrashLoopIsResetEverMoreRarelyAndAtOnceWhenTheUserStartsIt) {
    startManager();
    // Five starts a burst, then systemd gives up until the unit is reset; it runs once fixed. Each
    // step waits until the client too has heard that the unit failed, so that its repair is a start.
    const std::string starts = root / "starts";
    const std::string fixed = root / "fixed";
    const std::string script = root / "crash until fixed.sh";
    test::writeFile(script, "echo >> \"" + starts + "\"\n[ -e \"" + fixed + "\" ] && exec \"" + test::kAgent +
                                "\" --interval 1\nexit 1\n");
    writeUnit("ExecStart=/bin/sh \"" + script +
              "\"\nRestart=always\nRestartSec=0\n[Unit]\nStartLimitBurst=5\nStartLimitIntervalSec=3600\n");
    // Behind the wall clock, so that the agent's own times read fresh once it runs.
    clock = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - 3600;
    launch();
    const auto burstsEnded = [&](int bursts) {
        return waitFor([&] {
            return test::readLines(starts).size() == 5u * static_cast<unsigned>(bursts) &&
                   property("ActiveState") == "failed" && manager->lastReportedRunning() == false;
        });
    };
    ASSERT_TRUE(waitFor([&] { return counts.starts == 1; })) << "hung";
    ASSERT_TRUE(burstsEnded(1)) << "hung";
    // A repair every 5 s of the client's clock for two minutes: the resets spread out.
    for (int step = 1; step <= 24; ++step) {
        clock = clock + 5.0;
        delegate->refreshStatus();
        ASSERT_TRUE(waitFor([&] { return counts.starts == step + 1; })) << "hung";
        ASSERT_TRUE(burstsEnded(counts.resets + 1)) << "hung";
    }
    EXPECT_EQ(counts.resets, 5);
    // The user's start resets it at once, however recent the last reset.
    test::writeFile(fixed, "");
    delegate->toggleAgent();
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(counts.resets, 6);
    EXPECT_EQ(test::readLines(starts).size(), 5u * 6 + 1);
}

TEST_F(SystemdAgent, AStormOfChangesIsLookedAtAFewTimesAndEndsInTheRightState) {
    startManager();
    writeUnit("ExecStart=\"" + test::kAgent + "\" --interval 1\n[Unit]\nStartLimitIntervalSec=0\n");
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    int presented = 0;
    const QObject counting;
    QObject::connect(delegate.get(), &AppDelegate::statePresented, &counting, [&] { ++presented; });
    // Stopped and started as fast as the manager takes it, from another connection, while the main
    // thread is busy: every report of the storm waits in its queue at once.
    std::atomic<bool> done{false};
    std::thread storm([&] {
        const QDBusConnection bus = QDBusConnection::connectToBus(
            QString::fromStdString(
                sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"))),
            QStringLiteral("storm"));
        for (int i = 0; i < 600; ++i) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.systemd1"), QStringLiteral("/org/freedesktop/systemd1"),
                QStringLiteral("org.freedesktop.systemd1.Manager"),
                i % 2 == 0 ? QStringLiteral("StopUnit") : QStringLiteral("StartUnit"));
            call << QString::fromStdString(kUnit) << QStringLiteral("replace");
            (void)bus.call(call);
        }
        done = true;
    });
    const bool finished = test::waitUntil([&] { return done.load(); });
    storm.join();
    ASSERT_TRUE(finished) << "hung";
    // Hundreds of reports, a handful of looks: one at the first, one as each 100 ms window closes,
    // the timer's, and the agent coming online after the last start.
    EXPECT_TRUE(waitFor([&] {
        return presented > 0 && delegate->currentState() == AgentState::online &&
               property("ActiveState") == "active";
    })) << "hung";
    EXPECT_LE(presented, 20);
}

TEST_F(SystemdAgent, ARestartedManagerIsAskedAndTheAgentStartedAtOnce) {
    startManager();
    writeAgentUnit();
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    delegate->timer()->stop();                 // only what the manager reports can bring the agent back now
    ASSERT_EQ(::kill(managerPid, SIGTERM), 0); // it stops the agent on its way out
    ASSERT_TRUE(waitForState(AgentState::stopped)) << "hung";
    startManager();
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(SystemdAgent, AManagerAbsentOrStoppedReadsStoppedAndIsPickedUpOnceItAnswers) {
    writeAgentUnit();
    launch(); // a login race: the bus is up, the manager is not
    EXPECT_EQ(delegate->currentState(), AgentState::stopped);
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
        delegate->refreshStatus(); // answered from what the manager said last
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
    EXPECT_EQ(delegate->currentState(), AgentState::stopped);
    EXPECT_TRUE(waitFor([&] { return counts.starts > 0; })) << "hung"; // refused: no such unit
    EXPECT_EQ(delegate->currentState(), AgentState::stopped);
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
    ASSERT_TRUE(waitFor([&] { return counts.wakes > 0; })) << "hung";
    // A hang-up sent before this SIGUSR1 would be recorded before it.
    const int recorder = std::atoi(test::readLines(received).front().substr(6).c_str());
    ASSERT_EQ(::kill(recorder, SIGUSR1), 0);
    ASSERT_TRUE(waitFor([&] { return test::readLines(received).size() >= 2; })) << "hung";
    EXPECT_EQ(test::readLines(received),
              (std::vector<std::string>{test::readLines(received).front(), "USR1"}));
}

} // namespace
} // namespace quern
