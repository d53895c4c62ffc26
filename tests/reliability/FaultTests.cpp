// Drives the client into faults of its tools, its inputs and its agent, and checks that it keeps
// answering, shows the right state, and leaves nothing behind.
#include "app/AppDelegateFixture.h"

#include "status/StatusDerivation.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QSignalSpy>

#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <thread>

namespace quern {
namespace {

using namespace std::chrono_literals;

class Faults : public test::AppDelegateFixture {
protected:
    void SetUp() override {
        AppDelegateFixture::SetUp();
        (void)built(); // Qt opens what it keeps for the process (fonts, tray) with the first window
        baseline = test::openDescriptorCount();
    }
    // Whatever the fault, nothing is left behind once the background work has ended.
    void TearDown() override {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return settled() && test::openDescriptorCount() == baseline; }, 8000))
            << test::childProcesses().size() << " children, " << test::openDescriptorCount()
            << " descriptors open, " << baseline << " at the start";
    }
    // One refresh, timed: the main thread must be back within the bound.
    std::chrono::milliseconds timedRefresh(AppDelegate& delegate) {
        QElapsedTimer timer;
        timer.start();
        delegate.refreshStatus();
        return std::chrono::milliseconds(timer.elapsed());
    }
    std::shared_ptr<AppDelegate> built() {
        auto delegate = make();
        delegate->buildWindow();
        delegate->buildStatusItem();
        return delegate;
    }
    // Background repairs have ended and every child has been reaped.
    static bool settled() { return test::childProcesses().empty(); }
    int baseline = 0;
};

TEST_F(Faults, BrokenLaunchctlIsBoundedAndShownAsStopped) {
    struct Row {
        const char* name;
        std::function<void()> arrange;
        AgentState state;
        std::chrono::milliseconds atMost;
    };
    const std::string big(10 << 20, 'x');
    const std::vector<Row> rows = {
        {"missing", [this] { ::unlink((tools + "/launchctl").c_str()); }, AgentState::stopped, 500ms},
        {"not executable",
         [this] {
             ::unlink((tools + "/launchctl").c_str());
             test::writeFile(tools + "/launchctl", "#!/bin/sh\nexit 0\n");
             ::chmod((tools + "/launchctl").c_str(), 0644);
         },
         AgentState::stopped, 500ms},
        {"hanging", [this] { test::writeFile(tools + "/print.delay", "600000"); }, AgentState::stopped,
         3800ms},
        {"slow but in time",
         [this] {
             setLoaded(true);
             test::writeFile(tools + "/print.delay", "2500");
         },
         AgentState::online, 3500ms},
        {"printing 10 MiB", [this, &big] { setTool("print", 0, big); }, AgentState::online, 2000ms},
        {"printing bytes that are not UTF-8", [this] { setTool("print", 0, "\xff\xfe pid = 1\n"); },
         AgentState::online, 1000ms},
        {"ended by a signal",
         [this] {
             setLoaded(true);
             test::writeFile(tools + "/print.signal", std::to_string(SIGSEGV));
         },
         AgentState::stopped, 1000ms},
    };
    const int descriptors = baseline;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const char* file : {"print.delay", "print.signal", "calls.log"})
            ::unlink((tools + "/" + file).c_str());
        setLoaded(false);
        if (::access((tools + "/launchctl").c_str(), F_OK) != 0 ||
            ::access((tools + "/launchctl").c_str(), X_OK) != 0) {
            ::unlink((tools + "/launchctl").c_str());
            ASSERT_EQ(::symlink(QUERN_FAKE_LAUNCHCTL, (tools + "/launchctl").c_str()), 0);
        }
        writeHealth(clock->load());
        row.arrange();
        const auto delegate = built();
        EXPECT_LE(timedRefresh(*delegate), row.atMost);
        EXPECT_EQ(delegate->currentState(), row.state);
        // Once the background repair has ended, every child is reaped and every descriptor closed.
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return settled() && test::openDescriptorCount() == descriptors; }, 8000))
            << test::openDescriptorCount() << " descriptors open, " << descriptors << " before";
    }
}

TEST_F(Faults, OnlyAPositiveProcessIdIsEverSignalled) {
    // A process that records the hang-ups it receives, reached through the real /bin/kill.
    const std::string received = root / "received";
    test::ChildProcess recorder(QUERN_TEST_CHILD, {"record-signals", received}, {});
    ASSERT_TRUE(test::waitUntil([&] { return ::access(received.c_str(), F_OK) == 0 || recorder.running(); }));
    const std::string pid = std::to_string(recorder.pid());
    struct Row {
        std::string pidLines;
        std::vector<std::string> kills; // what reaches kill
    };
    const std::vector<Row> rows = {
        {"\tpid = 0\n", {}},
        {"\tpid = -1\n", {}},
        {"\tpid = 18446744073709551616\n", {}},
        {"\tPID = 7\n", {}},
        {"\tpid =\n", {}},
        {"\tpid = +" + pid + "\n", {"kill|-HUP|+" + pid}},
        {"\tpid = 000" + pid + "\n", {"kill|-HUP|000" + pid}},
        {"\tpid = " + pid + "\n\tpid = 1\n", {"kill|-HUP|" + pid}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pidLines);
        clearCalls();
        setLoaded(true, row.pidLines);
        writeHealth(clock->load() - 60);
        const auto delegate = built();
        delegate->refreshStatus(); // stale: the automatic wake
        ASSERT_TRUE(waitForCalls(2));
        QTest::qWait(200); // a kill, if any, follows its probe at once
        std::vector<std::string> kills;
        for (const std::string& call : calls())
            if (call.starts_with("kill"))
                kills.push_back(call);
        EXPECT_EQ(kills, row.kills);
    }

    // The real kill, given the texts the client passes on, reaches the recorder each time.
    AppDelegate::Hooks real = hooks();
    real.killPath = "/bin/kill";
    for (const std::string& text : {"+" + pid, "000" + pid}) {
        setLoaded(true, "\tpid = " + text + "\n");
        const size_t before = test::readLines(received).size();
        const auto delegate = AppDelegate::create(real);
        delegate->wakeAgent();
        EXPECT_TRUE(test::waitUntil([&] { return test::readLines(received).size() == before + 1; })) << text;
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
        {"empty", [&] { test::writeFile(health, ""); }},
        {"blanks", [&] { test::writeFile(health, "  \n\t"); }},
        {"an array", [&] { test::writeFile(health, "[" + fresh + "]"); }},
        {"a bare number", [&] { test::writeFile(health, "1800000000"); }},
        {"trailing comma", [&] { test::writeFile(health, fresh.substr(0, fresh.size() - 1) + ",}"); }},
        {"a comment", [&] { test::writeFile(health, "// agent\n" + fresh); }},
        {"torn", [&] { test::writeFile(health, fresh.substr(0, fresh.size() / 2)); }},
        {"a FIFO", [&] { ::mkfifo(health.c_str(), 0600); }},
        {"a directory", [&] { ::mkdir(health.c_str(), 0700); }},
        {"2 MiB", [&] { test::writeFile(health, fresh + std::string(2 << 20, ' ')); }},
        {"50 MiB", [&] { test::writeFile(health, fresh + std::string(50 << 20, ' ')); }},
        {"a link to /dev/zero", [&] { ::symlink("/dev/zero", health.c_str()); }},
        {"unreadable and stale",
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
        EXPECT_LT(timedRefresh(*delegate), 1000ms);
        EXPECT_EQ(delegate->currentState(), AgentState::running);
    }
    std::filesystem::remove_all(health);

    // A writer rewriting the file in place every few milliseconds: each refresh sees a whole
    // record or none, never blocks, never crashes.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        while (writing) {
            const int fd = ::open(health.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            for (char c : fresh) {
                (void)!::write(fd, &c, 1);
            }
            ::close(fd);
            std::this_thread::sleep_for(2ms);
        }
    });
    int online = 0;
    for (int i = 0; i < 200; ++i) {
        EXPECT_LT(timedRefresh(*delegate), 1000ms);
        online += delegate->currentState() == AgentState::online ? 1 : 0;
    }
    writing = false;
    writer.join();
    EXPECT_GT(online, 0);
}

TEST_F(Faults, RapidClicksAllCompleteAndLeaveTheWindowIdle) {
    setLoaded(true, "\tpid = 4242\n");
    writeHealth(clock->load());
    const auto delegate = built();
    delegate->refreshStatus();
    QAction* menuReconnect = delegate->statusItem()->menu()->actions().at(3);
    QSignalSpy toggles(delegate->toggleButton(), &QPushButton::clicked);
    QSignalSpy reconnects(delegate->reconnectButton(), &QPushButton::clicked);
    clearCalls();
    QElapsedTimer second;
    second.start();
    for (int i = 0; i < 50; ++i) {
        delegate->toggleButton()->click();
        delegate->reconnectButton()->click();
        menuReconnect->trigger();
        QTest::qWait(15);
    }
    EXPECT_LT(second.elapsed(), 2000);
    const int actions = static_cast<int>(toggles.count() + reconnects.count()) + 50;
    EXPECT_GE(actions, 51);
    // Every action ends with one refresh of its own; once all have ended the window is idle.
    const auto refreshes = [&] {
        int n = 0;
        for (const std::string& call : calls())
            n += call == printCall() ? 1 : 0;
        return n;
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return delegate->toggleButton()->isEnabled() && delegate->reconnectButton()->isEnabled() &&
                   !delegate->activity()->isAnimating() && test::childProcesses().empty();
        },
        15000));
    // Each reconnect probes once and wakes once (two prints); each completion prints once more.
    const int reconnectCount = static_cast<int>(reconnects.count()) + 50;
    EXPECT_TRUE(QTest::qWaitFor([&] { return refreshes() >= actions + 2 * reconnectCount; }, 10000));
    QTest::qWait(300);
    EXPECT_EQ(refreshes(), actions + 2 * reconnectCount);
}

} // namespace
} // namespace quern
