// The client on its own timer against a real systemd user manager (private to this test program,
// made by scripts/user-manager.sh) and the stand-in agent as its unit: the agent killed, stopped,
// crashing, without a main process; the manager absent, stopped, the unit missing or masked.
#include "agent/SystemdServiceManager.h"
#include "app/AppDelegate.h"
#include "platform/SessionBus.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace quern {
namespace {

const std::string kUnit(kServiceUnit);

// Counts the wakes and bootstraps the client made, once each has returned.
class CountingManager final : public ServiceManager {
public:
    CountingManager(std::unique_ptr<ServiceManager> real, std::atomic<int>& wakes,
                    std::atomic<int>& bootstraps)
        : real_(std::move(real))
        , wakes_(wakes)
        , bootstraps_(bootstraps) {}
    std::optional<bool> lastReportedRunning() override { return real_->lastReportedRunning(); }
    bool askRunning() override { return real_->askRunning(); }
    bool start(IfFailed ifFailed) override {
        const bool reset = real_->start(ifFailed);
        ++bootstraps_;
        return reset;
    }
    void stop() override { real_->stop(); }
    void wake() override {
        real_->wake();
        ++wakes_;
    }
    void setChangeHandler(std::function<void(ServiceChange)> handler) override {
        real_->setChangeHandler(std::move(handler));
    }

private:
    std::unique_ptr<ServiceManager> real_;
    std::atomic<int>& wakes_;
    std::atomic<int>& bootstraps_;
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

    // The client as at launch, on its own timer and the real manager (behind a counter).
    void launch(std::chrono::milliseconds callTimeout = AppDelegate::kServiceManagerTimeout) {
        AppDelegate::Hooks hooks;
        hooks.home = home;
        hooks.serviceManager = [this, callTimeout] {
            return std::make_unique<CountingManager>(
                std::make_unique<SystemdServiceManager>(
                    kUnit,
                    sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                                      std::getenv("XDG_RUNTIME_DIR")),
                    callTimeout),
                wakes, bootstraps);
        };
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
    std::atomic<int> wakes{0};
    std::atomic<int> bootstraps{0};
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
    EXPECT_TRUE(waitFor([&] { return wakes > 0; })) << "hung";
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(waitFor([&] { return !test::readLines(hangUps).empty(); })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(mainPid(), pid); // woken, not restarted
}

TEST_F(SystemdAgent, ACrashLoopStoppedByItsStartLimitIsBroughtBack) {
    startManager();
    // Crashes at its first three starts; systemd gives up after three in an hour.
    const std::string starts = root / "starts";
    const std::string script = root / "crash three times.sh";
    test::writeFile(script, "n=$(wc -l < \"" + starts + "\" 2>/dev/null || echo 0)\necho >> \"" + starts +
                                "\"\n[ \"$n\" -ge 3 ] && exec \"" + test::kAgent +
                                "\" --interval 1\nexit 1\n");
    writeUnit("ExecStart=/bin/sh \"" + script +
              "\"\nRestart=always\nRestartSec=0.2\n[Unit]\nStartLimitBurst=3\nStartLimitIntervalSec=3600\n");
    launch();
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    // The fourth start came after the limit: only a reset of the failed unit allows it.
    EXPECT_EQ(test::readLines(starts).size(), 4u);
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
    EXPECT_TRUE(waitFor([&] { return bootstraps > 0; })) << "hung"; // refused: no such unit
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
    ASSERT_TRUE(waitFor([&] { return wakes > 0; })) << "hung";
    // A hang-up sent before this SIGUSR1 would be recorded before it.
    const int recorder = std::atoi(test::readLines(received).front().substr(6).c_str());
    ASSERT_EQ(::kill(recorder, SIGUSR1), 0);
    ASSERT_TRUE(waitFor([&] { return test::readLines(received).size() >= 2; })) << "hung";
    EXPECT_EQ(test::readLines(received),
              (std::vector<std::string>{test::readLines(received).front(), "USR1"}));
}

} // namespace
} // namespace quern
