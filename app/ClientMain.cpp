#include "app/ClientMain.h"

#include "app/Client.h"
#include "app/SingleInstance.h"
#include "platform/AppNap.h"
#include "platform/BackgroundQueue.h"
#include "platform/Reopen.h"
#if !defined(__APPLE__)
#include "platform/SessionBus.h"
#endif
#include "status/AgentLocations.h"
#include "ui/Texts.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
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

// What the client says of its own circumstances, on standard error as "quern-zova: …".
Q_LOGGING_CATEGORY(lcClient, "quern-zova")

// With no display at all the client still runs, on Qt's offscreen platform, and says so.
void chooseHeadlessPlatformIfNeeded() {
#if !defined(__APPLE__)
    const bool hasDisplay = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    if (!hasDisplay && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        qCWarning(lcClient, "no display found; running on the offscreen platform");
    }
#endif
}

#if !defined(__APPLE__)
// Qt's own D-Bus users (the platform theme, the tray, accessibility) connect to the session bus
// inside QApplication's constructor and later, and wait without limit on a bus that takes the
// connection and never answers: the client would never show anything. Qt has no switch for them,
// so when the bus is silent they are given an address that fails at once ("disabled:", which
// libdbus rejects as an unknown transport), as if there were no bus: the tray falls back to
// XEmbed and there is no AT-SPI. Children started through Qt inherit that. The service manager
// keeps the real address and looks for the bus on its own.
void keepQtOffASilentSessionBus() {
    // Short, as the launch waits for it; a live bus answers in well under a millisecond.
    constexpr std::chrono::milliseconds kSessionBusCheckBound{2000};
    const std::string address =
        sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
    if (address.empty() || checkBus(address, kSessionBusCheckBound) != BusCheck::silent)
        return;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    qCWarning(lcClient, "the session bus does not answer; running without it until it does");
}
#endif

} // namespace

int runClient(int argc, char** argv, const std::function<void()>& afterLaunch) {
    chooseHeadlessPlatformIfNeeded();
#if defined(__APPLE__)
    const std::string busAddress; // launchd needs none
#else
    // The session's bus as it is at start-up, for the service manager: the check below may keep
    // Qt's own users off it.
    const std::string busAddress =
        sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
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
            qCWarning(lcClient, "another client is running in this session but does not answer");
            return 1;
        }
    } else {
        qCWarning(lcClient, "no private runtime directory; not checking for another client");
    }

    const std::string home = currentHomeDirectory();
    auto client = std::make_unique<Client>(home, platformServiceManager(home, busAddress));
    if (afterLaunch)
        QObject::connect(client.get(), &Client::launched, client.get(), afterLaunch, Qt::QueuedConnection);
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) {
        // Nobody sees the window: say what it shows, once for each change.
        const Supervisor& supervisor = client->supervisor();
        QObject::connect(&supervisor, &Supervisor::stateChanged, client.get(),
                         [&supervisor, shown = QString()]() mutable {
                             const QString line = stateTitle(supervisor.state()) + QStringLiteral(" · ") +
                                                  detailText(supervisor.detail(), supervisor.nextRetry());
                             if (!supervisor.stateKnown() || line == shown)
                                 return;
                             shown = line;
                             std::printf("quern-zova: %s\n", line.toUtf8().constData());
                             std::fflush(stdout);
                         });
    }
    // Opened again: another launch in this session, or on macOS the Dock icon, Finder, `open`.
    if (instance)
        QObject::connect(instance.get(), &SingleInstance::activationRequested,
                         client->commands().showWindow(), &QAction::trigger);
#if defined(__APPLE__)
    // A bundle opened again goes to the running instance, not to a second launch.
    watchForReopen(client.get(), [window = client->commands().showWindow()] { window->trigger(); });
#endif
    QMetaObject::invokeMethod(client.get(), &Client::launch, Qt::QueuedConnection);
    keepTimersOnTime();
#if defined(__GLIBC__)
    // Start-up (font matching above all) churns the heap; hand what it freed back before idling.
    QTimer::singleShot(5000, client.get(), [] { ::malloc_trim(0); });
#endif
    const int status = QApplication::exec();
    client.reset();
    shutDownBackgroundQueues();
    return status;
}

} // namespace quern
