// The client on its own timer against the real launchd of a Mac, through the real /bin/launchctl:
// the demo agent a LaunchAgent in the user's gui/<uid> domain. The counterpart of
// SystemdAgentTests.cpp; built on macOS only, and compiled for macOS by scripts/macos-check.sh.
//
// The label is the test's own (the product's label, ".test-" and the test program's pid), and the
// property list lies in the test's temporary home: no step can reach a real install of the agent.
// Every test boots its job out and checks that launchd no longer knows it.
#include "agent/LaunchdServiceManager.h"
#include "agent/PidLine.h"
#include "status/AgentLocations.h"
#include "supervisor/Supervisor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTest>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace quern {
namespace {

class LaunchdAgent : public ::testing::Test {
protected:
    void SetUp() override {
        if (launchd.launchctl(std::vector<std::string>{"print", domainTarget(::getuid())}) != 0) {
            if (const char* ci = std::getenv("CI"); ci != nullptr && std::string(ci) == "true")
                FAIL() << "no gui/" << ::getuid() << " domain: run in a logged-in user's session";
            GTEST_SKIP() << "no gui/" << ::getuid() << " domain (not a logged-in Mac session)";
        }
        std::filesystem::create_directories(home);
        ready = true;
    }
    void TearDown() override {
        supervisor.reset();
        manager.reset();
        if (!ready)
            return;
        (void)launchd.launchctl(std::vector<std::string>{"bootout", target});
        // bootout returns before the job is gone.
        EXPECT_TRUE(waitFor([&] {
            return launchd.launchctl(std::vector<std::string>{"print", target}) != 0;
        })) << label
            << " is still loaded";
        std::filesystem::remove(plist);
        EXPECT_FALSE(std::filesystem::exists(plist));
    }

    // The agent's property list: kept alive by launchd, its home the test's.
    void writePlist(const std::string& sighupLog = {}) const {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                          "<key>Label</key><string>" +
                          label + "</string><key>ProgramArguments</key><array><string>" + test::kAgent +
                          "</string><string>--interval</string><string>1</string>";
        if (!sighupLog.empty())
            xml += "<string>--sighup-log</string><string>" + sighupLog + "</string>";
        xml += "</array><key>EnvironmentVariables</key><dict><key>HOME</key><string>" + home +
               "</string></dict><key>RunAtLoad</key><true/><key>KeepAlive</key><true/></dict></plist>\n";
        std::filesystem::create_directories(std::filesystem::path(plist).parent_path());
        test::writeFile(plist, xml);
    }
    void launch() {
        // The real /bin/launchctl and /bin/kill.
        manager = std::make_unique<LaunchdServiceManager>(Launchctl{Launchctl::Tools{}, label, plist});
        Supervisor::Hooks hooks;
        hooks.healthFile = AgentLocations::forHome(home).healthFile;
        supervisor = std::make_unique<Supervisor>(*manager, hooks);
        supervisor->start();
    }
    [[nodiscard]] int pid() const {
        const std::optional<std::string> text =
            pidTextFromDescription(launchd.launchctlOutput(std::vector<std::string>{"print", target}));
        return text ? std::atoi(text->c_str()) : 0;
    }
    [[nodiscard]] static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, 150'000); // launchd restarts at most every 10 s; stale after 12 s
    }
    [[nodiscard]] bool waitForState(AgentState state) const {
        return waitFor([&] { return supervisor->stateKnown() && supervisor->state() == state; });
    }

    const std::string label = std::string(kServiceLabel) + ".test-" + std::to_string(::getpid());
    const std::string target = serviceTarget(::getuid(), label);
    test::TempDir root{"quern-launchd"};
    const std::string home = root / "home dir ü";
    const std::string plist = home + "/Library/LaunchAgents/" + label + ".plist";
    const Launchctl launchd{Launchctl::Tools{}, label, plist};
    bool ready = false;
    std::unique_ptr<LaunchdServiceManager> manager;
    std::unique_ptr<Supervisor> supervisor;
};

TEST_F(LaunchdAgent, AStoppedAgentIsBootstrapped) {
    writePlist();
    ASSERT_NE(launchd.launchctl(std::vector<std::string>{"print", target}), 0);
    launch(); // nothing but the client loads it
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_GT(pid(), 0);
}

TEST_F(LaunchdAgent, AKilledAgentComesBack) {
    writePlist();
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int first = pid();
    ASSERT_GT(first, 0);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(waitFor([&] { return pid() > 0 && pid() != first; })) << "hung";
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
}

TEST_F(LaunchdAgent, ASilentAgentGetsSighup) {
    const std::string hangUps = root / "hang ups";
    writePlist(hangUps);
    launch();
    ASSERT_TRUE(waitForState(AgentState::online)) << "hung";
    const int agent = pid();
    ASSERT_EQ(::kill(agent, SIGUSR1), 0); // drops its connection: no more health records
    EXPECT_TRUE(waitForState(AgentState::running)) << "hung";
    EXPECT_TRUE(waitFor([&] { return !test::readLines(hangUps).empty(); }))
        << "hung"; // only the client sends it
    EXPECT_TRUE(waitForState(AgentState::online)) << "hung";
    EXPECT_EQ(pid(), agent); // woken, not restarted
}

} // namespace
} // namespace quern
