#include "platform/WindowActivation.h"

#include <QGuiApplication>
#include <QWidget>

namespace quern {

void bringToFront(QWidget* window) {
    // The offscreen platform stacks nothing and warns at every raise().
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        window->raise();
    window->activateWindow();
}

} // namespace quern
