#include "status/RestartBackoff.h"

#include <algorithm>

namespace quern {

bool RestartBackoff::resetAllowed(double now) const {
    if (!lastReset_)
        return true;
    const double elapsed = now - *lastReset_;
    return elapsed < 0.0 || elapsed >= period_;
}

void RestartBackoff::resetMade(double now) {
    if (lastReset_)
        period_ = std::min(period_ * 2.0, kLongest);
    lastReset_ = now;
}

void RestartBackoff::observe(bool online, double now) {
    if (!online) {
        onlineSince_.reset();
        return;
    }
    if (!onlineSince_ || now < *onlineSince_)
        onlineSince_ = now;
    if (now - *onlineSince_ >= kSettled) {
        lastReset_.reset();
        period_ = kShortest;
    }
}

} // namespace quern
