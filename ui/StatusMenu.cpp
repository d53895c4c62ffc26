#include "app/AppDelegate.h"

#include "ui/StatusItem.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

namespace quern {

void AppDelegate::buildStatusItem() {
    statusItem_ = std::make_unique<StatusItem>();
    statusItem_->setImage("link.circle", QStringLiteral("Quern Zova"));

    auto menu = std::make_unique<QMenu>();
    // A read-only line naming the state: no command, so it is greyed out; found by its tag alone.
    QAction* stateItem = menu->addAction(QStringLiteral("正在检查"));
    stateItem->setEnabled(false);
    setTag(stateItem, 100);
    menu->addSeparator();
    QAction* show = menu->addAction(QStringLiteral("显示 Quern Zova"));
    connect(show, &QAction::triggered, this, [this, show] { showWindow(show); });
    QAction* reconnect = menu->addAction(QStringLiteral("立即重连"));
    reconnect->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R)); // Command-R on macOS
    connect(reconnect, &QAction::triggered, this, &AppDelegate::reconnectAgent);
    QAction* dashboard = menu->addAction(QStringLiteral("打开控制台"));
    connect(dashboard, &QAction::triggered, this, &AppDelegate::openDashboard);
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("退出客户端"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &AppDelegate::quitApp);
    for (QAction* action : menu->actions())
        action->setShortcutVisibleInContextMenu(true);

    statusItem_->setMenu(std::move(menu));
    connect(statusItem_.get(), &StatusItem::clicked, this, [this] { showWindow(nullptr); });
    statusItem_->show();
}

} // namespace quern
