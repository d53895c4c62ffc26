#include "agent/SystemdUnit.h"
#include "status/ReconnectThrottle.h"
#include "status/RestartBackoff.h"
#include "status/ServiceStatus.h"
#include "status/StatusDerivation.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quern {
namespace {

constexpr double kNow = 1'800'000'000.0;

// A record confirmed `age` seconds before now, with a busy member when given (as JSON text).
HealthRecord okAt(double age, const std::string& busy = "") {
    return HealthRecord::parse(R"({"server_ok_at": )" + std::to_string(kNow - age) +
                               (busy.empty() ? "" : R"(, "busy_command_id": )" + busy) + "}");
}

TEST(StatusDerivation, StateAndDetailFollowLoadedFreshAndBusy) {
    struct Case {
        const char* name;
        bool loaded;
        HealthRecord health;
        StatusDerivation expected;
    };
    const StatusDerivation idle{AgentState::online, Detail::idle};
    const StatusDerivation silent{AgentState::running, Detail::reconnecting};
    const std::vector<Case> cases = {
        {"11.9 s old", true, okAt(11.9), idle},
        {"exactly 12 s old", true, okAt(12), silent},
        {"in the future", true, okAt(-30), idle},
        {"integer time", true, HealthRecord::parse(R"({"server_ok_at": 1799999997})"), idle},
        {"time as a string", true, HealthRecord::parse(R"({"server_ok_at": "1799999999"})"), silent},
        {"zero", true, HealthRecord::parse(R"({"server_ok_at": 0})"), silent},
        {"null", true, HealthRecord::parse(R"({"server_ok_at": null})"), silent},
        {"no health file", true, HealthRecord::object(), silent},
        {"not loaded, fresh and busy", false, okAt(1, R"("c")"), {AgentState::stopped, Detail::starting}},
        {"busy", true, okAt(1, R"("c7")"), {AgentState::online, Detail::busy}},
        {"busy empty", true, okAt(1, R"("")"), idle},
        {"busy as a number", true, okAt(1, "7"), idle},
    };
    for (const Case& c : cases)
        EXPECT_EQ(deriveStatus(c.loaded, kNow, c.health), c.expected) << c.name;
}

// Seconds on the steady clock.
SteadyTime at(double seconds) {
    return SteadyTime(
        std::chrono::duration_cast<SteadyTime::duration>(std::chrono::duration<double>(seconds)));
}

TEST(ReconnectThrottle, ActsAtMostOnceEveryFiveSeconds) {
    const std::vector<std::pair<double, bool>> steps = {{0, true}, {2, false},     {4, false},
                                                        {5, true}, {9.999, false}, {10, true}};
    std::optional<SteadyTime> last;
    for (const auto& [seconds, acts] : steps) {
        EXPECT_EQ(automaticReconnectDue(last, at(seconds)), acts) << "at +" << seconds;
        if (acts)
            last = at(seconds);
    }
}

// A repair every 5 s of a service that keeps failing: which of them may reset it. Each step is a
// refresh that finds the agent online or not; a reset is made whenever one is allowed.
TEST(RestartBackoff, ResetsSpreadOutWhileFailingAndStartOverOnceSettled) {
    struct Sequence {
        const char* name;
        std::vector<double> resets;                  // when the resets fall, over the steps below
        std::vector<std::pair<double, bool>> online; // (from, online) spans; offline otherwise
        double until;
    };
    const std::vector<Sequence> sequences = {
        {"failing for ten minutes", {0, 5, 15, 35, 75, 155, 315}, {}, 600},
        {"online a minute between", {0, 5, 15, 80, 85}, {{16, true}, {77, false}}, 90},
        {"online under a minute between", {0, 5, 15, 70}, {{16, true}, {70, false}}, 75},
    };
    for (const Sequence& sequence : sequences) {
        RestartBackoff backoff;
        std::vector<double> resets;
        bool online = false;
        for (double second = 0; second <= sequence.until; second += 1) {
            for (const auto& [from, state] : sequence.online)
                if (second == from)
                    online = state;
            backoff.observe(online, at(second));
            if (!online && static_cast<int>(second) % 5 == 0 && backoff.resetAllowed(at(second))) {
                backoff.resetMade(at(second));
                resets.push_back(second);
            }
        }
        EXPECT_EQ(resets, sequence.resets) << sequence.name;
    }
}

TEST(Repair, FollowsWhatTheManagerSaysAndItsRestartPolicy) {
    struct Case {
        const char* name;
        const char* load;
        const char* active;
        const char* restart;
        Repair dueAndAllowed, dueHeldBack, notDue;
    };
    using enum Repair;
    const std::vector<Case> cases = {
        {"active", "loaded", "active", "no", wake, wake, none},
        {"reloading", "loaded", "reloading", "always", wake, wake, none},
        {"activating: a process starting", "loaded", "activating", "no", none, none, none},
        {"activating: between restarts", "loaded", "activating", "always", none, none, none},
        {"inactive", "loaded", "inactive", "always", start, start, none},
        {"failed, not restarted by its manager", "loaded", "failed", "no", start, start, none},
        {"failed, Restart= unknown", "loaded", "failed", "", start, start, none},
        {"failed, its manager's burst spent", "loaded", "failed", "on-failure", resetAndStart, holdBack,
         none},
        {"not found", "not-found", "inactive", "", start, start, none},
        {"masked while running", "masked", "active", "", start, start, none},
    };
    for (const Case& c : cases) {
        const ServiceStatus status = serviceStatusOf(c.load, c.active, c.restart);
        EXPECT_EQ(chooseRepair(status, true, true), c.dueAndAllowed) << c.name;
        EXPECT_EQ(chooseRepair(status, true, false), c.dueHeldBack) << c.name;
        EXPECT_EQ(chooseRepair(status, false, true), c.notDue) << c.name;
    }
}

} // namespace
} // namespace quern
