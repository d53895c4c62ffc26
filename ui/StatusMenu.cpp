#include "app/AppDelegate.h"

#include "ui/StatusItem.h"
#include "ui/Texts.h"
#include "ui/TrayMenu.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace quern {

void AppDelegate::buildStatusItem() {
    statusItem_ = std::make_unique<StatusItem>();
    statusItem_->setImage("link.circle", QString::fromUtf8(kAppName));

    auto menu = std::make_unique<TrayMenu>();
    menu->setObjectName(QStringLiteral("statusMenu"));
    // A read-only line naming the state: no command, so it is greyed out. Held here; its tag stays
    // its data.
    stateItem_ = menu->addAction(QString::fromUtf8(kChecking));
    stateItem_->setEnabled(false);
    stateItem_->setData(kStateItemTag);
    menu->addSeparator();
    QAction* show = menu->addAction(QString::fromUtf8(kShowWindow));
    connect(show, &QAction::triggered, this, [this, show] { showWindow(show); });
    QAction* reconnect = menu->addAction(QString::fromUtf8(kReconnectNow));
    reconnect->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R)); // Command-R on macOS
    connect(reconnect, &QAction::triggered, this, &AppDelegate::reconnectAgent);
    QAction* dashboard = menu->addAction(QString::fromUtf8(kOpenConsole));
    connect(dashboard, &QAction::triggered, this, &AppDelegate::openDashboard);
    menu->addSeparator();
    QAction* quit = menu->addAction(QString::fromUtf8(kQuitClient));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &AppDelegate::quitApp);
    // Named for accessibility tools and tests, which find them in the menu.
    stateItem_->setObjectName(QStringLiteral("stateItem"));
    show->setObjectName(QStringLiteral("showWindowItem"));
    reconnect->setObjectName(QStringLiteral("reconnectItem"));
    dashboard->setObjectName(QStringLiteral("dashboardItem"));
    quit->setObjectName(QStringLiteral("quitItem"));
    for (QAction* action : menu->actions())
        action->setShortcutVisibleInContextMenu(true);

    statusItem_->setMenu(std::move(menu));
    connect(statusItem_.get(), &StatusItem::clicked, this, [this] { showWindow(nullptr); });
    statusItem_->show();
}

} // namespace quern
