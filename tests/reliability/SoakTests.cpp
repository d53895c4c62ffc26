// Many refreshes and actions in one process against the real stand-ins: nothing may accumulate.
#include "app/AppDelegate.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTest>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace quern {
namespace {

using namespace std::chrono_literals;

long statusField(const std::string& key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key + ":"))
            return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

struct Usage {
    int descriptors = test::openDescriptorCount();
    size_t children = test::childProcesses().size();
    long threads = statusField("Threads");
    long residentKiB = statusField("VmRSS");
};

TEST(Soak, TenThousandRefreshesAndAThousandActionsLeaveNothingBehind) {
    const test::TempDir root("quern-soak");
    const std::string home = root / "home";
    for (const std::string& dir : {home, home + "/Library", home + "/Library/LaunchAgents", root / "launchd"})
        ::mkdir(dir.c_str(), 0700);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("QUERN_LAUNCHD_DIR", (root / "launchd").c_str(), 1);
    const std::string target = serviceTarget(::getuid(), kServiceLabel);
    test::writeFile(home + "/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist",
                    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Label</key><string>" +
                        std::string(kServiceLabel) + "</string><key>ProgramArguments</key><array><string>" +
                        QUERN_AGENT_PATH + "</string></array></dict></plist>\n");
    ASSERT_EQ(
        test::runWithEnvironment(QUERN_LAUNCHCTL_PATH,
                                 {"bootstrap", domainTarget(::getuid()),
                                  home + "/Library/LaunchAgents/" + std::string(kServiceLabel) + ".plist"},
                                 {})
            .status,
        0);

    AppDelegate::Hooks hooks = AppDelegate::Hooks::fromEnvironment();
    hooks.home = home;
    hooks.launchctlPath = QUERN_LAUNCHCTL_PATH;
    hooks.settlePause = 0ms;
    const auto delegate = AppDelegate::create(hooks);
    delegate->buildWindow();
    delegate->buildStatusItem();

    const auto idle = [&] {
        return delegate->toggleButton()->isEnabled() && test::childProcesses().empty() &&
               !delegate->activity()->isAnimating();
    };
    // Actions in bursts of ten: each wakes the agent (a probe, a print, a kill) and ends in a refresh.
    const auto actions = [&](int count) {
        for (int i = 0; i < count; i += 10) {
            for (int j = 0; j < 10; ++j)
                delegate->reconnectAgent();
            ASSERT_TRUE(QTest::qWaitFor(idle, 10000));
        }
    };

    for (int i = 0; i < 100; ++i)
        delegate->refreshStatus();
    actions(100);
    const Usage settled;
    for (int i = 0; i < 10000; ++i)
        delegate->refreshStatus();
    actions(900);
    ASSERT_TRUE(QTest::qWaitFor(idle, 10000));
    const Usage after;

    EXPECT_EQ(after.descriptors, settled.descriptors);
    EXPECT_EQ(after.children, 0U);
    EXPECT_LE(after.threads, settled.threads);
    EXPECT_LE(after.residentKiB - settled.residentKiB, 1024) << settled.residentKiB << " KiB before";
    EXPECT_EQ(delegate->currentState(), AgentState::online);
    (void)test::runWithEnvironment(QUERN_LAUNCHCTL_PATH, {"bootout", target}, {});
}

} // namespace
} // namespace quern
