#include "status/RestartBackoff.h"

#include <algorithm>

namespace quern {

bool RestartBackoff::resetAllowed(SteadyTime now) const {
    return nextAllowed(now) <= now;
}

SteadyTime RestartBackoff::nextAllowed(SteadyTime now) const {
    return lastReset_ ? *lastReset_ + period_ : now;
}

void RestartBackoff::resetMade(SteadyTime now) {
    if (lastReset_)
        period_ = std::min(period_ * 2, kLongest);
    lastReset_ = now;
}

void RestartBackoff::observe(bool online, SteadyTime now) {
    if (!online) {
        onlineSince_.reset();
        return;
    }
    if (!onlineSince_)
        onlineSince_ = now;
    if (now - *onlineSince_ >= kSettled)
        clear();
}

void RestartBackoff::clear() {
    lastReset_.reset();
    period_ = kShortest;
}

} // namespace quern
