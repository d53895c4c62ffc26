#include "app/AppDelegate.h"

#include "agent/PidLine.h"

#include <array>

namespace quern {

void AppDelegate::wakeAgent() const {
    const std::array<std::string, 2> print = {"print", serviceTarget()};
    const std::optional<std::string> pid = pidTextFromDescription(launchctlOutput(print));
    if (!pid)
        return;
    // kill's own streams are ours; its exit status says nothing we act on.
    const std::array<std::string, 2> hangUp = {"-HUP", *pid};
    (void)runTool(hooks_.killPath, hangUp, OutputMode::Inherit, OutputMode::Inherit);
}

} // namespace quern
