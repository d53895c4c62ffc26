// The views bound to the supervisor: what the window and the tray menu show, and that they share
// one set of commands.
#include "app/ClientFixture.h"

#include "status/AgentIdentity.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"

#include <QDesktopServices>
#include <QMenu>
#include <QPushButton>

namespace quern {
namespace {

class ClientTest : public test::ClientFixture {};

TEST_F(ClientTest, TheWindowAppearsOnlyWithTheFirstStateAndItsToggleMatchesIt) {
    auto& client = make();
    manager->hold();
    client.launch();
    QTest::qWait(0);
    // The manager has not answered: nothing is shown that a click could act on.
    EXPECT_FALSE(client.window().isVisible());
    EXPECT_FALSE(client.commands().toggle()->isEnabled());
    EXPECT_FALSE(client.commands().reconnect()->isEnabled());
    // The title and the toggle the window has at the moment it is first shown.
    struct ShowSpy : QObject {
        QString title, toggle;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && title.isEmpty() &&
                qobject_cast<MainWindow*>(watched) != nullptr) {
                title = watched->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
                toggle = watched->findChild<QPushButton*>(QStringLiteral("toggleButton"))->text();
            }
            return false;
        }
    } spy;
    qApp->installEventFilter(&spy);
    manager->release();
    ASSERT_TRUE(waitFor([&] { return client.window().isVisible(); })) << "hung";
    qApp->removeEventFilter(&spy);
    EXPECT_EQ(spy.title, "代理已停止");
    EXPECT_EQ(spy.toggle, "启动代理");
    EXPECT_EQ(text("detailLabel"), "代理已停止，正在自动启动");
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
}

TEST_F(ClientTest, ClosingHidesTheWindowAndTheMenuBringsBackTheSameOne) {
    service.running = true;
    writeHealth(1);
    auto& client = launched();
    QWidget* window = &client.window();
    EXPECT_FALSE(window->close()); // refused: hidden instead
    EXPECT_FALSE(window->isVisible());
    menuItem("showWindowAction")->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(text("statusLabel"), "设备在线");
    EXPECT_EQ(menuItem("stateItem")->text(), "设备在线"); // the menu's state line
    EXPECT_EQ(menuItem("stateItem")->data().toInt(), kStateItemTag);
}

TEST_F(ClientTest, ABusyCommandDisablesTheButtonsAndTheMenuTogetherUntilItHasSettled) {
    service.running = true;
    writeHealth(1);
    auto& client = launched(std::chrono::milliseconds(300));
    auto* toggle = view<QPushButton>("toggleButton");
    auto* reconnect = view<QPushButton>("reconnectButton");
    QAction* menuReconnect = menuItem("reconnectAction");
    ASSERT_NE(menuReconnect, nullptr);
    EXPECT_EQ(toggle->text(), "停止代理");
    const auto enabled = [&] {
        return std::vector<bool>{toggle->isEnabled(), reconnect->isEnabled(), menuReconnect->isEnabled(),
                                 !view<Spinner>("activity")->isAnimating()};
    };
    reconnect->click();
    EXPECT_EQ(text("detailLabel"), "正在重新连接");
    EXPECT_EQ(enabled(), std::vector<bool>(4, false));
    menuReconnect->trigger(); // disabled: ignored
    toggle->click();
    ASSERT_TRUE(waitFor([&] { return !client.supervisor().busy(); })) << "hung";
    EXPECT_EQ(enabled(), std::vector<bool>(4, true));
    EXPECT_EQ(manager->count("query"), 1);
    EXPECT_EQ(manager->count("stop"), 0);
}

// Receives QDesktopServices::openUrl in place of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

TEST_F(ClientTest, ReturnTheButtonAndTheMenuCommandAllOpenTheConsole) {
    auto& client = launched();
    const UrlCatcher catcher;
    client.window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&client.window()));
    QTest::keyClick(&client.window(), Qt::Key_Return);
    view<QPushButton>("dashboardButton")->click();
    menuItem("dashboardAction")->trigger();
    ASSERT_EQ(catcher.urls.size(), 3);
    for (const QUrl& url : catcher.urls)
        EXPECT_EQ(url.toString().toStdString(), kDashboardAddress);
}

TEST(ElidingLabel, ALongTextStaysOnOneLineShortenedInTheMiddle) {
    QWidget window;
    window.setFixedWidth(300);
    const QString longText = "开始" + QString(200, QChar(u'长')) + "结束";
    auto* label = new ElidingLabel(longText, &window);
    label->setElideMode(Qt::ElideMiddle);
    label->setGeometry(0, 0, 300, 20);
    EXPECT_EQ(label->text(), longText); // the text itself is kept whole
    const QString displayed = label->displayedText();
    EXPECT_TRUE(displayed.startsWith("开始") && displayed.endsWith("结束") &&
                displayed.contains(QChar(0x2026)))
        << displayed.toStdString();
    EXPECT_LE(label->fontMetrics().horizontalAdvance(displayed), label->width());
}

} // namespace
} // namespace quern

#include "ClientTests.moc"
