#include "platform/ProcessSpawn.h"
#include "platform/Utf8.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <thread>

namespace quern {
namespace {

SpawnResult run(std::string_view path, const std::vector<std::string>& arguments,
                std::chrono::milliseconds timeout = test::kHangGuard) {
    SpawnRequest request;
    request.path = path;
    request.arguments = arguments;
    request.standardOutput = OutputMode::Capture;
    request.timeout = timeout;
    return spawnAndWait(request);
}

TEST(ProcessSpawn, ArgumentsArriveUnsplitAndStatusesAndSignalsComeBack) {
    const SpawnResult args =
        run(test::kTestChild,
            {"args", "bootstrap", "/home/Zoë M/Library/Launch Agents/x.plist", "", "$HOME", "a\"b"});
    EXPECT_EQ(args.output, "[bootstrap]\n[/home/Zoë M/Library/Launch Agents/x.plist]\n[]\n[$HOME]\n[a\"b]\n");
    struct Case {
        std::vector<std::string> arguments;
        int status;
    };
    for (const Case& c : std::vector<Case>{{{"exit", "0"}, 0},
                                           {{"exit", "113"}, 113},
                                           {{"signal", std::to_string(SIGTERM)}, SIGTERM},
                                           {{"signal", std::to_string(SIGKILL)}, SIGKILL}}) {
        const SpawnResult result = run(test::kTestChild, c.arguments);
        EXPECT_TRUE(result.started && result.status == c.status) << c.arguments[0] << c.arguments[1];
    }
}

TEST(ProcessSpawn, AToolThatCannotRunIsNotStarted) {
    const test::TempDir dir;
    const std::string notExecutable = dir / "launchctl";
    test::writeFile(notExecutable, "#!/bin/sh\nexit 0\n");
    ::chmod(notExecutable.c_str(), 0644);
    for (const std::string& path : {dir / "missing", notExecutable, dir.path().string()}) {
        const SpawnResult result = run(path, {"print"});
        EXPECT_FALSE(result.started) << path;
        EXPECT_FALSE(result.timedOut) << path; // refused at once, not waited out
        EXPECT_TRUE(result.output.empty()) << path;
    }
}

TEST(ProcessSpawn, OutputLargerThanAPipeComesBackWholeAndStreamsStayApart) {
    for (const int size : {0, 65536, 65537, 1 << 20})
        EXPECT_EQ(run(test::kTestChild, {"bytes", std::to_string(size)}).output.size(),
                  static_cast<size_t>(size));
    SpawnRequest request;
    const std::vector<std::string> streams = {"streams"};
    request.path = test::kTestChild;
    request.arguments = streams;
    request.standardOutput = OutputMode::Capture;
    request.standardError = OutputMode::Capture;
    const SpawnResult both = spawnAndWait(request);
    EXPECT_EQ(both.output, "out\n");
    EXPECT_EQ(both.errors, "to standard error\n");
}

TEST(ProcessSpawn, AHangingChildIsKilledAfterItsTimeAndReaped) {
    const auto start = std::chrono::steady_clock::now();
    const SpawnResult result = run(test::kTestChild, {"hang"}, std::chrono::milliseconds(300));
    EXPECT_FALSE(result.started);
    EXPECT_TRUE(result.timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(300)); // not before its time
    EXPECT_TRUE(test::childProcesses().empty());
}

TEST(ProcessSpawn, AnHeirHoldingTheOutputPipeDoesNotHoldTheCaller) {
    // The grandchild never closes the pipe: a runner waiting for end of file would run out its time.
    const SpawnResult result = run(test::kTestChild, {"heir"});
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    const int heir = std::atoi(result.output.c_str());
    ASSERT_GT(heir, 0);
    ::kill(heir, SIGKILL);
}

TEST(ProcessSpawn, LeavesNoDescriptorNoZombieAndPassesNoDescriptorOn) {
    const int before = test::openDescriptorCount();
    std::vector<std::thread> threads; // several at once, each with its own output
    std::atomic<int> correct{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i, &correct] {
            for (int j = 0; j < 10; ++j) {
                const std::string text = std::to_string(i) + "/" + std::to_string(j);
                correct += run(test::kTestChild, {"text", text}).output == text ? 1 : 0;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(correct.load(), 40);
    EXPECT_EQ(test::openDescriptorCount(), before);
    EXPECT_TRUE(test::childProcesses().empty());
    EXPECT_EQ(run(test::kTestChild, {"fds"}).output, "0\n");
}

TEST(Utf8, StrictValidation) {
    EXPECT_TRUE(isValidUtf8("pid = 12 设备在线 \xF0\x9F\x98\x80"));
    for (const char* bad : {"\xff", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE8\xAE"})
        EXPECT_FALSE(isValidUtf8(bad)) << bad; // stray, overlong, surrogate, beyond U+10FFFF, cut short
}

} // namespace
} // namespace quern
