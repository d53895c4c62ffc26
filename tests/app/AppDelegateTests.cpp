#include "app/AppDelegateFixture.h"

#include "platform/SystemColors.h"
#include "status/StatusDerivation.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/StatusItem.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

namespace quern {
namespace {

class AppDelegateTest : public test::AppDelegateFixture {};

TEST_F(AppDelegateTest, LaunchShowsTheFirstStateBeforeTheWindowAndRepairsAStoppedAgent) {
    setLoaded(false);
    const auto delegate = make();
    // The title the window has at the moment it is first shown.
    struct ShowSpy : QObject {
        QString seen;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && seen.isEmpty())
                if (const auto* label = watched->findChild<QLabel*>(QStringLiteral("statusLabel")))
                    seen = label->text();
            return false;
        }
    } spy;
    qApp->installEventFilter(&spy);
    delegate->applicationDidFinishLaunching();
    qApp->removeEventFilter(&spy);

    EXPECT_EQ(spy.seen, "代理已停止");
    EXPECT_TRUE(delegate->window()->isVisible());
    EXPECT_TRUE(delegate->timer()->isActive());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    EXPECT_EQ(text(*delegate, "detailLabel").toStdString(), kDetailStarting);
    // The refresh's own question, then the automatic bootstrap from the background.
    ASSERT_TRUE(waitForCalls(2)) << "hung";
    EXPECT_EQ(calls(), (std::vector<std::string>{"reported", "start"}));
}

TEST_F(AppDelegateTest, ClosingHidesTheWindowAndShowWindowBringsBackTheSameOne) {
    setLoaded(true);
    writeHealth(1);
    const auto delegate = make();
    delegate->applicationDidFinishLaunching();
    QWidget* window = delegate->window();
    EXPECT_FALSE(window->close()); // refused: hidden instead
    EXPECT_FALSE(window->isVisible());
    delegate->refreshStatus(); // the views go on being updated while hidden
    menuItem("showWindowItem")->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(delegate->window(), window);
    EXPECT_EQ(text(*delegate, "statusLabel"), "设备在线"); // in that same window
    EXPECT_EQ(menuItem("stateItem")->text(), "设备在线");  // and on the menu's state line
}

} // namespace
} // namespace quern
