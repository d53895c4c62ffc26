#include "status/AgentLocations.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace quern {

std::string appendPathComponent(std::string_view base, std::string_view component) {
    std::string joined(base);
    if (joined.empty() || joined.back() != '/')
        joined.push_back('/');
    while (!component.empty() && component.front() == '/')
        component.remove_prefix(1);
    joined.append(component);
    return joined;
}

AgentLocations AgentLocations::forHome(std::string_view home) {
    AgentLocations locations;
    locations.configDirectory = appendPathComponent(home, kConfigDirectoryName);
    locations.healthFile = appendPathComponent(locations.configDirectory, kHealthFileName);
    locations.agentLog = appendPathComponent(locations.configDirectory, kAgentLogName);
    return locations;
}

std::string currentHomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return "/";
}

} // namespace quern
