#include "ui/StatusItem.h"

#include "platform/Desktop.h"
#include "platform/SymbolImages.h"
#include "supervisor/Supervisor.h"
#include "ui/Commands.h"
#include "ui/StatePresentation.h"
#include "ui/Texts.h"
#include "ui/TrayMenu.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace quern {

StatusItem::StatusItem(Supervisor& supervisor, Commands& commands, QObject* parent)
    : QObject(parent)
    , supervisor_(supervisor)
    , tray_(new QSystemTrayIcon(this))
    , menu_(std::make_unique<TrayMenu>()) {
    menu_->setObjectName(QStringLiteral("statusMenu"));
    // A read-only line naming the state: no command, so it is greyed out.
    stateItem_ = menu_->addAction(QString::fromUtf8(kChecking));
    stateItem_->setObjectName(QStringLiteral("stateItem"));
    stateItem_->setEnabled(false);
    stateItem_->setData(kStateItemTag);
    menu_->addSeparator();
    menu_->addAction(commands.showWindow());
    menu_->addAction(commands.reconnect());
    menu_->addAction(commands.openDashboard());
    menu_->addSeparator();
    menu_->addAction(commands.quit());
    tray_->setContextMenu(menu_.get());
    // Where a click opens the menu (macOS), it does nothing else.
    if (!Desktop::instance().trayClickOpensMenu())
        connect(tray_, &QSystemTrayIcon::activated, commands.showWindow(),
                [&commands](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        commands.showWindow()->trigger();
                });
    symbol_ = "link.circle";
    refreshImage();
    tray_->setToolTip(QString::fromUtf8(kAppName));
    connect(&supervisor_, &Supervisor::stateChanged, this, &StatusItem::stateChanged);
    connect(&supervisor_, &Supervisor::retryHeld, this, &StatusItem::retryHeld);
}

StatusItem::~StatusItem() {
    tray_->setContextMenu(nullptr); // the tray does not own the menu; detach before it goes
}

void StatusItem::stateChanged() {
    if (!supervisor_.stateKnown())
        return;
    const StatePresentation look = presentationFor(supervisor_.state());
    const QString title = stateTitle(supervisor_.state());
    stateItem_->setText(title);
    if (look.statusSymbol != symbol_) {
        symbol_ = look.statusSymbol;
        refreshImage();
    }
    if (tray_->toolTip() != title)
        tray_->setToolTip(title); // also the icon's accessible description
}

void StatusItem::retryHeld(const QDateTime& nextRetry) {
    // Qt sends it to the desktop's notification service with a status notifier tray, and to the
    // notification centre on macOS; an XEmbed tray shows it as a balloon.
    tray_->showMessage(QString::fromUtf8(kAppName), detailText(Detail::retryHeld, nextRetry),
                       QSystemTrayIcon::Warning);
}

void StatusItem::refreshImage() {
    tray_->setIcon(trayImage(symbol_, QApplication::palette()));
}

void StatusItem::show() {
    // The offscreen platform has no tray of any kind.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    // Qt follows XEmbed tray hosts itself; a status notifier host that starts later is told again.
    Desktop::instance().watchForTrayHost(this, [this] {
        tray_->hide();
        tray_->show();
    });
    // Only X11 has a tray without a status notifier host (XEmbed); elsewhere Qt would just warn.
    if (QGuiApplication::platformName() == QLatin1String("xcb") || QSystemTrayIcon::isSystemTrayAvailable())
        tray_->show();
}

} // namespace quern
