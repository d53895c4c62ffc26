#include "ui/StatusItem.h"

#include "platform/Desktop.h"
#include "platform/SymbolImages.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace quern {
StatusItem::StatusItem(QObject* parent)
    : QObject(parent)
    , tray_(new QSystemTrayIcon(this)) {
    if (!Desktop::instance().trayClickOpensMenu())
        connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                emit clicked();
        });
}

StatusItem::~StatusItem() {
    tray_->setContextMenu(nullptr); // the tray does not own the menu; detach before it goes
}

void StatusItem::setImage(std::string_view symbol, const QString& description) {
    if (symbol != symbol_) {
        symbol_ = symbol;
        refreshImage();
    }
    if (description != description_) {
        description_ = description;
        tray_->setToolTip(description_);
    }
}

void StatusItem::refreshImage() {
    tray_->setIcon(trayImage(symbol_, QApplication::palette()));
}

void StatusItem::setMenu(std::unique_ptr<QMenu> menu) {
    tray_->setContextMenu(menu.get());
    menu_ = std::move(menu);
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
