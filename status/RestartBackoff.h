#pragma once

#include <optional>

namespace quern {

// How often the automatic repair may reset a service its manager has given up on. Resetting starts
// the manager's own crash-loop protection afresh, so a service that keeps failing after being
// started gets longer and longer pauses; one that has been online for a while starts over.
// Times are seconds on the client's clock; a clock set back counts as time passed.
class RestartBackoff {
public:
    static constexpr double kShortest = 5.0;
    static constexpr double kLongest = 600.0;
    static constexpr double kSettled = 60.0; // online this long: the failures are behind it

    [[nodiscard]] bool resetAllowed(double now) const;
    // A reset was made at `now`: the next waits twice as long as this one did, unless the agent
    // settles in between.
    void resetMade(double now);
    // What each refresh found.
    void observe(bool online, double now);

private:
    std::optional<double> lastReset_;
    double period_ = kShortest;
    std::optional<double> onlineSince_;
};

} // namespace quern
