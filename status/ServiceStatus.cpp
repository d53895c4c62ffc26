#include "status/ServiceStatus.h"

namespace quern {

Repair chooseRepair(const ServiceStatus& status, bool due, bool resetAllowed) {
    // A process still starting may not have set its SIGHUP handler yet, and a unit waiting between
    // restarts is its manager's to start: either settles on its own.
    if (status.starting)
        return Repair::none;
    // A manager that restarts the service and has stopped doing so hit its start limit: each reset
    // buys the crash loop a new burst, so resets back off. One that does not restart it on its own
    // is started like any stopped service.
    const bool givenUp = !status.running && status.failed && status.restartsOnItsOwn;
    if (givenUp && !resetAllowed)
        return Repair::holdBack;
    if (!due)
        return Repair::none;
    if (status.running)
        return Repair::wake;
    return givenUp ? Repair::resetAndStart : Repair::start;
}

} // namespace quern
