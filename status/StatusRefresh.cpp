#include "app/AppDelegate.h"

#include "status/HealthFile.h"
#include "status/StatusDerivation.h"

#include <array>

namespace quern {

void AppDelegate::refreshStatus() {
    const std::array<std::string, 2> print = {"print", serviceTarget()};
    const bool serviceRunning = launchctl(print) == 0;
    const double refreshTime = now(); // after launchctl has returned, before the health file is read
    const HealthRecord health = readHealth();
    const StatusDerivation status = deriveStatus(serviceRunning, refreshTime, health);
    applyState(status.state, status.detail);
    if (status.state != AgentState::online)
        automaticallyReconnect(refreshTime, serviceRunning);
}

} // namespace quern
