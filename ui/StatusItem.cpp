#include "ui/StatusItem.h"

#include "platform/SymbolImages.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace quern {
namespace {
constexpr const char* kTagProperty = "quernTag";
}

StatusItem::StatusItem(QObject* parent)
    : QObject(parent)
    , tray_(new QSystemTrayIcon(this)) {}

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

void StatusItem::showWhenTrayAvailable() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available && !trayWasAvailable_) {
        // Re-show so the icon docks into a tray host that appeared after it was first shown.
        tray_->hide();
        tray_->show();
    } else if (!tray_->isVisible()) {
        tray_->show();
    }
    trayWasAvailable_ = available;
}

QAction* itemWithTag(const QMenu* menu, int tag) {
    if (menu == nullptr)
        return nullptr;
    for (QAction* action : menu->actions()) {
        if (tagOf(action) == tag)
            return action;
    }
    return nullptr;
}

int tagOf(const QAction* action) {
    const QVariant tag = action->property(kTagProperty);
    return tag.isValid() ? tag.toInt() : 0;
}

void setTag(QAction* action, int tag) {
    action->setProperty(kTagProperty, tag);
}

} // namespace quern
