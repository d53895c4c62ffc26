#include "app/AppDelegateFixture.h"

#include "status/StatusDerivation.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>

#include <algorithm>

namespace quern {
namespace {

using namespace std::chrono_literals;

class AgentActionsTest : public test::AppDelegateFixture {
protected:
    // A launched-like object without the timer, so only actions cause refreshes.
    std::shared_ptr<AppDelegate> built(std::chrono::milliseconds settle = 50ms) {
        auto delegate = make(settle);
        delegate->buildWindow();
        delegate->buildStatusItem();
        return delegate;
    }
    static bool busy(const AppDelegate& d) {
        return !d.toggleButton()->isEnabled() && !d.reconnectButton()->isEnabled() &&
               d.activity()->isAnimating();
    }
    static bool idle(const AppDelegate& d) {
        return d.toggleButton()->isEnabled() && d.reconnectButton()->isEnabled() &&
               !d.activity()->isAnimating();
    }
    [[nodiscard]] size_t count(const std::string& call) const {
        const auto all = calls();
        return static_cast<size_t>(std::count(all.begin(), all.end(), call));
    }
};

TEST_F(AgentActionsTest, ToggleStartsOrStopsByTheLastPresentedState) {
    struct Case {
        AgentState presented;
        bool bootstrap;
    };
    for (const Case c : {Case{AgentState::stopped, true}, Case{AgentState::online, false},
                         Case{AgentState::running, false}}) {
        clearCalls();
        setLoaded(true);
        writeHealth(clock->load());
        const auto delegate = built(300ms);
        delegate->applyState(c.presented, "");
        delegate->toggleAgent();
        EXPECT_TRUE(busy(*delegate)); // entered before toggleAgent returns
        EXPECT_EQ(delegate->statusLabel()->text().toStdString(),
                  title(c.presented)); // nothing presented first
        // The action, then after the settle pause one refresh (a print) ends the busy display.
        ASSERT_TRUE(QTest::qWaitFor([&] { return idle(*delegate); }, 5000));
        EXPECT_EQ(calls(),
                  (std::vector<std::string>{c.bootstrap ? bootstrapCall() : bootoutCall(), printCall()}));
        EXPECT_EQ(delegate->currentState(), AgentState::online);
    }
}

TEST_F(AgentActionsTest, ReconnectWakesALoadedAgentAndLoadsAnUnloadedOne) {
    for (const bool loaded : {true, false}) {
        SCOPED_TRACE(loaded);
        clearCalls();
        setLoaded(loaded, "\tpid = 777\n");
        writeHealth(clock->load()); // the completion's refresh then finds a loaded agent online
        const auto delegate = built(200ms);
        delegate->reconnectAgent();
        EXPECT_EQ(delegate->currentState(), AgentState::running);
        EXPECT_EQ(delegate->detailLabel()->text().toStdString(), kDetailManualReconnect);
        EXPECT_TRUE(busy(*delegate));
        ASSERT_TRUE(QTest::qWaitFor([&] { return idle(*delegate); }, 5000));
        // probe, then the wake (print and kill) or a bootstrap, then the completion's refresh;
        // an unloaded agent is then also bootstrapped by the automatic repair.
        const std::vector<std::string> expected =
            loaded ? std::vector<std::string>{printCall(), printCall(), "kill|-HUP|777", printCall()}
                   : std::vector<std::string>{printCall(), bootstrapCall(), printCall(), bootstrapCall()};
        ASSERT_TRUE(waitForCalls(expected.size()));
        EXPECT_EQ(calls(), expected);
        EXPECT_EQ(delegate->currentState(), loaded ? AgentState::online : AgentState::stopped);
    }
}

TEST_F(AgentActionsTest, AReconnectDuringAToggleRunsBothWithTwoCompletions) {
    setLoaded(true);
    setTool("bootout", 0);
    writeHealth(clock->load());
    const auto delegate = built(400ms);
    delegate->applyState(AgentState::online, kDetailIdle);
    delegate->toggleAgent();
    // The menu item stays enabled while the buttons are not.
    QAction* reconnect = delegate->statusItem()->menu()->actions().at(3);
    EXPECT_TRUE(reconnect->isEnabled());
    reconnect->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return count("kill|-HUP|4242") == 1; }, 5000));
    // Both completions run: each ends with its own refresh, so three prints in all (one from the
    // reconnect's probe, two from the completions) beside the one inside the wake.
    ASSERT_TRUE(QTest::qWaitFor([&] { return count(printCall()) == 4; }, 5000));
    EXPECT_TRUE(idle(*delegate));
    EXPECT_EQ(count(bootoutCall()), 1U);
}

TEST_F(AgentActionsTest, ACompletionWhoseObjectIsGoneTouchesNothing) {
    setLoaded(false);
    {
        const auto delegate = built(100ms);
        delegate->toggleAgent(); // stopped: a bootstrap
    }
    // The action may still run (it may have taken hold of the object first), but no refresh
    // follows it and nothing crashes when the completion finds the object gone.
    QTest::qWait(600);
    for (const std::string& call : calls())
        EXPECT_EQ(call, bootstrapCall());
    EXPECT_EQ(count(printCall()), 0U);
}

} // namespace
} // namespace quern
