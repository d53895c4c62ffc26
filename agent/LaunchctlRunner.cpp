#include "app/AppDelegate.h"

#include "platform/Utf8.h"

namespace quern {

SpawnResult AppDelegate::runTool(const std::string& path, std::span<const std::string> arguments,
                                 OutputMode standardOutput, OutputMode standardError) const {
    SpawnRequest request;
    request.path = path;
    request.arguments = arguments;
    request.standardOutput = standardOutput;
    request.standardError = standardError;
    request.timeout = hooks_.childTimeout;
    return hooks_.launcher(request);
}

std::int32_t AppDelegate::launchctl(std::span<const std::string> arguments) const {
    const SpawnResult result = runTool(hooks_.launchctlPath, arguments, OutputMode::Null, OutputMode::Null);
    // A launchctl that could not start, or hung and was killed, tells us nothing: -1.
    return result.started ? result.status : -1;
}

std::string AppDelegate::launchctlOutput(std::span<const std::string> arguments) const {
    SpawnResult result = runTool(hooks_.launchctlPath, arguments, OutputMode::Capture, OutputMode::Null);
    if (!result.started || !isValidUtf8(result.output))
        return {};
    return std::move(result.output);
}

} // namespace quern
