#include "status/ReconnectThrottle.h"
#include "status/RestartBackoff.h"
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
    const StatusDerivation idle{AgentState::online, kDetailIdle};
    const StatusDerivation silent{AgentState::running, kDetailReconnecting};
    const std::vector<Case> cases = {
        {"11.9 s old", true, okAt(11.9), idle},
        {"exactly 12 s old", true, okAt(12), silent},
        {"in the future", true, okAt(-30), idle},
        {"integer time", true, HealthRecord::parse(R"({"server_ok_at": 1799999997})"), idle},
        {"time as a string", true, HealthRecord::parse(R"({"server_ok_at": "1799999999"})"), silent},
        {"zero", true, HealthRecord::parse(R"({"server_ok_at": 0})"), silent},
        {"null", true, HealthRecord::parse(R"({"server_ok_at": null})"), silent},
        {"no health file", true, HealthRecord::object(), silent},
        {"not loaded, fresh and busy", false, okAt(1, R"("c")"), {AgentState::stopped, kDetailStarting}},
        {"busy", true, okAt(1, R"("c7")"), {AgentState::online, kDetailBusy}},
        {"busy empty", true, okAt(1, R"("")"), idle},
        {"busy as a number", true, okAt(1, "7"), idle},
    };
    for (const Case& c : cases)
        EXPECT_EQ(deriveStatus(c.loaded, kNow, c.health), c.expected) << c.name;
}

TEST(ReconnectThrottle, ActsAtMostOnceEveryFiveSecondsAndAfterAClockSetBack) {
    struct Step {
        double at;
        bool acts;
    };
    struct Sequence {
        const char* name;
        std::vector<Step> steps;
    };
    const double t = kNow;
    const std::vector<Sequence> sequences = {
        {"every refresh while down",
         {{t, true}, {t + 2, false}, {t + 4, false}, {t + 6, true}, {t + 8, false}}},
        {"exactly five seconds", {{t, true}, {t + 5.0, true}, {t + 9.999, false}, {t + 10.0, true}}},
        {"clock set back an hour", {{t, true}, {t - 3600, true}, {t - 3598, false}, {t - 3595, true}}},
        {"clock set forward a day", {{t, true}, {t + 86400, true}, {t + 86402, false}}},
    };
    for (const Sequence& sequence : sequences) {
        std::optional<double> last;
        for (const Step& step : sequence.steps) {
            const bool acts = automaticReconnectDue(last, step.at);
            EXPECT_EQ(acts, step.acts) << sequence.name << " at +" << step.at - t;
            if (acts)
                last = step.at;
        }
    }
}

// A repair every 5 s of a service that keeps failing: which of them may reset it. Each step is a
// refresh at `at` that finds the agent online or not; a reset is made whenever one is allowed.
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
        for (double at = 0; at <= sequence.until; at += 1) {
            for (const auto& [from, state] : sequence.online)
                if (at == from)
                    online = state;
            backoff.observe(online, kNow + at);
            if (!online && static_cast<int>(at) % 5 == 0 && backoff.resetAllowed(kNow + at)) {
                backoff.resetMade(kNow + at);
                resets.push_back(at);
            }
        }
        EXPECT_EQ(resets, sequence.resets) << sequence.name;
    }
    RestartBackoff backAnHour;
    backAnHour.resetMade(kNow);
    backAnHour.resetMade(kNow + 5); // now twice as long
    EXPECT_FALSE(backAnHour.resetAllowed(kNow + 10));
    EXPECT_TRUE(backAnHour.resetAllowed(kNow - 3600));
}

} // namespace
} // namespace quern
