#pragma once

#include <QMenu>

class QKeyEvent;

namespace quern {

// The tray's menu, which runs its items' shortcuts while it is open. Qt reaches an item's shortcut
// only through a widget showing the item, and for a menu through the menu's own entry in a parent
// menu or menu bar: a menu popped up on its own, as a tray's is, never matches its items' keys.
// (Where the platform draws the menu, as macOS and D-Bus trays do, the keys never come here.)
class TrayMenu : public QMenu {
    Q_OBJECT
public:
    using QMenu::QMenu;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace quern
