#include "app/AppDelegateFixture.h"

#include "platform/SystemColors.h"
#include "status/StatusDerivation.h"
#include "ui/CardBox.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>

namespace quern {
namespace {

using namespace std::chrono_literals;

class MainWindowTest : public test::AppDelegateFixture {
protected:
    std::shared_ptr<AppDelegate> shown() {
        setLoaded(true);
        writeHealth(clock->load());
        auto delegate = make();
        delegate->applicationDidFinishLaunching();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(delegate->window()));
        return delegate;
    }
    template <typename T> static T* child(const AppDelegate& d, const char* name) {
        return d.window()->findChild<T*>(QString::fromLatin1(name));
    }
    static QRect inWindow(const QWidget* w) { return QRect(w->mapTo(w->window(), QPoint()), w->size()); }
};

// Receives QDesktopServices::openUrl in place of a browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

TEST_F(MainWindowTest, LayoutHasTheFixedGeometry) {
    const auto delegate = shown();
    QWidget* window = delegate->window();
    EXPECT_EQ(window->size(), QSize(460, 420));
    EXPECT_EQ(window->minimumSize(), window->maximumSize()); // not resizable
    EXPECT_EQ(window->windowTitle(), "Quern Zova");
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);

    const QRect column = inWindow(child<QWidget>(*delegate, "contentStack"));
    EXPECT_EQ(column.left(), 28);
    EXPECT_EQ(column.top(), 46);
    EXPECT_EQ(column.width(), 404);
    EXPECT_LE(column.bottom() + 1, 420 - 24);

    const auto* card = window->findChild<CardBox*>();
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->height(), 78);
    EXPECT_EQ(card->width(), 404);

    const QRect dashboard = inWindow(child<QPushButton>(*delegate, "dashboardButton"));
    const QRect reconnect = inWindow(delegate->reconnectButton());
    const QRect toggle = inWindow(delegate->toggleButton());
    const QRect logs = inWindow(child<QPushButton>(*delegate, "logsButton"));
    for (const QRect& r : {dashboard, reconnect, toggle, logs})
        EXPECT_EQ(r.width(), 197);
    EXPECT_EQ(reconnect.left() - dashboard.right() - 1, 10);
    EXPECT_EQ(logs.left() - toggle.right() - 1, 10);
    EXPECT_EQ(dashboard.height(), 44);
    EXPECT_EQ(toggle.height(), 40);
    EXPECT_EQ(dashboard.left(), 28);

    const auto* footnote = child<QLabel>(*delegate, "footnoteLabel");
    EXPECT_EQ(inWindow(footnote).width(), 404);
    EXPECT_TRUE(footnote->wordWrap());
    EXPECT_LE(footnote->height(), footnote->fontMetrics().lineSpacing() * 2);
    EXPECT_EQ(footnote->text(),
              "后台代理会随登录自动启动。窗口关闭后，菜单栏中的连接图标仍可用于查看状态和重新连接。");

    EXPECT_EQ(delegate->statusLabel()->font().pixelSize(), 18);
    EXPECT_EQ(delegate->statusDot()->size(), QSize(12, 12));
    EXPECT_EQ(delegate->reconnectButton()->text(), "立即重连");
    EXPECT_EQ(child<QPushButton>(*delegate, "logsButton")->text(), "查看日志");
}

TEST_F(MainWindowTest, ALongDetailStaysOnOneLineShortenedInTheMiddle) {
    const auto delegate = shown();
    const QString longDetail = "开始" + QString(200, QChar(u'长')) + "结束";
    delegate->applyState(AgentState::online, longDetail.toStdString());
    ElidingLabel* detail = delegate->detailLabel();
    EXPECT_EQ(detail->text(), longDetail); // the text itself is kept whole
    const QString shown = detail->displayedText();
    EXPECT_TRUE(shown.startsWith("开始"));
    EXPECT_TRUE(shown.endsWith("结束"));
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    EXPECT_LE(detail->fontMetrics().horizontalAdvance(shown), detail->width());
    EXPECT_EQ(detail->height(), delegate->detailLabel()->sizeHint().height());
    EXPECT_LE(inWindow(detail).right(), 28 + 404);
}

TEST_F(MainWindowTest, TheSpinnerKeepsItsPlaceWhileStoppedAndRunsOnlyWhileBusy) {
    const auto delegate = shown();
    Spinner* spinner = delegate->activity();
    EXPECT_FALSE(spinner->isAnimating());
    EXPECT_TRUE(spinner->isVisible());
    EXPECT_GT(spinner->width(), 0);
    const QRect before = inWindow(spinner);
    delegate->toggleAgent();
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_EQ(inWindow(spinner), before);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !spinner->isAnimating(); }, 5000));
}

TEST_F(MainWindowTest, ReturnAndBothDashboardCommandsOpenTheConsole) {
    const auto delegate = shown();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    delegate->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->window()));
    QTest::keyClick(delegate->window(), Qt::Key_Return);
    child<QPushButton>(*delegate, "dashboardButton")->click();
    delegate->openDashboard(); // as the menu item does
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.urls.size(), 3);
    for (const QUrl& url : catcher.urls)
        EXPECT_EQ(url, delegate->dashboardURL());
    EXPECT_TRUE(delegate->dashboardURL().path().isEmpty());
}

} // namespace
} // namespace quern

#include "MainWindowTests.moc"
