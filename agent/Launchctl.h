#pragma once

#include "platform/ProcessSpawn.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quern {

// The agent as a LaunchAgent in the user's GUI domain, driven through launchctl and kill run as
// children: "print" of the service target answers whether it is loaded, "bootstrap" and "bootout"
// load and unload it, and the wake sends SIGHUP to the pid that "print" shows. Each command waits
// for its children (within the bound): any thread, never the main one. A value: background jobs
// hold their own copy.
class Launchctl {
public:
    struct Tools {
        std::string launchctlPath = "/bin/launchctl";
        std::string killPath = "/bin/kill";
        ProcessLauncher launcher = spawnAndWait;
        std::chrono::milliseconds timeout{3000}; // a hung child is killed after this
    };

    // launchAgent: the property list's path, which "bootstrap" names.
    Launchctl(Tools tools, std::string serviceLabel, std::string launchAgent);

    [[nodiscard]] bool loaded() const; // "print" succeeds
    void bootstrap() const;
    void bootout() const;
    void hangUp() const;

    // The runner: launchctl's exit status, -1 when it could not run (or hung and was killed); its
    // standard output as UTF-8, empty when it could not run or wrote anything else. Any thread.
    [[nodiscard]] std::int32_t launchctl(std::span<const std::string> arguments) const;
    [[nodiscard]] std::string launchctlOutput(std::span<const std::string> arguments) const;

private:
    [[nodiscard]] SpawnResult runTool(const std::string& path, std::span<const std::string> arguments,
                                      OutputMode standardOutput, OutputMode standardError) const;
    // Formed at every use: the user id is read anew each time.
    [[nodiscard]] std::string userServiceTarget() const;

    Tools tools_;
    std::string serviceLabel_;
    std::string launchAgent_;
};

// "gui/<uid>": the user's GUI domain.
[[nodiscard]] std::string domainTarget(uid_t uid);
// "gui/<uid>/<label>": the agent's service in that domain.
[[nodiscard]] std::string serviceTarget(uid_t uid, std::string_view label);
// Relative path of the property list below the home directory.
[[nodiscard]] std::string launchAgentRelativePath(std::string_view label);

} // namespace quern
