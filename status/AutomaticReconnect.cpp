#include "app/AppDelegate.h"

#include "platform/BackgroundQueue.h"
#include "status/ReconnectThrottle.h"

namespace quern {

void AppDelegate::automaticallyReconnect(double now, bool serviceRunning) {
    if (!automaticReconnectDue(lastAutomaticReconnect_, now))
        return;
    lastAutomaticReconnect_ = now; // before the work runs: a failing repair still waits its turn

    std::weak_ptr<const AppDelegate> weak = weak_from_this();
    dispatchAsync(QualityOfService::utility, [weak, serviceRunning] {
        if (auto self = weak.lock())
            self->repairAgent(serviceRunning);
    });
}

} // namespace quern
