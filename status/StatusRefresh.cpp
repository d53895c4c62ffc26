#include "app/AppDelegate.h"

#include "status/HealthFile.h"
#include "status/StatusDerivation.h"

#include <QTimer>

#include <chrono>
#include <cmath>

namespace quern {

void AppDelegate::refreshStatus() {
    const std::optional<bool> reported = serviceManager_->lastReportedRunning();
    if (!reported)
        return; // the manager's first answer is on its way: the views still say they are checking
    const bool serviceRunning = *reported;
    const double refreshTime = now(); // after the manager has answered, before the health file is read
    const HealthRecord health = readHealth();
    const StatusDerivation status = deriveStatus(serviceRunning, refreshTime, health);
    applyState(status.state, status.detail);
    restartBackoff_.observe(status.state == AgentState::online, refreshTime);
    if (status.state != AgentState::online)
        automaticallyReconnect(refreshTime, serviceRunning);
    scheduleStaleEdgeRefresh(status.state == AgentState::online ? serverOkTime(health) : 0, refreshTime);
}

void AppDelegate::serviceChanged(ServiceChange change) {
    // Repairs tried while no manager was there reached no one: the new one is repaired at once.
    if (change == ServiceChange::managerAppeared)
        lastAutomaticReconnect_.reset();
    if (changeWindow_ && changeWindow_->isActive()) {
        changePending_ = true; // looked at when the window closes
        return;
    }
    refreshStatus();
    if (changeWindow_)
        changeWindow_->start();
}

void AppDelegate::scheduleStaleEdgeRefresh(double serverOkAt, double refreshTime) {
    if (!staleEdge_)
        return; // not launched: only the caller refreshes
    const double remaining = serverOkAt + kFreshnessWindow - refreshTime;
    // Nothing fresh to watch, or a time ahead of the clock, which the 2 s timer looks after.
    if (serverOkAt <= 0 || remaining <= 0 || remaining > kFreshnessWindow) {
        staleEdge_->stop();
        return;
    }
    // A millisecond past the edge, so that the refresh finds the record stale.
    staleEdge_->start(std::chrono::milliseconds(static_cast<long long>(std::ceil(remaining * 1000.0)) + 1));
}

} // namespace quern
