// Drives the client into faults of its tools and inputs: it must show the right state, never
// block on them, and leave no child and no descriptor behind.
#include "app/AppDelegateFixture.h"

#include "status/StatusDerivation.h"
#include "ui/Spinner.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>

#include <csignal>
#include <fcntl.h>
#include <thread>

namespace quern {
namespace {

class Faults : public test::AppDelegateFixture {
protected:
    void SetUp() override {
        AppDelegateFixture::SetUp();
        (void)built(); // Qt opens what it keeps for the process (fonts, tray) with the first window
        baseline = test::openDescriptorCount();
    }
    // Once the background work has ended every child is reaped and every descriptor closed.
    void TearDown() override {
        EXPECT_TRUE(waitFor([&] {
            return test::childProcesses().empty() && test::openDescriptorCount() == baseline;
        })) << "hung: "
            << test::childProcesses().size() << " children, " << test::openDescriptorCount()
            << " descriptors open, " << baseline << " at the start";
    }
    int baseline = 0;
};

// The runner's own tests hold the other ways a tool can fail; here, what the window shows of them.
TEST_F(Faults, AMissingOrHangingLaunchctlIsShownAsStoppedAndLeavesNothingBehind) {
    writeHealth(1);
    const std::vector<std::string> hang = {"hang"};
    for (const bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "hanging past its 3 s" : "missing");
        AppDelegate::Hooks hooks = this->hooks();
        hooks.launchctlPath = hangs ? test::kTestChild : "/nonexistent/launchctl";
        hooks.launcher = [&](SpawnRequest request) {
            if (hangs)
                request.arguments = hang;
            return spawnAndWait(request);
        };
        const auto delegate = AppDelegate::create(hooks);
        delegate->buildWindow();
        delegate->buildStatusItem();
        delegate->refreshStatus(); // returns: a hanging child is killed after its time
        EXPECT_EQ(delegate->currentState(), AgentState::stopped);
        EXPECT_TRUE(waitFor([&] {
            return test::childProcesses().empty() && test::openDescriptorCount() == baseline;
        })) << "hung: "
            << test::openDescriptorCount() << " descriptors open, " << baseline << " before";
    }
}

TEST_F(Faults, OnlyAPositiveProcessIdIsEverSignalled) {
    // A process that records the hang-ups it receives, reached through the real /bin/kill.
    const std::string received = root / "received";
    ChildProcess recorder = test::startProgram(test::kTestChild, {"record-signals", received});
    ASSERT_TRUE(test::waitUntil([&] { return !test::readLines(received).empty(); })) << "hung";
    const std::string pid = std::to_string(recorder.pid());
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
    // The fake records every kill; the real one is then given the same text.
    AppDelegate::Hooks hooks = this->hooks();
    hooks.launcher = [tools = tools](const SpawnRequest& request) {
        const SpawnResult recorded = tools->answer(request);
        if (!request.path.ends_with("kill"))
            return recorded;
        SpawnRequest real = request;
        real.path = "/bin/kill";
        return spawnAndWait(real);
    };
    const auto delegate = AppDelegate::create(hooks);
    size_t hangUps = 1; // the "ready" line
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pidLines);
        tools->clear();
        setLoaded(true, row.pidLines);
        delegate->wakeAgent(); // on this thread: every call it makes is recorded when it returns
        std::vector<std::string> expected = {printCall()};
        if (!row.kill.empty())
            expected.push_back(row.kill);
        EXPECT_EQ(calls(), expected);
        hangUps += row.kill.empty() ? 0 : 1;
        EXPECT_TRUE(test::waitUntil([&] { return test::readLines(received).size() == hangUps; }))
            << "hung: the recorder has " << test::readLines(received).size() - 1 << " hang-ups";
    }
}

TEST_F(Faults, UnusableHealthFilesNeverBlockAndNeverMakeTheAgentOnline) {
    setLoaded(true);
    const std::string health = configDir + "/health.json";
    const std::string fresh = "{\"server_ok_at\": " + std::to_string(clock->load()) + "}";
    struct Row {
        const char* name;
        std::function<void()> arrange;
    };
    const std::vector<Row> rows = {
        {"missing", [] {}},
        {"a FIFO", [&] { ::mkfifo(health.c_str(), 0600); }},
        {"a directory", [&] { ::mkdir(health.c_str(), 0700); }},
        {"50 MiB", [&] { test::writeFile(health, fresh + std::string(50 << 20, ' ')); }},
        {"a link to /dev/zero", [&] { (void)::symlink("/dev/zero", health.c_str()); }},
        {"unreadable (and stale, for root reads it all the same)",
         [&] {
             test::writeFile(health, "{\"server_ok_at\": 1}");
             ::chmod(health.c_str(), 0);
         }},
    };
    const auto delegate = built();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(health);
        row.arrange();
        delegate->refreshStatus(); // returns: opening a FIFO or a device never waits for a writer
        EXPECT_EQ(delegate->currentState(), AgentState::running);
    }
    std::filesystem::remove_all(health);

    // A writer rewriting the file in place, byte by byte: each refresh sees a whole record or none.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        while (writing) {
            const int fd = ::open(health.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            for (char c : fresh)
                (void)!::write(fd, &c, 1);
            ::close(fd);
        }
    });
    int online = 0;
    for (int i = 0; i < 200 || online == 0; ++i) {
        delegate->refreshStatus();
        online += delegate->currentState() == AgentState::online ? 1 : 0;
        ASSERT_LT(i, 100'000) << "hung: never saw a whole record";
    }
    writing = false;
    writer.join();
}

TEST_F(Faults, RapidClicksAllCompleteAndLeaveTheWindowIdle) {
    setLoaded(true, "\tpid = 4242\n");
    writeHealth(1);
    const auto delegate = built();
    delegate->refreshStatus();
    QAction* menuReconnect = delegate->statusItem()->menu()->actions().at(3);
    const QSignalSpy toggles(delegate->toggleButton(), &QPushButton::clicked);
    const QSignalSpy reconnects(delegate->reconnectButton(), &QPushButton::clicked);
    tools->clear();
    for (int i = 0; i < 50; ++i) {
        delegate->toggleButton()->click(); // ignored while disabled
        delegate->reconnectButton()->click();
        menuReconnect->trigger(); // the menu item is never disabled
        QCoreApplication::processEvents();
    }
    const long actions = toggles.count() + reconnects.count() + 50;
    EXPECT_GE(actions, 51);
    // Every action ends with exactly one refresh of its own, on the main thread.
    ASSERT_TRUE(waitFor([&] { return count(printCall(), true) >= actions; })) << "hung";
    EXPECT_EQ(count(printCall(), true), actions);
    EXPECT_TRUE(delegate->toggleButton()->isEnabled() && delegate->reconnectButton()->isEnabled());
    EXPECT_FALSE(delegate->activity()->isAnimating());
}

} // namespace
} // namespace quern
