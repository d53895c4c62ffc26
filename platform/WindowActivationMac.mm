#include "platform/WindowActivation.h"

#include <QWidget>

#import <AppKit/AppKit.h>

namespace quern {

void bringToFront(QWidget* window) {
#if __MAC_OS_X_VERSION_MAX_ALLOWED >= 140000
    if (@available(macOS 14.0, *)) {
        [NSApp activate];
    } else
#endif
    {
        // The only way before macOS 14; deprecated from 14 on, where the branch above is taken.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
        [NSApp activateIgnoringOtherApps:YES];
#pragma clang diagnostic pop
    }
    window->raise();
    window->activateWindow();
}

} // namespace quern
