#pragma once

#include "status/ReconnectThrottle.h"

#include <chrono>
#include <optional>

namespace quern {

// How often the automatic repair may reset a service that its manager restarts on its own and has
// given up on (its burst of restarts spent). Each reset buys the crash loop a new burst, so a
// service that keeps failing gets longer and longer pauses; one that has been online for a while,
// or that the user starts, begins again at the shortest.
class RestartBackoff {
public:
    static constexpr std::chrono::milliseconds kShortest{5'000};
    static constexpr std::chrono::milliseconds kLongest{600'000};
    static constexpr std::chrono::milliseconds kSettled{60'000}; // online this long: failures behind it

    [[nodiscard]] bool resetAllowed(SteadyTime now) const;
    // When the next reset is allowed; now or earlier when it is allowed already.
    [[nodiscard]] SteadyTime nextAllowed(SteadyTime now) const;
    // A reset was made at `now`: the next waits twice as long as this one did, unless the agent
    // settles in between.
    void resetMade(SteadyTime now);
    // What each refresh found.
    void observe(bool online, SteadyTime now);
    // The user acted: start over.
    void clear();

private:
    std::optional<SteadyTime> lastReset_;
    std::chrono::milliseconds period_ = kShortest;
    std::optional<SteadyTime> onlineSince_;
};

} // namespace quern
