#include "app/ClientMain.h"

#include "app/Client.h"
#include "app/CommandLine.h"
#include "app/SingleInstance.h"
#include "platform/BackgroundQueue.h"
#include "platform/Desktop.h"
#include "status/AgentLocations.h"
#if !defined(__APPLE__)
#include "app/SessionBusRecovery.h"
#endif
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

} // namespace

int runClient(int argc, char** argv, const std::function<void()>& afterLaunch) {
    Desktop& desktop = Desktop::instance();
    desktop.chooseHeadlessPlatformIfNeeded();
    // The session's bus as it is at start-up, for the service manager: the check below may keep
    // Qt's own users off it.
    const std::string busAddress = desktop.sessionBusAddress();
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
#if !defined(__APPLE__)
    // Until a session bus that was silent at launch answers: what recovers from its silence.
    const std::unique_ptr<SessionBusRecovery> busRecovery =
        SessionBusRecovery::start([window = &client->window()] { return window->isVisible(); });
#endif
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
    // A bundle opened again goes to the running instance, not to a second launch (macOS).
    desktop.watchForReopen(client.get(), [window = client->commands().showWindow()] { window->trigger(); });
    // Restarted for a session bus that came back: the window as the user left it.
    const bool showWindow = restoredWindow() != RestoredWindow::hidden;
    QMetaObject::invokeMethod(
        client.get(), [&client, showWindow] { client->launch(showWindow); }, Qt::QueuedConnection);
    desktop.keepTimersOnTime();
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
