#include "platform/ProcessSpawn.h"
#include "platform/Utf8.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <thread>

namespace quern {
namespace {

using namespace std::chrono_literals;

SpawnResult run(std::string_view path, const std::vector<std::string>& arguments,
                OutputMode out = OutputMode::Capture, std::chrono::milliseconds timeout = 3000ms) {
    SpawnRequest request;
    request.path = path;
    request.arguments = arguments;
    request.standardOutput = out;
    request.timeout = timeout;
    return spawnAndWait(request);
}

TEST(ProcessSpawn, ArgumentsArriveUnsplitAndUnquoted) {
    const SpawnResult result =
        run(QUERN_TEST_CHILD,
            {"args", "bootstrap", "/home/Zoë M/Library/Launch Agents/x.plist", "", "$HOME", "a\"b"});
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output,
              "[bootstrap]\n[/home/Zoë M/Library/Launch Agents/x.plist]\n[]\n[$HOME]\n[a\"b]\n");
}

TEST(ProcessSpawn, ExitStatusesAndSignalsAreReported) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {{"exit", "0"}, 0},
        {{"exit", "113"}, 113},
        {{"exit", "5"}, 5},
        {{"signal", std::to_string(SIGTERM)}, SIGTERM},
        {{"signal", std::to_string(SIGKILL)}, SIGKILL},
    };
    for (const Case& c : cases) {
        const SpawnResult result = run(QUERN_TEST_CHILD, c.arguments, OutputMode::Null);
        EXPECT_TRUE(result.started) << c.arguments[0] << c.arguments[1];
        EXPECT_EQ(result.status, c.status) << c.arguments[0] << c.arguments[1];
    }
}

TEST(ProcessSpawn, MissingOrNotExecutableToolFailsAtOnce) {
    const test::TempDir dir;
    const std::string notExecutable = dir / "launchctl";
    test::writeFile(notExecutable, "#!/bin/sh\nexit 0\n");
    ::chmod(notExecutable.c_str(), 0644);
    for (const std::string& path : {dir / "missing", notExecutable, dir.path().string()}) {
        const auto start = std::chrono::steady_clock::now();
        const SpawnResult result = run(path, {"print"});
        EXPECT_FALSE(result.started) << path;
        EXPECT_TRUE(result.output.empty()) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << path;
    }
}

TEST(ProcessSpawn, OutputLargerThanAPipeComesBackWholeWithItsLineBreak) {
    for (const int size : {0, 1, 4096, 65536, 65537, 1 << 20}) {
        const SpawnResult result = run(QUERN_TEST_CHILD, {"bytes", std::to_string(size)});
        ASSERT_TRUE(result.started);
        EXPECT_EQ(result.output.size(), static_cast<size_t>(size));
    }
    EXPECT_EQ(run(QUERN_TEST_CHILD, {"text", "pid = 1\n"}).output, "pid = 1\n");
    EXPECT_EQ(run(QUERN_TEST_CHILD, {"stderr"}).output, "out\n"); // standard error is not captured
}

TEST(ProcessSpawn, HangingChildIsKilledReapedAndReportedAsNotStarted) {
    const auto start = std::chrono::steady_clock::now();
    const SpawnResult result = run(QUERN_TEST_CHILD, {"hang"}, OutputMode::Null, 300ms);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(result.started);
    EXPECT_TRUE(result.timedOut);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(test::childProcesses().empty());
}

TEST(ProcessSpawn, AnHeirHoldingTheOutputPipeDoesNotHoldTheCaller) {
    const auto start = std::chrono::steady_clock::now();
    const SpawnResult result = run(QUERN_TEST_CHILD, {"heir"}, OutputMode::Capture, 2000ms);
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.output, "parent done\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST(ProcessSpawn, LeavesNoDescriptorNoZombieAndPassesNoDescriptorOn) {
    const int before = test::openDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        (void)run(QUERN_TEST_CHILD, {"text", "x"});
        (void)run(QUERN_TEST_CHILD, {"exit", "3"}, OutputMode::Null);
    }
    EXPECT_EQ(test::openDescriptorCount(), before);
    EXPECT_TRUE(test::childProcesses().empty());
    EXPECT_EQ(run(QUERN_TEST_CHILD, {"fds"}).output, "0\n");
}

TEST(ProcessSpawn, ConcurrentCallsEachGetTheirOwnOutput) {
    std::vector<std::thread> threads;
    std::atomic<int> correct{0};
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([i, &correct] {
            for (int j = 0; j < 10; ++j) {
                const std::string text = "thread " + std::to_string(i) + " call " + std::to_string(j) + "\n";
                if (run(QUERN_TEST_CHILD, {"text", text}).output == text)
                    ++correct;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(correct.load(), 60);
}

TEST(Utf8, StrictValidation) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("pid = 12 设备在线 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8("\xff"));
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xE8\xAE"));         // cut short
}

} // namespace
} // namespace quern
