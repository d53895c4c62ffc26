#include "agent/Launchctl.h"

#include "agent/PidLine.h"
#include "platform/Utf8.h"

#include <array>
#include <unistd.h>

namespace quern {

std::string domainTarget(uid_t uid) {
    return "gui/" + std::to_string(uid);
}

std::string serviceTarget(uid_t uid, std::string_view label) {
    std::string target = domainTarget(uid);
    target.push_back('/');
    target.append(label);
    return target;
}

std::string launchAgentRelativePath(std::string_view label) {
    std::string path = "Library/LaunchAgents/";
    path.append(label);
    path.append(".plist");
    return path;
}

Launchctl::Launchctl(Tools tools, std::string serviceLabel, std::string launchAgent)
    : tools_(std::move(tools))
    , serviceLabel_(std::move(serviceLabel))
    , launchAgent_(std::move(launchAgent)) {}

std::string Launchctl::userServiceTarget() const {
    return quern::serviceTarget(::getuid(), serviceLabel_);
}

SpawnResult Launchctl::runTool(const std::string& path, std::span<const std::string> arguments,
                               OutputMode standardOutput, OutputMode standardError) const {
    SpawnRequest request;
    request.path = path;
    request.arguments = arguments;
    request.standardOutput = standardOutput;
    request.standardError = standardError;
    request.timeout = tools_.timeout;
    return tools_.launcher(request);
}

std::int32_t Launchctl::launchctl(std::span<const std::string> arguments) const {
    const SpawnResult result = runTool(tools_.launchctlPath, arguments, OutputMode::Null, OutputMode::Null);
    // A launchctl that could not start, or hung and was killed, tells us nothing: -1.
    return result.started ? result.status : -1;
}

std::string Launchctl::launchctlOutput(std::span<const std::string> arguments) const {
    SpawnResult result = runTool(tools_.launchctlPath, arguments, OutputMode::Capture, OutputMode::Null);
    if (!result.started || !isValidUtf8(result.output))
        return {};
    return std::move(result.output);
}

bool Launchctl::loaded() const {
    const std::array<std::string, 2> print = {"print", userServiceTarget()};
    return launchctl(print) == 0;
}

void Launchctl::bootstrap() const {
    // launchd has no failed state to clear: its own throttle spaces a crashing job's restarts.
    const std::array<std::string, 3> arguments = {"bootstrap", domainTarget(::getuid()), launchAgent_};
    (void)launchctl(arguments);
}

void Launchctl::bootout() const {
    const std::array<std::string, 2> arguments = {"bootout", userServiceTarget()};
    (void)launchctl(arguments);
}

void Launchctl::hangUp() const {
    const std::array<std::string, 2> print = {"print", userServiceTarget()};
    const std::optional<std::string> pid = pidTextFromDescription(launchctlOutput(print));
    if (!pid)
        return;
    // kill's own streams are ours; its exit status says nothing we act on.
    const std::array<std::string, 2> arguments = {"-HUP", *pid};
    (void)runTool(tools_.killPath, arguments, OutputMode::Inherit, OutputMode::Inherit);
}

} // namespace quern
