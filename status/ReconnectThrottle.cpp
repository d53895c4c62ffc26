#include "status/ReconnectThrottle.h"

namespace quern {

bool automaticReconnectDue(std::optional<SteadyTime> lastAutomaticReconnect, SteadyTime now) {
    return !lastAutomaticReconnect || now - *lastAutomaticReconnect >= kAutomaticReconnectInterval;
}

} // namespace quern
