// The client on its own timer against the real stand-in launchctl and agent, while the agent is
// killed, stopped, or crashes at every start.
#include "app/AppDelegate.h"
#include "status/HealthFile.h"
#include "status/StatusDerivation.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>

namespace quern {
namespace {

using namespace std::chrono_literals;

class AgentFaults : public ::testing::Test {
protected:
    void SetUp() override {
        for (const std::string& dir : {home, home + "/Library", home + "/Library/LaunchAgents", launchd})
            ::mkdir(dir.c_str(), 0700);
        // The stand-ins take their home and state from the environment they inherit; each test
        // runs in a process of its own, so setting them here races with nothing.
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("QUERN_LAUNCHD_DIR", launchd.c_str(), 1);
    }
    void TearDown() override {
        probe.stop();
        EXPECT_LT(longestGap, 1s) << "the main thread was held up";
        delegate.reset();
        (void)test::runWithEnvironment(QUERN_LAUNCHCTL_PATH, {"bootout", target()}, {});
        ::unsetenv("QUERN_LAUNCHD_THROTTLE");
    }

    [[nodiscard]] static std::string target() { return serviceTarget(::getuid(), kServiceLabel); }

    void writePlist(const std::vector<std::string>& agentArguments) const {
        std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                            "<key>Label</key><string>" +
                            std::string(kServiceLabel) +
                            "</string><key>ProgramArguments</key><array><string>" + QUERN_AGENT_PATH +
                            "</string>";
        for (const std::string& argument : agentArguments)
            plist += "<string>" + argument + "</string>";
        plist += "</array><key>KeepAlive</key><true/></dict></plist>\n";
        test::writeFile(home + "/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist", plist);
    }

    // Starts the client as at launch, recording the wakes and bootstraps it runs on its own.
    void launch() {
        AppDelegate::Hooks hooks = AppDelegate::Hooks::fromEnvironment();
        hooks.home = home;
        hooks.launchctlPath = QUERN_LAUNCHCTL_PATH;
        hooks.launcher = [this](const SpawnRequest& request) {
            const bool probe = request.standardOutput == OutputMode::Capture;
            const bool bootstrap = !request.arguments.empty() && request.arguments[0] == "bootstrap";
            if (probe || bootstrap) {
                std::lock_guard lock(repairsMutex);
                repairs.push_back(std::chrono::steady_clock::now());
            }
            return spawnAndWait(request);
        };
        delegate = AppDelegate::create(hooks);
        delegate->applicationDidFinishLaunching();
        // The window keeps answering: a main-thread round trip every 100 ms, its longest gap kept.
        probe.setInterval(100);
        QObject::connect(&probe, &QTimer::timeout, [this] {
            const auto now = std::chrono::steady_clock::now();
            if (lastTick)
                longestGap = std::max(longestGap, now - *lastTick);
            lastTick = now;
        });
        probe.start();
    }

    [[nodiscard]] int agentPid() const {
        const std::string description =
            test::runWithEnvironment(QUERN_LAUNCHCTL_PATH, {"print", target()}, {}).output;
        const auto at = description.find("pid = ");
        return at == std::string::npos ? 0 : std::atoi(description.c_str() + at + 6);
    }
    [[nodiscard]] bool waitForState(AgentState state, int ms) const {
        return QTest::qWaitFor([&] { return delegate->currentState() == state; }, ms);
    }

    test::TempDir root{"quern-faults"};
    const std::string home = root / "home dir ü";
    const std::string launchd = root / "launchd";
    std::shared_ptr<AppDelegate> delegate;
    QTimer probe;
    std::optional<std::chrono::steady_clock::time_point> lastTick;
    std::chrono::steady_clock::duration longestGap{};
    std::mutex repairsMutex;
    std::vector<std::chrono::steady_clock::time_point> repairs;
};

TEST_F(AgentFaults, AKilledAgentIsBroughtBack) {
    ::setenv("QUERN_LAUNCHD_THROTTLE", "1", 1);
    writePlist({"--interval", "1"});
    launch();
    ASSERT_TRUE(waitForState(AgentState::online, 10000));
    const int first = agentPid();
    ASSERT_GT(first, 0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return agentPid() > 0 && agentPid() != first; }, 10000));
    EXPECT_TRUE(waitForState(AgentState::online, 10000));
}

TEST_F(AgentFaults, AStoppedAgentIsWokenOnceItTurnsStaleAndRecoversWhenContinued) {
    const std::string hangUps = root / "hangups";
    writePlist({"--interval", "1", "--sighup-log", hangUps});
    launch();
    ASSERT_TRUE(waitForState(AgentState::online, 10000));
    const int pid = agentPid();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    // Silent for 12 seconds: shown as connecting, and a hang-up is sent (pending while stopped).
    EXPECT_TRUE(waitForState(AgentState::running, 16000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !repairs.empty(); }, 5000));
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !test::readLines(hangUps).empty(); }, 5000));
    EXPECT_TRUE(waitForState(AgentState::online, 5000));
    EXPECT_EQ(agentPid(), pid); // woken, not restarted
}

TEST_F(AgentFaults, ACrashLoopIsRepairedAtMostEveryFiveSecondsAndRespawnedAtMostEveryTen) {
    // Never connected and gone at once: shown as connecting the whole time, so every refresh
    // asks for a repair and only the throttles hold them back.
    writePlist({"--offline", "--exit-after", "0"});
    launch();
    QTest::qWait(23000);
    const std::vector<std::string> log = test::readLines(home + "/.quern-web-bridge/agent.log");
    int starts = 0;
    for (const std::string& line : log)
        starts += line.find("start") != std::string::npos ? 1 : 0;
    EXPECT_GE(starts, 2);
    EXPECT_LE(starts, 3); // launchd's throttle: at 0, 10 and 20 seconds at most
    std::lock_guard lock(repairsMutex);
    ASSERT_GE(repairs.size(), 3U);
    for (size_t i = 1; i < repairs.size(); ++i) {
        // A wake is a probe and no kill (no process), so one spawn per repair here.
        EXPECT_GE(repairs[i] - repairs[i - 1], 4900ms) << i;
    }
    EXPECT_TRUE(delegate->window()->isVisible());
}

} // namespace
} // namespace quern
