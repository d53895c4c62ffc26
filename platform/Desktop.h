#pragma once

#include <QString>

#include <functional>
#include <string>

class QObject;
class QWidget;

namespace quern {

// What the client asks of the desktop it runs on. One subclass per operating system, each in a
// file of its own that only that system's build compiles; callers see this class alone.
class Desktop {
public:
    // The desktop this build runs on, made at first use. Safe to ask before QApplication exists.
    [[nodiscard]] static Desktop& instance();

    virtual ~Desktop() = default;
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // Before QApplication is built. With no display at all the client still runs, on Qt's
    // offscreen platform, and says so. A Mac always has its window server.
    virtual void chooseHeadlessPlatformIfNeeded() = 0;
    // The session bus the service manager is on, as the environment says at start-up; empty where
    // the service manager needs none (macOS).
    [[nodiscard]] virtual std::string sessionBusAddress() const = 0;

    // Keeps App Nap from stretching the client's timers (the 2-second refresh) while its window
    // is hidden, for the rest of the process's life. Idle system sleep stays allowed. Nothing to
    // do where there is no App Nap.
    virtual void keepTimersOnTime() = 0;

    // Calls `reopened` on `context`'s thread whenever the running application is opened again (on
    // macOS: its Dock icon clicked, or opened from Finder, Spotlight or `open`), for as long as
    // `context` lives. Qt reports a reopen as a change to the active state, delivered even when
    // the application is active already; any other activation (Cmd-Tab to it) arrives the same way
    // and counts too. macOS only: elsewhere becoming active says nothing of being opened, and
    // nothing is watched.
    virtual void watchForReopen(QObject* context, std::function<void()> reopened) = 0;

    // Shows `path` selected in the file manager without waiting for it. Where no file manager
    // takes the request, the containing folder is opened instead.
    virtual void revealFile(const QString& path) = 0;

    // Calls `appeared` on `context`'s thread each time a status notifier host starts on the
    // session bus, for as long as `context` lives. Nothing is asked of the bus after this call. On
    // macOS the menu bar is always there and nothing is watched.
    virtual void watchForTrayHost(QObject* context, std::function<void()> appeared) = 0;

    // Whether a click on the status icon is its menu's and nothing else's. The menu bar opens the
    // menu on the click that Qt also reports as a trigger; elsewhere the menu has the other button
    // and a click is the client's to answer.
    [[nodiscard]] virtual bool trayClickOpensMenu() const = 0;

    // Whether the status icon is a template image the system tints itself (the menu bar), rather
    // than one drawn in the palette's colours.
    [[nodiscard]] virtual bool trayImageIsTemplate() const = 0;

    // Brings a shown window to the front. On macOS the application is activated too: making a
    // window key does not bring its application forward there.
    virtual void bringToFront(QWidget* window) = 0;

    // Lets the window's content run under a see-through title bar, as AppKit utility windows do.
    // Qt rebuilds the native style mask whenever window flags change, so call this after setting
    // them. Returns whether the platform did it (only macOS does).
    virtual bool makeTitleBarTransparent(QWidget* window) = 0;

protected:
    Desktop() = default;
};

} // namespace quern
