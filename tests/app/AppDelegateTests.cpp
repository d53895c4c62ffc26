#include "app/AppDelegateFixture.h"

#include "platform/SystemColors.h"
#include "status/StatusDerivation.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace quern {
namespace {

using namespace std::chrono_literals;

class AppDelegateTest : public test::AppDelegateFixture {};

TEST_F(AppDelegateTest, ConstructionMakesTheViewsAndNothingElse) {
    const auto delegate = make();
    EXPECT_EQ(delegate->statusLabel()->text(), "正在检查");
    EXPECT_TRUE(delegate->detailLabel()->text().isEmpty());
    EXPECT_EQ(delegate->currentState(), AgentState::stopped);
    EXPECT_EQ(delegate->window(), nullptr);
    EXPECT_EQ(delegate->statusItem(), nullptr);
    EXPECT_EQ(delegate->timer(), nullptr);
    EXPECT_FALSE(delegate->lastAutomaticReconnect().has_value());
    EXPECT_EQ(delegate->computationsOfLocations(), 0);
    EXPECT_TRUE(calls().empty()); // no launchctl at construction

    EXPECT_EQ(delegate->healthFile(), configDir + "/health.json");
    EXPECT_EQ(delegate->agentLog(), configDir + "/agent.log");
    EXPECT_EQ(delegate->computationsOfLocations(), 3); // configDirectory once, for both
    EXPECT_EQ(&delegate->launchAgent(), &delegate->launchAgent());
    EXPECT_EQ(delegate->dashboardURL().toString(), QString::fromUtf8(kDashboardAddress.data()));
}

TEST_F(AppDelegateTest, LaunchPresentsTheFirstStateBeforeShowingTheWindowAndRepairsAStoppedAgent) {
    setLoaded(false);
    const auto delegate = make();
    QString titleWhenShown;
    struct ShowSpy : QObject {
        QString* seen;
        QLabel* label;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Show && seen->isEmpty())
                *seen = label->text();
            return false;
        }
    } spy;
    spy.seen = &titleWhenShown;
    spy.label = delegate->statusLabel();
    qApp->installEventFilter(&spy);
    delegate->applicationDidFinishLaunching();
    qApp->removeEventFilter(&spy);

    EXPECT_EQ(titleWhenShown, "代理已停止");
    EXPECT_TRUE(delegate->window()->isVisible());
    ASSERT_NE(delegate->timer(), nullptr);
    EXPECT_TRUE(delegate->timer()->isActive());
    EXPECT_EQ(delegate->timer()->interval(), 2000);
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_EQ(delegate->detailLabel()->text(), "代理已停止，正在自动启动");
    EXPECT_EQ(delegate->lastAutomaticReconnect(), clock->load());

    // One print from the refresh, then the automatic bootstrap from the background.
    ASSERT_TRUE(waitForCalls(2));
    EXPECT_EQ(calls(), (std::vector<std::string>{printCall(), bootstrapCall()}));
}

TEST_F(AppDelegateTest, RefreshDerivesTheStateAndWakesOnlyAValidProcessId) {
    struct Case {
        const char* name;
        bool loaded;
        double age;
        std::string busy;
        std::string pidLine;
        AgentState state;
        std::string_view detail;
        std::vector<std::string> backgroundCalls; // after the refresh's own print
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"online idle", true, 1, "", "\tpid = 4242\n", AgentState::online, kDetailIdle, {}},
        {"online busy", true, 1, "cmd-9", "\tpid = 4242\n", AgentState::online, kDetailBusy, {}},
        {"silent agent is woken", true, 40, "", "\tpid = 4242\n", AgentState::running, kDetailReconnecting,
         {"print", "kill|-HUP|4242"}},
        {"not loaded is bootstrapped", false, 1, "x", "", AgentState::stopped, kDetailStarting, {"bootstrap"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clearCalls();
        setLoaded(c.loaded, c.pidLine);
        writeHealth(clock->load() - c.age, c.busy);
        const auto delegate = make();
        delegate->buildWindow();
        delegate->buildStatusItem();
        delegate->refreshStatus();
        EXPECT_EQ(delegate->currentState(), c.state);
        EXPECT_EQ(delegate->detailLabel()->text().toStdString(), c.detail);

        std::vector<std::string> expected = {printCall()};
        for (const std::string& call : c.backgroundCalls)
            expected.push_back(call == "print" ? printCall() : call == "bootstrap" ? bootstrapCall() : call);
        ASSERT_TRUE(waitForCalls(expected.size()));
        EXPECT_EQ(calls(), expected);
    }
}

TEST_F(AppDelegateTest, AutomaticRepairsAreThrottledByTheInjectedClock) {
    setLoaded(false);
    const auto delegate = make();
    delegate->buildWindow();
    delegate->buildStatusItem();
    const double t = clock->load();
    struct Step {
        double at;
        bool acts;
    };
    const std::vector<Step> steps = {{t, true},        {t + 2, false},    {t + 4, false},   {t + 6, true},
                                     {t - 3600, true}, {t - 3598, false}, {t + 86400, true}};
    size_t expectedCalls = 0;
    double stamp = 0;
    for (const Step& step : steps) {
        clock->store(step.at);
        delegate->refreshStatus();
        expectedCalls += step.acts ? 2 : 1;
        if (step.acts)
            stamp = step.at;
        ASSERT_TRUE(waitForCalls(expectedCalls)) << step.at - t;
        EXPECT_EQ(delegate->lastAutomaticReconnect(), stamp) << step.at - t;
    }
    QTest::qWait(100);
    EXPECT_EQ(calls().size(), expectedCalls);
    // Coming online does not reset the stamp.
    setLoaded(true);
    writeHealth(clock->load());
    delegate->refreshStatus();
    EXPECT_EQ(delegate->currentState(), AgentState::online);
    EXPECT_EQ(delegate->lastAutomaticReconnect(), t + 86400);
}

TEST_F(AppDelegateTest, EachStateIsPresentedEverywhere) {
    const auto delegate = make();
    delegate->buildWindow();
    delegate->buildStatusItem();
    struct Case {
        AgentState state;
        std::string_view detail;
        SystemColor dot;
        std::string symbol;
        QString title, toggle, toggleSymbol;
    };
    const std::vector<Case> cases = {
        {AgentState::online, kDetailIdle, SystemColor::Green, "link.circle.fill", "设备在线", "停止代理",
         "stop.fill"},
        {AgentState::running, kDetailManualReconnect, SystemColor::Orange,
         "arrow.triangle.2.circlepath.circle", "正在连接", "停止代理", "stop.fill"},
        {AgentState::stopped, kDetailStarting, SystemColor::Red, "link.circle", "代理已停止", "启动代理",
         "play.fill"},
    };
    for (const Case& c : cases) {
        for (int repeat = 0; repeat < 2; ++repeat) { // the same call twice leaves the same display
            delegate->applyState(c.state, c.detail);
            EXPECT_EQ(delegate->currentState(), c.state);
            EXPECT_EQ(delegate->statusLabel()->text(), c.title);
            EXPECT_EQ(delegate->detailLabel()->text().toStdString(), c.detail);
            EXPECT_EQ(delegate->statusDot()->layerColor(), c.dot);
            EXPECT_EQ(delegate->statusItem()->imageSymbol(), c.symbol);
            EXPECT_EQ(delegate->statusItem()->imageDescription(), c.title);
            EXPECT_EQ(itemWithTag(delegate->statusItem()->menu(), 100)->text(), c.title);
            EXPECT_EQ(delegate->toggleButton()->text(), c.toggle);
            EXPECT_EQ(delegate->toggleButton()->property("symbol").toString(), c.toggleSymbol);
            EXPECT_EQ(delegate->toggleButton()->accessibleName(), c.toggle);
            EXPECT_FALSE(delegate->toggleButton()->icon().isNull());
        }
    }
    // A menu without the tagged line is left alone; the rest still follows.
    QAction* stateItem = itemWithTag(delegate->statusItem()->menu(), 100);
    setTag(stateItem, 0);
    delegate->applyState(AgentState::online, kDetailIdle);
    EXPECT_EQ(stateItem->text(), "代理已停止");
    EXPECT_EQ(delegate->statusLabel()->text(), "设备在线");
}

TEST_F(AppDelegateTest, ClosingHidesTheWindowAndShowWindowBringsBackTheSameOne) {
    setLoaded(true);
    writeHealth(clock->load());
    const auto delegate = make();
    delegate->applicationDidFinishLaunching();
    QWidget* window = delegate->window();
    ASSERT_TRUE(window->isVisible());
    EXPECT_FALSE(window->close()); // refused: hidden instead
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(delegate->window(), window);
    delegate->refreshStatus(); // views go on being updated while hidden
    delegate->showWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(delegate->window(), window);
    EXPECT_EQ(delegate->statusLabel()->window(), window);
    delegate->showWindow(); // already visible: still one window
    EXPECT_EQ(QApplication::topLevelWidgets().count(window), 1);
}

TEST_F(AppDelegateTest, TheMenuHasItsSevenEntries) {
    const auto delegate = make();
    delegate->buildWindow();
    delegate->buildStatusItem();
    ASSERT_NE(delegate->statusItem()->menu(), nullptr);
    EXPECT_EQ(delegate->statusItem()->trayIcon()->contextMenu(), delegate->statusItem()->menu());
    EXPECT_EQ(delegate->statusItem()->imageSymbol(), "link.circle");
    EXPECT_EQ(delegate->statusItem()->imageDescription(), "Quern Zova");
    const QList<QAction*> items = delegate->statusItem()->menu()->actions();
    ASSERT_EQ(items.size(), 7);
    struct Expected {
        bool separator;
        QString title;
        int tag;
        QKeySequence shortcut;
        bool enabled;
    };
    const std::vector<Expected> expected = {
        {false, "正在检查", 100, {}, false},
        {true, "", 0, {}, true},
        {false, "显示 Quern Zova", 0, {}, true},
        {false, "立即重连", 0, QKeySequence(Qt::CTRL | Qt::Key_R), true},
        {false, "打开控制台", 0, {}, true},
        {true, "", 0, {}, true},
        {false, "退出客户端", 0, QKeySequence(Qt::CTRL | Qt::Key_Q), true},
    };
    for (int i = 0; i < 7; ++i) {
        const Expected& e = expected[static_cast<size_t>(i)];
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i]->isSeparator(), e.separator);
        EXPECT_EQ(items[i]->text(), e.title);
        EXPECT_EQ(tagOf(items[i]), e.tag);
        EXPECT_EQ(items[i]->shortcut(), e.shortcut);
        EXPECT_EQ(items[i]->isEnabled(), e.enabled);
    }
    // "Show" brings the hidden window back.
    delegate->window()->hide();
    items[2]->trigger();
    EXPECT_TRUE(delegate->window()->isVisible());
}

} // namespace
} // namespace quern
