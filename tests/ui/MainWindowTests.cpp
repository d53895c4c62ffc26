#include "app/AppDelegateFixture.h"

#include "ui/ElidingLabel.h"

#include <QDesktopServices>
#include <QPushButton>

namespace quern {
namespace {

class MainWindowTest : public test::AppDelegateFixture {
protected:
    std::shared_ptr<AppDelegate> shown() {
        setLoaded(true);
        writeHealth(1);
        auto delegate = make();
        delegate->applicationDidFinishLaunching();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(delegate->window()));
        return delegate;
    }
};

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

TEST_F(MainWindowTest, ALongDetailStaysOnOneLineShortenedInTheMiddle) {
    const auto delegate = shown();
    const QString longDetail = "开始" + QString(200, QChar(u'长')) + "结束";
    delegate->applyState(AgentState::online, longDetail.toStdString());
    const ElidingLabel* detail = view<ElidingLabel>(*delegate, "detailLabel");
    EXPECT_EQ(detail->text(), longDetail); // the text itself is kept whole
    const QString displayed = detail->displayedText();
    EXPECT_TRUE(displayed.startsWith("开始") && displayed.endsWith("结束") &&
                displayed.contains(QChar(0x2026)))
        << displayed.toStdString();
    EXPECT_LE(detail->fontMetrics().horizontalAdvance(displayed), detail->width());
    EXPECT_LE(detail->mapTo(detail->window(), QPoint(detail->width(), 0)).x(), detail->window()->width());
}

TEST_F(MainWindowTest, ReturnTheButtonAndTheMenuCommandAllOpenTheConsole) {
    const auto delegate = shown();
    const UrlCatcher catcher;
    delegate->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(delegate->window()));
    QTest::keyClick(delegate->window(), Qt::Key_Return);
    delegate->window()->findChild<QPushButton*>(QStringLiteral("dashboardButton"))->click();
    menuItem("dashboardItem")->trigger();
    ASSERT_EQ(catcher.urls.size(), 3);
    for (const QUrl& url : catcher.urls)
        EXPECT_EQ(url.toString().toStdString(), kDashboardAddress);
}

} // namespace
} // namespace quern

#include "MainWindowTests.moc"
