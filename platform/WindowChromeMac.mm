#include "platform/WindowChrome.h"

#include <QWidget>

#import <AppKit/AppKit.h>

namespace quern {

bool makeTitleBarTransparent(QWidget* window) {
    if (window == nullptr)
        return false;
    QWidget* topLevel = window->window();
    // winId() creates the native window if it does not exist yet.
    auto* view = (__bridge NSView*)reinterpret_cast<void*>(topLevel->winId());
    NSWindow* nativeWindow = view.window;
    if (nativeWindow == nil)
        return false;
    nativeWindow.titlebarAppearsTransparent = YES;
    nativeWindow.styleMask |= NSWindowStyleMaskFullSizeContentView;
    return true;
}

} // namespace quern
