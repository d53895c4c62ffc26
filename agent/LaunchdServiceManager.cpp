#include "agent/LaunchdServiceManager.h"

#include "platform/BackgroundQueue.h"

namespace quern {

LaunchdServiceManager::LaunchdServiceManager(Launchctl launchctl, QObject* parent)
    : ServiceManager(parent)
    , launchctl_(std::move(launchctl)) {}

void LaunchdServiceManager::refresh() {
    if (refreshing_)
        return; // one "print" at a time: a hung launchctl does not pile them up
    refreshing_ = true;
    whenFinished(query(), this, [this](const QFuture<ServiceStatus>& asked) {
        refreshing_ = false;
        if (asked.resultCount() == 0 || status_ == asked.result())
            return;
        const ServiceStatus status = asked.result();
        status_ = status;
        emit statusChanged(status);
    });
}

// Each job holds its own copy of the commands: the manager may be gone before it ends.
QFuture<ServiceStatus> LaunchdServiceManager::query() {
    return runInBackground(QualityOfService::utility, [launchctl = launchctl_] {
        ServiceStatus status;
        status.running = launchctl.loaded();
        return status;
    });
}

QFuture<void> LaunchdServiceManager::start(StartMode /*mode*/) {
    return runInBackground(QualityOfService::userInitiated,
                           [launchctl = launchctl_] { launchctl.bootstrap(); });
}

QFuture<void> LaunchdServiceManager::stop() {
    return runInBackground(QualityOfService::userInitiated,
                           [launchctl = launchctl_] { launchctl.bootout(); });
}

QFuture<void> LaunchdServiceManager::wake() {
    return runInBackground(QualityOfService::userInitiated, [launchctl = launchctl_] { launchctl.hangUp(); });
}

} // namespace quern
