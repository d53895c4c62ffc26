#include "app/Client.h"

#include "agent/LaunchdServiceManager.h"
#include "status/AgentLocations.h"
#if !defined(__APPLE__)
#include "agent/SystemdServiceManager.h"
#endif

#include <QApplication>
#include <QUrl>

#include <cstdlib>

namespace quern {
namespace {

QUrl dashboardAddress() {
    const QUrl url(QString::fromUtf8(kDashboardAddress), QUrl::StrictMode);
    // A constant of the program: failing to parse is a programming error.
    if (!url.isValid() || url.scheme() != QStringLiteral("https"))
        std::abort();
    return url;
}

Supervisor::Hooks withHealthFile(Supervisor::Hooks hooks, const AgentLocations& locations) {
    if (hooks.healthFile.empty())
        hooks.healthFile = locations.healthFile;
    return hooks;
}

std::unique_ptr<ServiceManager> launchdAt(std::string launchctlPath, const std::string& home) {
    Launchctl::Tools tools;
    tools.launchctlPath = std::move(launchctlPath);
    tools.timeout = ServiceManager::kTimeout;
    return std::make_unique<LaunchdServiceManager>(
        Launchctl(tools, std::string(kServiceLabel),
                  appendPathComponent(home, launchAgentRelativePath(kServiceLabel))));
}

} // namespace

std::unique_ptr<ServiceManager> platformServiceManager(const std::string& home,
                                                       const std::string& busAddress) {
#if defined(__APPLE__)
    (void)busAddress;
    return launchdAt("/bin/launchctl", home);
#else
    if (const char* path = std::getenv("QUERN_ZOVA_LAUNCHCTL"); path != nullptr && path[0] != '\0')
        return launchdAt(path, home);
    return std::make_unique<SystemdServiceManager>(std::string(kServiceUnit), busAddress);
#endif
}

Client::Client(const std::string& home, std::unique_ptr<ServiceManager> manager, Supervisor::Hooks hooks)
    : locations_(AgentLocations::forHome(home))
    , manager_(std::move(manager))
    , supervisor_(*manager_, withHealthFile(std::move(hooks), locations_))
    , commands_(supervisor_, dashboardAddress(), QString::fromStdString(locations_.agentLog))
    , window_(supervisor_, commands_)
    , statusItem_(supervisor_, commands_) {
    connect(commands_.showWindow(), &QAction::triggered, &window_, &MainWindow::showWindow);
    connect(commands_.quit(), &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(&window_, &MainWindow::appearanceChanged, &statusItem_, &StatusItem::refreshImage);
}

void Client::launch(bool showWindow) {
    // An ordinary application with a window; the tray item is an extra way in, not the only one.
    QApplication::setQuitOnLastWindowClosed(false);
    statusItem_.show();
    // The window shows the first state, never a guess: it appears once the manager has answered.
    connect(&supervisor_, &Supervisor::stateChanged, this, [this, showWindow] {
        if (launched_ || !supervisor_.stateKnown())
            return;
        launched_ = true;
        if (showWindow)
            window_.showWindow();
        emit launched();
    });
    supervisor_.start();
}

} // namespace quern
