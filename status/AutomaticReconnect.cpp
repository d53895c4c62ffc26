#include "app/AppDelegate.h"

#include "platform/BackgroundQueue.h"
#include "status/ReconnectThrottle.h"

namespace quern {

void AppDelegate::automaticallyReconnect(double now, bool serviceRunning) {
    if (!automaticReconnectDue(lastAutomaticReconnect_, now))
        return;
    lastAutomaticReconnect_ = now; // before the work runs: a failing repair still waits its turn
    // A service that keeps failing is reset ever more rarely: a reset undoes its manager's own
    // crash-loop protection.
    const IfFailed ifFailed = restartBackoff_.resetAllowed(now) ? IfFailed::reset : IfFailed::leave;

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    dispatchAsync(QualityOfService::utility, [weak, serviceRunning, ifFailed, now] {
        const auto self = weak.lock();
        if (!self || !self->repairAgent(serviceRunning, ifFailed))
            return;
        dispatchToMain([weak, now] {
            if (auto self = weak.lock())
                self->restartBackoff_.resetMade(now);
        });
    });
}

} // namespace quern
