// Drives the client into faults of its tools and inputs: it must show the right state, never
// block on them, and leave no child and no descriptor behind.
#include "app/AppDelegateFixture.h"

#include "status/StatusDerivation.h"
#include "ui/Spinner.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>

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
    setLoaded(true);
    writeHealth(1);
    const auto delegate = built();
    delegate->refreshStatus();
    QPushButton* toggle = view<QPushButton>(*delegate, "toggleButton");
    QPushButton* reconnect = view<QPushButton>(*delegate, "reconnectButton");
    QAction* menuReconnect = menuItem("reconnectItem");
    const QSignalSpy toggles(toggle, &QPushButton::clicked);
    const QSignalSpy reconnects(reconnect, &QPushButton::clicked);
    service->clear();
    for (int i = 0; i < 50; ++i) {
        toggle->click(); // ignored while disabled
        reconnect->click();
        menuReconnect->trigger(); // the menu item is never disabled
        QCoreApplication::processEvents();
    }
    // Every click that landed ran its action (each reconnect exactly one probe) and every action
    // ended with exactly one refresh of its own, on the main thread.
    const long actions = toggles.count() + reconnects.count() + 50;
    ASSERT_TRUE(waitFor([&] { return count("reported", true) >= actions; })) << "hung";
    EXPECT_EQ(count("reported", true), actions);
    EXPECT_EQ(count("ask"), reconnects.count() + 50);
    EXPECT_TRUE(toggle->isEnabled() && reconnect->isEnabled());
    EXPECT_FALSE(view<Spinner>(*delegate, "activity")->isAnimating());
}

} // namespace
} // namespace quern
