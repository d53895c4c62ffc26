#include "status/ReconnectThrottle.h"

namespace quern {

bool automaticReconnectDue(std::optional<double> lastAutomaticReconnect, double now) {
    if (!lastAutomaticReconnect)
        return true;
    const double elapsed = now - *lastAutomaticReconnect;
    return elapsed < 0.0 || elapsed >= kAutomaticReconnectInterval;
}

} // namespace quern
