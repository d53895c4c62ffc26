#pragma once

#include "app/AgentIdentity.h" // kServiceLabel, kDashboardAddress

#include <mutex>
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

// A value formed on first use and kept; safe when first used from several threads at once.
template <typename T> class ComputedOnce {
public:
    template <typename Compute> const T& get(Compute&& compute) const {
        std::call_once(once_, [&] { value_ = compute(); });
        return value_;
    }

private:
    mutable std::once_flag once_;
    mutable T value_{};
};

} // namespace quern
