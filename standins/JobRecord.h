#pragma once

#include "standins/Plist.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quern::standins {

struct LastExit {
    enum class Kind { Never, Exited, Signaled };
    Kind kind = Kind::Never;
    int code = 0; // exit status, or the signal number

    friend bool operator==(const LastExit&, const LastExit&) = default;
};

// What the stand-in remembers about one loaded job between invocations.
struct JobRecord {
    JobDefinition definition;
    std::string plistPath;
    std::int64_t pid = 0;             // 0 while not running
    std::uint64_t startTicks = 0;     // /proc/<pid>/stat field 22, tells our process from a recycled pid
    std::uint64_t runs = 0;           // times started
    std::int64_t lastStartMillis = 0; // CLOCK_BOOTTIME, for the KeepAlive throttle
    LastExit lastExit;

    friend bool operator==(const JobRecord&, const JobRecord&) = default;
};

// One "key value" line per field; values are %XX-escaped so arguments may hold any byte.
[[nodiscard]] std::string serializeRecord(const JobRecord& record);

// nullopt when the text is not a complete record of this format.
[[nodiscard]] std::optional<JobRecord> parseRecord(std::string_view text);

} // namespace quern::standins
