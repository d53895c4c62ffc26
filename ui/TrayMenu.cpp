#include "ui/TrayMenu.h"

#include <QAction>
#include <QKeyEvent>
#include <QKeySequence>

namespace quern {

void TrayMenu::keyPressEvent(QKeyEvent* event) {
    // Only a key Qt's shortcut map let through comes here, so a shortcut it did match never runs
    // twice.
    const QKeySequence pressed(event->keyCombination());
    for (QAction* action : actions()) {
        if (!action->isEnabled() || !action->isVisible() || !action->shortcuts().contains(pressed))
            continue;
        event->accept();
        close(); // as a click would: the command may show a window or quit
        action->trigger();
        return;
    }
    QMenu::keyPressEvent(event);
}

} // namespace quern
