// The client on its own timer against the real stand-in launchctl and agent, while the agent is
// killed or stopped.
#include "app/AppDelegate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTest>

#include <csignal>
#include <cstdlib>

namespace quern {
namespace {

class AgentFaults : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(home + "/Library/LaunchAgents");
        // The stand-ins take their home and state from the environment they inherit; each test
        // runs in a process of its own, so setting them here races with nothing.
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("QUERN_LAUNCHD_DIR", (root / "launchd").c_str(), 1);
    }
    void TearDown() override {
        delegate.reset();
        (void)test::run(test::kLaunchctl, {"bootout", target()});
    }

    [[nodiscard]] static std::string target() { return serviceTarget(::getuid(), kServiceLabel); }

    void writePlist(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), test::kAgent);
        test::writeFile(home + "/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist",
                        test::jobPlist(std::string(kServiceLabel), arguments, "<key>KeepAlive</key><true/>"));
    }

    // Starts the client as at launch, on its own timer.
    void launch() {
        AppDelegate::Hooks hooks = AppDelegate::Hooks::fromEnvironment();
        hooks.home = home;
        hooks.launchctlPath = test::kLaunchctl;
        delegate = AppDelegate::create(hooks);
        delegate->applicationDidFinishLaunching();
    }
    [[nodiscard]] static int agentPid() {
        const std::string description = test::run(test::kLaunchctl, {"print", target()}).output;
        const auto at = description.find("pid = ");
        return at == std::string::npos ? 0 : std::atoi(description.c_str() + at + 6);
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, 150'000); // ten times the longest wait here, a stale agent's 14 s
    }
    [[nodiscard]] bool waitForState(AgentState state) const {
        return waitFor([&] { return delegate->currentState() == state; });
    }

    test::TempDir root{"quern-faults"};
    const std::string home = root / "home dir ü";
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AgentFaults, AKilledAgentIsBroughtBack) {
    ::setenv("QUERN_LAUNCHD_THROTTLE", "1", 1);
    writePlist({"--interval", "1"});
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int first = agentPid();
    ASSERT_GT(first, 0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return agentPid() > 0 && agentPid() != first; })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(AgentFaults, AStoppedAgentIsWokenOnceItTurnsStaleAndRecoversWhenContinued) {
    const std::string hangUps = root / "hangups";
    writePlist({"--interval", "1", "--sighup-log", hangUps});
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int pid = agentPid();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    // Silent for 12 seconds: shown as connecting, and a hang-up is sent (pending while stopped).
    EXPECT_TRUE(waitForState(AgentState::running)) << "hung";
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(waitFor([&] { return !test::readLines(hangUps).empty(); })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(agentPid(), pid); // woken, not restarted
}

} // namespace
} // namespace quern
