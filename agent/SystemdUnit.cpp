#include "agent/SystemdUnit.h"

#include <array>

namespace quern {

std::string systemdUnitPath(std::string_view unit) {
    constexpr std::string_view hex = "0123456789abcdef";
    std::string path = "/org/freedesktop/systemd1/unit/";
    if (unit.empty())
        return path + "_";
    for (std::size_t i = 0; i < unit.size(); ++i) {
        const auto c = static_cast<unsigned char>(unit[i]);
        const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (alpha || (digit && i > 0)) {
            path += static_cast<char>(c);
        } else {
            path += '_';
            path += hex[c >> 4];
            path += hex[c & 0xF];
        }
    }
    return path;
}

bool unitCountsAsLoaded(std::string_view loadState, std::string_view activeState) {
    constexpr std::array<std::string_view, 6> present = {"active",     "reloading",    "refreshing",
                                                         "activating", "deactivating", "maintenance"};
    if (loadState != "loaded")
        return false;
    for (std::string_view state : present)
        if (activeState == state)
            return true;
    return false;
}

ServiceStatus serviceStatusOf(std::string_view loadState, std::string_view activeState,
                              std::string_view restart) {
    ServiceStatus status;
    status.running = unitCountsAsLoaded(loadState, activeState);
    status.starting = status.running && activeState == "activating";
    status.failed = loadState == "loaded" && activeState == "failed";
    status.restartsOnItsOwn = !restart.empty() && restart != "no";
    return status;
}

} // namespace quern
