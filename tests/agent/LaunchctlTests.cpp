// The launchd side at the level of launchctl's and kill's argument lists, and against real children
// where what matters is what a real process receives.
#include "agent/Launchctl.h"
#include "status/AgentLocations.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace quern {
namespace {

// launchctl and kill as the manager runs them: every call recorded ("launchctl|print|gui/…",
// "kill|-HUP|42"); launchctl answers print with the status and text set, kill's arguments go on to
// the real /bin/kill.
class LaunchdTest : public ::testing::Test {
protected:
    [[nodiscard]] Launchctl manager(Launchctl::Tools tools = {}, bool record = true) {
        if (record) {
            tools.launcher = [this](SpawnRequest request) {
                std::string call = request.path.ends_with("kill") ? "kill" : "launchctl";
                for (const std::string& argument : request.arguments)
                    call += "|" + argument;
                calls.push_back(call);
                if (call.starts_with("kill")) {
                    request.path = "/bin/kill";
                    return spawnAndWait(request);
                }
                SpawnResult answer = print;
                answer.started = true;
                answer.output = request.standardOutput == OutputMode::Capture ? print.output : "";
                return answer;
            };
        }
        tools.killPath = "/fake/kill";
        return Launchctl(tools, std::string(kServiceLabel), plist);
    }

    const std::string domain = "gui/" + std::to_string(::getuid());
    const std::string target = domain + "/" + std::string(kServiceLabel);
    const std::string plist =
        "/Users/Zoë Müller/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist";
    std::vector<std::string> calls;
    SpawnResult print;
};

TEST_F(LaunchdTest, EachOperationRunsItsOneLaunchctlCommand) {
    auto launchd = manager();
    print.status = 0;
    EXPECT_TRUE(launchd.loaded());
    print.status = 113;
    EXPECT_FALSE(launchd.loaded());
    launchd.bootstrap();
    launchd.bootout();
    EXPECT_EQ(appendPathComponent("/Users/Zoë Müller", launchAgentRelativePath(kServiceLabel)), plist);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "launchctl|print|" + target,
                         "launchctl|print|" + target,
                         "launchctl|bootstrap|" + domain + "|" + plist, // one argument
                         "launchctl|bootout|" + target,
                     }));
}

TEST_F(LaunchdTest, AMissingOrHangingLaunchctlMeansNotLoadedAndLeavesNothingBehind) {
    const int descriptors = test::openDescriptorCount();
    for (const bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "hanging past its bound" : "missing");
        Launchctl::Tools tools;
        tools.launchctlPath = hangs ? test::kTestChild : "/nonexistent/launchctl";
        tools.timeout = std::chrono::milliseconds(200);
        const std::vector<std::string> hang = {"hang"};
        tools.launcher = [&](SpawnRequest request) {
            if (hangs)
                request.arguments = hang;
            return spawnAndWait(request);
        };
        auto launchd = manager(tools, false);
        EXPECT_FALSE(launchd.loaded()); // returns: a hanging launchctl is killed after its bound
        launchd.hangUp();               // nothing to signal
        EXPECT_TRUE(test::childProcesses().empty());
        EXPECT_EQ(test::openDescriptorCount(), descriptors);
    }
}

TEST_F(LaunchdTest, OnlyAPositiveProcessIdIsEverSignalled) {
    // A process that records the hang-ups it receives, reached through the real /bin/kill.
    const test::TempDir dir;
    const std::string received = dir / "received";
    ChildProcess signalRecorder = test::startProgram(test::kTestChild, {"record-signals", received});
    ASSERT_TRUE(test::waitUntil([&] { return !test::readLines(received).empty(); })) << "hung";
    const std::string pid = std::to_string(signalRecorder.pid());
    struct Row {
        std::string pidLines;
        std::string kill; // the call that reaches kill, if any
    };
    const std::vector<Row> rows = {
        // what the parser refuses is refused here too: its own table
        {"\tpid = 0\n", ""},
        {"\tpid = +" + pid + "\n", "kill|-HUP|+" + pid},
        {"\tpid = 000" + pid + "\n", "kill|-HUP|000" + pid},
        {"\tpid = " + pid + "\n\tpid = 1\n", "kill|-HUP|" + pid},
        {"\tpid = " + pid + "\n\xff\n", ""}, // output that is not UTF-8 counts as none
    };
    auto launchd = manager();
    size_t hangUps = 1; // the "ready" line
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pidLines);
        calls.clear();
        print.output = "gui/501/x = {\n\tstate = running\n" + row.pidLines + "}\n";
        launchd.hangUp();
        std::vector<std::string> expected = {"launchctl|print|" + target};
        if (!row.kill.empty())
            expected.push_back(row.kill);
        EXPECT_EQ(calls, expected);
        hangUps += row.kill.empty() ? 0 : 1;
        EXPECT_TRUE(test::waitUntil([&] { return test::readLines(received).size() == hangUps; }))
            << "hung: the recorder has " << test::readLines(received).size() - 1 << " hang-ups";
    }
}

} // namespace
} // namespace quern
