#include "status/StatusDerivation.h"

#include "status/HealthFile.h"

namespace quern {

double serverOkTime(const HealthRecord& health) {
    const auto found = health.find("server_ok_at");
    if (found == health.end() || !found->is_number())
        return 0.0;
    return found->get<double>();
}

namespace {

// Fresh: a positive time less than 12 s before now; a time in the future counts as fresh.
bool isFresh(double serverOkAt, double now) {
    return serverOkAt > 0.0 && now - serverOkAt < kFreshnessWindow;
}

// Busy: "busy_command_id" is a non-empty JSON string.
bool isBusy(const HealthRecord& health) {
    const auto found = health.find("busy_command_id");
    return found != health.end() && found->is_string() && !found->get_ref<const std::string&>().empty();
}

} // namespace

StatusDerivation deriveStatus(bool serviceRunning, double now, const HealthRecord& health) {
    if (serviceRunning && isFresh(serverOkTime(health), now))
        return {AgentState::online, isBusy(health) ? Detail::busy : Detail::idle};
    if (serviceRunning)
        return {AgentState::running, Detail::reconnecting};
    return {AgentState::stopped, Detail::starting};
}

} // namespace quern
