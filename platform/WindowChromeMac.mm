#include "platform/WindowChrome.h"

#include <QWidget>

#import <AppKit/AppKit.h>

namespace quern {

bool makeTitleBarTransparent(QWidget* window) {
    if (window == nullptr)
        return false;
    QWidget* topLevel = window->window();
    // The content keeps the geometry its layout asks for (its own inset below the title bar), not
    // the title bar's safe-area margins added on top.
    topLevel->setAttribute(Qt::WA_ContentsMarginsRespectsSafeArea, false);
    for (QWidget* child : topLevel->findChildren<QWidget*>())
        child->setAttribute(Qt::WA_ContentsMarginsRespectsSafeArea, false);
#if QT_VERSION >= QT_VERSION_CHECK(6, 9, 0)
    // Window flags, so a later change of the other flags keeps them; a style mask set by hand is
    // rebuilt from the flags at every such change.
    topLevel->setWindowFlag(Qt::ExpandedClientAreaHint);
    topLevel->setWindowFlag(Qt::NoTitleBarBackgroundHint);
    return true;
#else
    // winId() creates the native window if it does not exist yet.
    auto* view = (__bridge NSView*)reinterpret_cast<void*>(topLevel->winId());
    NSWindow* nativeWindow = view.window;
    if (nativeWindow == nil)
        return false;
    nativeWindow.titlebarAppearsTransparent = YES;
    nativeWindow.styleMask |= NSWindowStyleMaskFullSizeContentView;
    return true;
#endif
}

} // namespace quern
