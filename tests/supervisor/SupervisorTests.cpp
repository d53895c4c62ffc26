// The supervisor's decisions against a service manager that answers asynchronously, on clocks the
// test sets: no display, no real manager.
#include "supervisor/FakeServiceManager.h"
#include "supervisor/Supervisor.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <filesystem>

namespace quern {
namespace {

using namespace std::chrono_literals;

class SupervisorTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(configDir); }

    // Launched, its first state shown; only the test makes refreshes and moves the clocks.
    Supervisor& launch(std::chrono::milliseconds settlePause = 50ms) {
        Supervisor::Hooks hooks;
        hooks.healthFile = configDir + "/health.json";
        hooks.wallClock = [this] { return wall; };
        hooks.steadyClock = [this] { return steady; };
        hooks.refreshInterval = 24h;
        hooks.settlePause = settlePause;
        supervisor = std::make_unique<Supervisor>(manager, hooks);
        manager.forget();
        supervisor->start();
        EXPECT_TRUE(waitFor([&] { return supervisor->stateKnown(); })) << "hung";
        return *supervisor;
    }
    void advance(std::chrono::milliseconds by) {
        wall += std::chrono::duration<double>(by).count();
        steady += by;
    }
    void writeHealth(double age) const {
        test::writeFile(configDir + "/health.json", "{\"server_ok_at\": " + std::to_string(wall - age) + "}");
    }
    static bool waitFor(const std::function<bool()>& condition) {
        return QTest::qWaitFor(condition, static_cast<int>(test::kHangGuard.count()));
    }
    // Runs what the manager has answered so far.
    static void settle() { QTest::qWait(0); }

    test::TempDir root{"quern-supervisor"};
    const std::string configDir = root / "Zoë 家/.quern-web-bridge";
    test::FakeServiceManager manager;
    double wall = 1'800'000'000.0;
    SteadyTime steady{std::chrono::hours(1000)};
    std::unique_ptr<Supervisor> supervisor;
};

TEST_F(SupervisorTest, NothingIsShownOrDoneBeforeTheManagersFirstAnswer) {
    manager.hold();
    Supervisor::Hooks hooks;
    hooks.healthFile = configDir + "/health.json";
    Supervisor early(manager, hooks);
    const QSignalSpy changes(&early, &Supervisor::stateChanged);
    early.start();
    settle();
    early.refreshStatus();
    early.toggleAgent(); // nothing known to decide by: no guess
    early.reconnectAgent();
    EXPECT_FALSE(early.stateKnown());
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(manager.calls, std::vector<std::string>{"refresh"});
    manager.release();
    ASSERT_TRUE(waitFor([&] { return early.stateKnown(); })) << "hung";
    EXPECT_EQ(early.state(), AgentState::stopped);
    EXPECT_EQ(early.detail(), Detail::starting);
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"refresh", "start"}));
}

// What each refresh repairs, 5 s apart on the steady clock whatever the wall clock does.
TEST_F(SupervisorTest, RepairsFollowTheStatusAndTheSteadyClock) {
    struct Row {
        const char* name;
        ServiceStatus service;
        double healthAge; // < 0: no health file
        std::vector<std::string> repairs;
    };
    const ServiceStatus stopped{}, loaded{true, false, false, false}, starting{true, true, false, false};
    const ServiceStatus killed{false, false, true, false}; // failed, its manager restarts nothing
    const std::vector<Row> rows = {
        {"stopped", stopped, -1, {"start"}},
        {"killed, not restarted by its manager", killed, -1, {"start"}},
        {"loaded and silent", loaded, 20, {"wake"}},
        {"loaded and fresh", loaded, 1, {}},
        {"a start in progress", starting, 20, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        manager.calls.clear();
        manager.service = row.service;
        std::filesystem::remove(configDir + "/health.json");
        if (row.healthAge >= 0)
            writeHealth(row.healthAge);
        launch();
        settle();
        EXPECT_EQ(manager.calls, [&] {
            std::vector<std::string> expected = {"refresh"};
            expected.insert(expected.end(), row.repairs.begin(), row.repairs.end());
            return expected;
        }());
        struct Step {
            double wallBy;
            std::chrono::milliseconds steadyBy;
            bool repairs;
        };
        // 5 s after the first; setting the wall clock holds nothing back and lets nothing through.
        for (const Step step :
             {Step{3600, 1s, false}, Step{-3600, 4s, true}, Step{-1, 4999ms, false}, Step{0, 1ms, true}}) {
            manager.service = row.service; // whatever the last repair did, the fault is back
            manager.report();
            wall += step.wallBy;
            steady += step.steadyBy;
            if (row.healthAge >= 0)
                writeHealth(row.healthAge);
            const size_t before = manager.calls.size();
            supervisor->refreshStatus();
            const std::vector<std::string> made(manager.calls.begin() + static_cast<long>(before),
                                                manager.calls.end());
            EXPECT_EQ(made, step.repairs ? row.repairs : std::vector<std::string>{});
            settle();
        }
        supervisor.reset();
    }
}

TEST_F(SupervisorTest, AServiceItsManagerGaveUpOnIsResetEverMoreRarelyAndSaysWhen) {
    manager.service = {false, false, true, true}; // failed, its manager's burst spent
    manager.crashes = true;
    auto& supervisor = launch();
    QSignalSpy held(&supervisor, &Supervisor::retryHeld);
    EXPECT_EQ(manager.count("reset+start"), 1);
    // Every second for a minute: resets 5, 10, 20 s apart, and in between the window names the next.
    std::vector<int> resetAt;
    for (int second = 1; second <= 60; ++second) {
        advance(1s);
        const long resets = manager.count("reset+start");
        supervisor.refreshStatus();
        settle();
        if (manager.count("reset+start") > resets) {
            resetAt.push_back(second);
            continue;
        }
        EXPECT_EQ(supervisor.state(), AgentState::stopped);
        ASSERT_EQ(supervisor.detail(), Detail::retryHeld) << second;
        const double nextReset = resetAt.empty() ? 5 : resetAt.back() + 5.0 * (1 << resetAt.size());
        EXPECT_EQ(supervisor.nextRetry().toSecsSinceEpoch(), static_cast<qint64>(1'800'000'000 + nextReset));
    }
    EXPECT_EQ(resetAt, (std::vector<int>{5, 15, 35}));
    EXPECT_EQ(manager.count("start"), 0);
    EXPECT_EQ(held.count(), 1); // one episode, one notice
    // The user's start ends the episode and resets at once; the loop goes on, is told again, and
    // the backoff starts over from the user's start.
    supervisor.toggleAgent();
    EXPECT_EQ(manager.count("reset+start"), 5);
    ASSERT_TRUE(waitFor([&] { return !supervisor.busy(); })) << "hung";
    EXPECT_EQ(supervisor.detail(), Detail::retryHeld);
    EXPECT_EQ(held.count(), 2);
    advance(5s);
    supervisor.refreshStatus();
    EXPECT_EQ(manager.count("reset+start"), 6);
}

TEST_F(SupervisorTest, AUsersActionsAreBusyUntilTheLastHasSettledAndEachEndsWithALook) {
    manager.service = {true, false, false, false};
    writeHealth(1);
    auto& supervisor = launch(200ms);
    ASSERT_EQ(supervisor.state(), AgentState::online);
    QSignalSpy busy(&supervisor, &Supervisor::busyChanged);
    manager.hold();
    supervisor.toggleAgent(); // online: a stop
    EXPECT_TRUE(supervisor.busy());
    supervisor.reconnectAgent(); // a second, before the first has been answered
    EXPECT_EQ(supervisor.detail(), Detail::manualReconnect);
    manager.release();
    ASSERT_TRUE(waitFor([&] { return !supervisor.busy(); })) << "hung";
    EXPECT_EQ(busy.count(), 2); // busy once, idle once: not idle while the reconnect still ran
    // The stop, the reconnect's fresh look and its start; then each completion's refresh finds the
    // agent stopped only if the stop came last.
    EXPECT_EQ(manager.count("stop"), 1);
    EXPECT_EQ(manager.count("query"), 1);
    EXPECT_EQ(manager.count("wake") + manager.count("reset+start"), 1);
    EXPECT_NE(supervisor.detail(), Detail::manualReconnect); // a look has replaced it
}

TEST_F(SupervisorTest, ReconnectWakesWhatIsLoadedStartsWhatIsNotAndLeavesAStartInProgress) {
    struct Row {
        ServiceStatus service;
        const char* repair;
    };
    for (const Row& row :
         {Row{{true, false, false, false}, "wake"}, Row{{false, false, true, true}, "reset+start"},
          Row{{true, true, false, false}, nullptr}}) {
        manager.calls.clear();
        manager.service = row.service;
        manager.crashes = row.service.failed;
        writeHealth(1);
        launch().reconnectAgent();
        ASSERT_TRUE(waitFor([&] { return !supervisor->busy(); })) << "hung";
        std::vector<std::string> expected = {"query"};
        if (row.repair != nullptr)
            expected.emplace_back(row.repair);
        const std::vector<std::string> made(std::ranges::find(manager.calls, "query"), manager.calls.end());
        EXPECT_EQ(std::vector(made.begin(),
                              made.begin() + static_cast<long>(std::min(made.size(), expected.size()))),
                  expected);
        EXPECT_EQ(std::ranges::count(made, "wake") + std::ranges::count(made, "reset+start"),
                  row.repair != nullptr ? 1 : 0);
        supervisor.reset();
    }
}

TEST_F(SupervisorTest, WhatTheUserHasJustStartedIsNotRepairedOnItsHeels) {
    auto& supervisor = launch(); // stopped: started at once
    manager.service = {};
    manager.report();
    ASSERT_TRUE(waitFor([&] { return supervisor.state() == AgentState::stopped; })) << "hung";
    advance(5s);
    supervisor.toggleAgent();
    ASSERT_TRUE(waitFor([&] { return !supervisor.busy(); })) << "hung";
    // Loaded, and no health written yet: a wake now could end it before it set its SIGHUP handler.
    EXPECT_EQ(supervisor.state(), AgentState::running);
    EXPECT_EQ(manager.count("wake"), 0);
}

TEST_F(SupervisorTest, AStormOfReportsIsLookedAtAFewTimesAndTheLastOneShows) {
    auto& supervisor = launch();
    const QSignalSpy changes(&supervisor, &Supervisor::stateChanged);
    writeHealth(1);
    for (int i = 0; i < 501; ++i) {
        manager.service.running = !manager.service.running;
        manager.report();
    }
    ASSERT_TRUE(waitFor([&] { return supervisor.state() == AgentState::online; })) << "hung";
    EXPECT_LE(changes.count(), 3);
}

TEST_F(SupervisorTest, ANewManagerIsRepairedAtOnce) {
    auto& supervisor = launch();
    ASSERT_EQ(manager.count("start"), 1);
    advance(1s);
    emit manager.managerAppeared(); // the repair reached no manager
    manager.report();
    supervisor.refreshStatus();
    EXPECT_EQ(manager.count("start"), 2);
}

} // namespace
} // namespace quern
