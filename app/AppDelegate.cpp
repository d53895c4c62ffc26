#include "app/AppDelegate.h"

#include "app/QuitWatch.h"

#include "agent/LaunchdServiceManager.h"
#if !defined(__APPLE__)
#include "agent/SystemdServiceManager.h"
#include "platform/SessionBus.h"
#endif

#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"
#include "ui/StatusItem.h"
#include "ui/Texts.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdlib>

namespace quern {
namespace {

AppDelegate::ServiceManagerFactory launchdAt(std::string launchctlPath, const std::string& home) {
    return [launchctlPath = std::move(launchctlPath),
            launchAgent = appendPathComponent(home, launchAgentRelativePath(kServiceLabel))] {
        LaunchdServiceManager::Tools tools;
        tools.launchctlPath = launchctlPath;
        tools.timeout = AppDelegate::kServiceManagerTimeout;
        return std::make_unique<LaunchdServiceManager>(tools, std::string(kServiceLabel), launchAgent);
    };
}

QUrl parseDashboardAddress() {
    const QUrl url(QString::fromUtf8(kDashboardAddress), QUrl::StrictMode);
    // A constant of the program: failing to parse is a programming error.
    if (!url.isValid() || url.scheme() != QStringLiteral("https"))
        std::abort();
    return url;
}

} // namespace

AppDelegate::Hooks AppDelegate::Hooks::fromEnvironment(std::string home) {
    Hooks hooks;
    hooks.home = home.empty() ? currentHomeDirectory() : std::move(home);
#if defined(__APPLE__)
    hooks.serviceManager = launchdAt("/bin/launchctl", hooks.home);
#else
    if (const char* path = std::getenv("QUERN_ZOVA_LAUNCHCTL"); path != nullptr && path[0] != '\0') {
        hooks.serviceManager = launchdAt(path, hooks.home);
    } else {
        // The session's bus as it was at start-up: the launch may keep Qt's own users off it.
        hooks.serviceManager = [address = sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                                                            std::getenv("XDG_RUNTIME_DIR"))] {
            return std::make_unique<SystemdServiceManager>(std::string(kServiceUnit), address,
                                                           kServiceManagerTimeout);
        };
    }
#endif
    return hooks;
}

std::shared_ptr<AppDelegate> AppDelegate::create(Hooks hooks) {
    // The last owner may be a background job; the object and its widgets go back to their thread.
    return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(hooks)), [](AppDelegate* delegate) {
        if (QThread::currentThread() == delegate->thread())
            delete delegate;
        else
            delegate->deleteLater();
    });
}

AppDelegate::AppDelegate(Hooks hooks)
    : dashboardURL_(parseDashboardAddress())
    , home_(hooks.home.empty() ? currentHomeDirectory() : hooks.home)
    , quitWatch_(std::make_unique<QuitWatch>())
    , viewHolder_(std::make_unique<QWidget>())
    , statusDot_(new DotView(viewHolder_.get()))
    , statusLabel_(new QLabel(QString::fromUtf8(kChecking), viewHolder_.get()))
    , detailLabel_(new ElidingLabel(QString(), viewHolder_.get()))
    , activity_(new Spinner(viewHolder_.get()))
    , toggleButton_(commandButton(kStopAgent, "stop.fill", &AppDelegate::toggleAgent, "toggleButton"))
    , reconnectButton_(
          commandButton(kReconnectNow, "arrow.clockwise", &AppDelegate::reconnectAgent, "reconnectButton"))
    , hooks_(std::move(hooks))
    , serviceManager_(hooks_.serviceManager ? hooks_.serviceManager()
                                            : Hooks::fromEnvironment(home_).serviceManager()) {
    // Named for accessibility tools and tests, which find them in the window.
    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    detailLabel_->setObjectName(QStringLiteral("detailLabel"));
    activity_->setObjectName(QStringLiteral("activity"));
}

AppDelegate::~AppDelegate() {
    // The tray item first, so no menu action reaches a half-destroyed object.
    statusItem_.reset();
    window_.reset();
    viewHolder_.reset();
}

const std::string& AppDelegate::configDirectory() const {
    return configDirectory_.get([this] { return appendPathComponent(home_, kConfigDirectoryName); });
}

const std::string& AppDelegate::agentLog() const {
    return agentLog_.get([this] { return appendPathComponent(configDirectory(), kAgentLogName); });
}

const std::string& AppDelegate::healthFile() const {
    return healthFile_.get([this] { return appendPathComponent(configDirectory(), kHealthFileName); });
}

double AppDelegate::now() const {
    if (hooks_.clock)
        return hooks_.clock();
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace quern
