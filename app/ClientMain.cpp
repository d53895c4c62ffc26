#include "app/ClientMain.h"

#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "platform/AppNap.h"
#include "platform/BackgroundQueue.h"
#include "platform/Reopen.h"
#if !defined(__APPLE__)
#include "app/CommandLine.h"
#include "app/SessionBusRecovery.h"
#endif
#include "ui/Texts.h"

#include <QApplication>
#include <QGuiApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quern {
namespace {

// With no display at all the client still runs, on Qt's offscreen platform, and says so.
void chooseHeadlessPlatformIfNeeded() {
#if !defined(__APPLE__)
    const bool hasDisplay = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    if (!hasDisplay && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::fputs("quern-zova: no display found; running on the offscreen platform\n", stderr);
    }
#endif
}

} // namespace

int runClient(int argc, char** argv, const std::function<void()>& afterLaunch) {
    chooseHeadlessPlatformIfNeeded();
    AppDelegate::Hooks hooks = AppDelegate::Hooks::fromEnvironment(); // before the bus check changes it
#if !defined(__APPLE__)
    keepQtOffASilentSessionBus();
#endif
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kAppName));
    QApplication::setApplicationDisplayName(QString::fromUtf8(kAppName));
    QGuiApplication::setDesktopFileName(QStringLiteral("quern-zova"));

    // Before anything is built: a second launch only hands over to the client already running.
    std::unique_ptr<SingleInstance> instance;
    if (const QString directory = sessionRuntimeDirectory(); !directory.isEmpty()) {
        instance = std::make_unique<SingleInstance>(directory);
        switch (instance->claim(std::chrono::seconds(5))) {
        case SingleInstance::Role::first:
            break;
        case SingleInstance::Role::handedOver:
            return 0;
        case SingleInstance::Role::unanswered:
            std::fputs("quern-zova: another client is running in this session but does not answer\n", stderr);
            return 1;
        }
    } else {
        std::fputs("quern-zova: no private runtime directory; not checking for another client\n", stderr);
    }

    std::shared_ptr<AppDelegate> applicationDelegate = AppDelegate::create(std::move(hooks));
    QMetaObject::invokeMethod(applicationDelegate.get(), &AppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    if (afterLaunch)
        QMetaObject::invokeMethod(applicationDelegate.get(), afterLaunch, Qt::QueuedConnection);
#if !defined(__APPLE__)
    // Restarted for a session bus that came back: the window as the user left it. Until the bus
    // answers, what recovers from its silence.
    if (restoredWindow() == RestoredWindow::hidden)
        QMetaObject::invokeMethod(
            applicationDelegate.get(), [delegate = applicationDelegate.get()] { delegate->window()->hide(); },
            Qt::QueuedConnection);
    const std::unique_ptr<SessionBusRecovery> busRecovery =
        SessionBusRecovery::start([delegate = applicationDelegate.get()] {
            return delegate->window() != nullptr && delegate->window()->isVisible();
        });
#endif
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) {
        // Nobody sees the window: say what it shows, once for each change.
        QObject::connect(applicationDelegate.get(), &AppDelegate::statePresented, applicationDelegate.get(),
                         [shown = QString()](const QString& title, const QString& detail) mutable {
                             const QString line = title + QStringLiteral(" · ") + detail;
                             if (line == shown)
                                 return;
                             shown = line;
                             std::printf("quern-zova: %s\n", line.toUtf8().constData());
                             std::fflush(stdout);
                         });
    }
    if (instance)
        QObject::connect(instance.get(), &SingleInstance::activationRequested, applicationDelegate.get(),
                         &AppDelegate::applicationShouldHandleReopen);
#if defined(__APPLE__)
    // A bundle opened again goes to the running instance, not to a second launch: the Dock icon,
    // Finder, Spotlight and `open` all end here.
    watchForReopen(applicationDelegate.get(),
                   [delegate = applicationDelegate.get()] { delegate->applicationShouldHandleReopen(); });
#endif
    keepTimersOnTime();
#if defined(__GLIBC__)
    // Start-up (font matching above all) churns the heap; hand what it freed back before idling.
    QTimer::singleShot(5000, applicationDelegate.get(), [] { ::malloc_trim(0); });
#endif
    const int status = QApplication::exec();
    shutDownBackgroundQueues();
    applicationDelegate.reset();
    return status;
}

} // namespace quern
