// The launchd side at the level of launchctl's and kill's argument lists, and against real children
// where what matters is what a real process receives.
#include "agent/LaunchdServiceManager.h"
#include "app/AgentLocations.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <unistd.h>

namespace quern {
namespace {

// launchctl and kill as the manager runs them: every call recorded ("launchctl|print|gui/…",
// "kill|-HUP|42") and answered from a table, by command.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::map<std::string, SpawnResult> answers;
    bool realKill = false; // hand kill's arguments on to /bin/kill

    SpawnResult operator()(const SpawnRequest& request) {
        const bool kill = request.path.ends_with("kill");
        std::string call = kill ? "kill" : "launchctl";
        for (const std::string& argument : request.arguments)
            call += "|" + argument;
        const std::lock_guard lock(mutex);
        calls.push_back(call);
        if (kill && realKill) {
            SpawnRequest real = request;
            real.path = "/bin/kill";
            return spawnAndWait(real);
        }
        SpawnResult answer = answers[kill ? "kill" : request.arguments.front()];
        answer.started = true;
        if (request.standardOutput != OutputMode::Capture)
            answer.output.clear();
        return answer;
    }
};

class LaunchdTest : public ::testing::Test {
protected:
    // On the recorder, or on the tools given.
    [[nodiscard]] LaunchdServiceManager manager() {
        LaunchdServiceManager::Tools tools;
        tools.launcher = [this](const SpawnRequest& request) { return recorder(request); };
        return manager(tools);
    }
    [[nodiscard]] LaunchdServiceManager manager(LaunchdServiceManager::Tools tools) {
        tools.killPath = "/fake/kill";
        return LaunchdServiceManager(tools, std::string(kServiceLabel), [this] { return plist; });
    }
    void answerPrint(int status, const std::string& output = "") {
        SpawnResult answer;
        answer.status = status;
        answer.output = output;
        recorder.answers["print"] = answer;
    }

    const std::string target = serviceTarget(::getuid(), kServiceLabel);
    const std::string plist =
        "/Users/Zoë Müller/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist";
    Recorder recorder;
};

TEST_F(LaunchdTest, EachOperationRunsItsOneLaunchctlCommand) {
    auto launchd = manager();
    answerPrint(0);
    EXPECT_TRUE(launchd.loaded());
    answerPrint(113);
    EXPECT_FALSE(launchd.probeLoaded());
    launchd.bootstrap();
    launchd.bootout();
    EXPECT_EQ(recorder.calls,
              (std::vector<std::string>{
                  "launchctl|print|" + target,
                  "launchctl|print|" + target,
                  "launchctl|bootstrap|" + domainTarget(::getuid()) + "|" + plist, // one argument
                  "launchctl|bootout|" + target,
              }));
}

TEST_F(LaunchdTest, AMissingOrHangingLaunchctlMeansNotLoadedAndLeavesNothingBehind) {
    const int descriptors = test::openDescriptorCount();
    for (const bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "hanging past its bound" : "missing");
        LaunchdServiceManager::Tools tools;
        tools.launchctlPath = hangs ? test::kTestChild : "/nonexistent/launchctl";
        tools.timeout = std::chrono::milliseconds(200);
        tools.launcher = [hangs](SpawnRequest request) {
            const std::vector<std::string> hang = {"hang"};
            if (hangs)
                request.arguments = hang;
            return spawnAndWait(request);
        };
        auto launchd = manager(tools);
        EXPECT_FALSE(launchd.loaded()); // returns: a hanging launchctl is killed after its bound
        launchd.wake();                 // nothing to signal
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
        {"\tpid = 0\n", ""},
        {"\tpid = -1\n", ""},
        {"\tpid = 18446744073709551616\n", ""},
        {"\tPID = 7\n", ""},
        {"\tpid =\n", ""},
        {"\tpid = +" + pid + "\n", "kill|-HUP|+" + pid},
        {"\tpid = 000" + pid + "\n", "kill|-HUP|000" + pid},
        {"\tpid = " + pid + "\n\tpid = 1\n", "kill|-HUP|" + pid},
        {"\tpid = " + pid + "\n\xff\n", ""}, // output that is not UTF-8 counts as none
    };
    recorder.realKill = true;
    auto launchd = manager();
    size_t hangUps = 1; // the "ready" line
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pidLines);
        recorder.calls.clear();
        answerPrint(0, "gui/501/x = {\n\tstate = running\n" + row.pidLines + "}\n");
        launchd.wake();
        std::vector<std::string> expected = {"launchctl|print|" + target};
        if (!row.kill.empty())
            expected.push_back(row.kill);
        EXPECT_EQ(recorder.calls, expected);
        hangUps += row.kill.empty() ? 0 : 1;
        EXPECT_TRUE(test::waitUntil([&] { return test::readLines(received).size() == hangUps; }))
            << "hung: the recorder has " << test::readLines(received).size() - 1 << " hang-ups";
    }
}

} // namespace
} // namespace quern
