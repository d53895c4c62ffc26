#include "status/ReconnectThrottle.h"
#include "status/StatusDerivation.h"

#include <gtest/gtest.h>

namespace quern {
namespace {

constexpr double kNow = 1'800'000'000.0;

HealthRecord health(std::string_view json) {
    return parseHealth(json);
}

TEST(StatusDerivation, StateAndDetailFollowLoadedFreshAndBusy) {
    struct Case {
        const char* name;
        bool loaded;
        std::string json;
        StatusDerivation expected;
    };
    const std::string at11_9 = R"({"server_ok_at": )" + std::to_string(kNow - 11.9) + "}";
    const std::string at12 = R"({"server_ok_at": )" + std::to_string(kNow - 12.0) + "}";
    const std::string future = R"({"server_ok_at": )" + std::to_string(kNow + 30) + "}";
    const std::string fresh = std::to_string(kNow - 1);
    const std::vector<Case> cases = {
        {"11.9 s old", true, at11_9, {AgentState::online, kDetailIdle}},
        {"exactly 12 s old", true, at12, {AgentState::running, kDetailReconnecting}},
        {"in the future", true, future, {AgentState::online, kDetailIdle}},
        {"time as a string",
         true,
         R"({"server_ok_at": ")" + fresh + R"("})",
         {AgentState::running, kDetailReconnecting}},
        {"zero", true, R"({"server_ok_at": 0})", {AgentState::running, kDetailReconnecting}},
        {"null", true, R"({"server_ok_at": null})", {AgentState::running, kDetailReconnecting}},
        {"no health file", true, "", {AgentState::running, kDetailReconnecting}},
        {"not loaded, fresh and busy",
         false,
         R"({"server_ok_at": )" + fresh + R"(, "busy_command_id": "c"})",
         {AgentState::stopped, kDetailStarting}},
        {"busy",
         true,
         R"({"server_ok_at": )" + fresh + R"(, "busy_command_id": "c7"})",
         {AgentState::online, kDetailBusy}},
        {"busy empty",
         true,
         R"({"server_ok_at": )" + fresh + R"(, "busy_command_id": ""})",
         {AgentState::online, kDetailIdle}},
        {"busy as a number",
         true,
         R"({"server_ok_at": )" + fresh + R"(, "busy_command_id": 7})",
         {AgentState::online, kDetailIdle}},
        {"integer time",
         true,
         R"({"server_ok_at": )" + std::to_string(static_cast<long long>(kNow - 3)) + "}",
         {AgentState::online, kDetailIdle}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(deriveStatus(c.loaded, kNow, health(c.json)), c.expected) << c.name;
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

} // namespace
} // namespace quern
