#include "platform/Desktop.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QUrl>
#include <QWidget>

#include <utility>

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

namespace quern {
namespace {

id<NSObject> gActivity = nil; // held, never ended: the activity lasts as long as the process

// The Mac: a menu bar, a Dock and App Nap.
class DesktopMac final : public Desktop {
public:
    void chooseHeadlessPlatformIfNeeded() override {}

    // Qt's Cocoa platform does not use D-Bus.
    [[nodiscard]] std::string sessionBusAddress() const override { return {}; }

    void keepTimersOnTime() override {
        if (gActivity != nil)
            return;
        @autoreleasepool {
            // User-initiated work is never napped; this variant still lets an idle Mac go to sleep.
            id<NSObject> activity = [[NSProcessInfo processInfo]
                beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                                  reason:@"Checks the bridge agent every 2 seconds"];
#if __has_feature(objc_arc)
            gActivity = activity;
#else
            gActivity = [activity retain];
#endif
        }
    }

    void watchForReopen(QObject* context, std::function<void()> reopened) override {
        QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, context,
                         [reopened = std::move(reopened)](Qt::ApplicationState state) {
                             if (state == Qt::ApplicationActive)
                                 reopened();
                         });
    }

    void revealFile(const QString& path) override {
        if (path.isEmpty())
            return;
        const QFileInfo file(path);
        if (!file.exists()) {
            // Finder has nothing to select: open the folder the file will appear in, as on Linux.
            (void)QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
            return;
        }
        @autoreleasepool {
            NSURL* url = [NSURL fileURLWithPath:file.absoluteFilePath().toNSString()];
            // Returns at once; Finder comes forward on its own.
            [[NSWorkspace sharedWorkspace] activateFileViewerSelectingURLs:@[ url ]];
        }
    }

    // An NSStatusItem lives in the menu bar, which never goes away.
    void watchForTrayHost(QObject*, std::function<void()>) override {}

    bool trayClickOpensMenu() const override {
        return true;
    }

    bool trayImageIsTemplate() const override {
        return true;
    }

    void bringToFront(QWidget* window) override {
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

    bool makeTitleBarTransparent(QWidget* window) override {
        if (window == nullptr)
            return false;
        QWidget* topLevel = window->window();
        // The content keeps the geometry its layout asks for (its own inset below the title bar),
        // not the title bar's safe-area margins added on top.
        topLevel->setAttribute(Qt::WA_ContentsMarginsRespectsSafeArea, false);
        for (QWidget* child : topLevel->findChildren<QWidget*>())
            child->setAttribute(Qt::WA_ContentsMarginsRespectsSafeArea, false);
#if QT_VERSION >= QT_VERSION_CHECK(6, 9, 0)
        // Window flags, so a later change of the other flags keeps them; a style mask set by hand
        // is rebuilt from the flags at every such change.
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
};

} // namespace

Desktop& Desktop::instance() {
    static DesktopMac desktop;
    return desktop;
}

} // namespace quern
