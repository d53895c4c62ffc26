#pragma once

#include "status/AgentIdentity.h" // kServiceLabel, kDashboardAddress

#include <string>
#include <string_view>

namespace quern {

inline constexpr std::string_view kConfigDirectoryName = ".quern-web-bridge";
inline constexpr std::string_view kAgentLogName = "agent.log";
inline constexpr std::string_view kHealthFileName = "health.json";

// Joins base and a relative path with exactly one "/" between them.
[[nodiscard]] std::string appendPathComponent(std::string_view base, std::string_view component);

// The current user's home directory: $HOME when set and absolute, else the password database.
[[nodiscard]] std::string currentHomeDirectory();

// The agent's files below a home directory, formed once.
struct AgentLocations {
    std::string configDirectory;
    std::string healthFile;
    std::string agentLog;

    [[nodiscard]] static AgentLocations forHome(std::string_view home);
};

} // namespace quern
