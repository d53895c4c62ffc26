#include "app/AppDelegateFixture.h"

#include "platform/BackgroundQueue.h"
#include "status/StatusDerivation.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"

#include <QPushButton>

#include <cstdlib>

namespace quern {
namespace {

class AgentActionsTest : public test::AppDelegateFixture {
protected:
    static bool busy(const AppDelegate& d) {
        return !view<QPushButton>(d, "toggleButton")->isEnabled() &&
               !view<QPushButton>(d, "reconnectButton")->isEnabled() &&
               view<Spinner>(d, "activity")->isAnimating();
    }
    static bool idle(const AppDelegate& d) {
        return view<QPushButton>(d, "toggleButton")->isEnabled() &&
               view<QPushButton>(d, "reconnectButton")->isEnabled() &&
               !view<Spinner>(d, "activity")->isAnimating();
    }
};

TEST_F(AgentActionsTest, ToggleStartsOrStopsByTheLastPresentedStateAndEndsWithARefresh) {
    for (const AgentState presented : {AgentState::stopped, AgentState::online, AgentState::running}) {
        SCOPED_TRACE(title(presented));
        service->clear();
        setLoaded(presented != AgentState::stopped);
        writeHealth(1);
        const auto delegate = built();
        delegate->applyState(presented, "");
        delegate->toggleAgent();
        EXPECT_TRUE(busy(*delegate)); // before toggleAgent returns
        EXPECT_EQ(text(*delegate, "statusLabel").toStdString(), title(presented)); // nothing shown first
        ASSERT_TRUE(waitFor([&] { return idle(*delegate); })) << "hung";
        // A start is seen online by the completion's refresh. A stop is not remembered: that
        // refresh shows the agent stopped, and the automatic repair starts it again.
        const bool start = presented == AgentState::stopped;
        const std::vector<std::string> expected = start
                                                      ? std::vector<std::string>{"start", "reported"}
                                                      : std::vector<std::string>{"stop", "reported", "start"};
        ASSERT_TRUE(waitForCalls(expected.size())) << "hung";
        EXPECT_EQ(calls(), expected);
        EXPECT_EQ(count("reported", true), 1); // the completion's refresh runs on the main thread
        EXPECT_EQ(delegate->currentState(), start ? AgentState::online : AgentState::stopped);
        EXPECT_EQ(text(*delegate, "detailLabel").toStdString(), start ? kDetailIdle : kDetailStarting);
    }
}

TEST_F(AgentActionsTest, ReconnectWakesALoadedAgentAndLoadsAnUnloadedOne) {
    for (const bool loaded : {true, false}) {
        SCOPED_TRACE(loaded);
        service->clear();
        setLoaded(loaded);
        writeHealth(1);
        const auto delegate = built();
        delegate->reconnectAgent();
        EXPECT_EQ(delegate->currentState(), AgentState::running);
        EXPECT_EQ(text(*delegate, "detailLabel").toStdString(), kDetailManualReconnect);
        EXPECT_TRUE(busy(*delegate));
        // The probe, then the wake or a bootstrap, then the completion's refresh.
        const std::vector<std::string> expected = {"ask", loaded ? "wake" : "start", "reported"};
        ASSERT_TRUE(waitFor([&] { return idle(*delegate) && calls().size() >= expected.size(); })) << "hung";
        EXPECT_EQ(calls(), expected);
        EXPECT_EQ(delegate->currentState(), AgentState::online);
    }
}

// Quitting with an action under way: its completion finds the object gone and touches nothing. In a
// child process, because it ends the background queues for good.
TEST_F(AgentActionsTest, ACompletionWhoseObjectIsGoneTouchesNothing) {
    EXPECT_EXIT(
        {
            setLoaded(false);
            make()->toggleAgent();      // the object goes as the statement ends; the bootstrap is queued
            shutDownBackgroundQueues(); // every job has run and posted its completion
            QCoreApplication::sendPostedEvents();
            const bool ran = count("start") <= 1 && count("reported") == 0;
            std::_Exit(ran ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace quern
