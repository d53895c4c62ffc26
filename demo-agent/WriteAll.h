#pragma once

#include <cerrno>
#include <string_view>
#include <unistd.h>

namespace quern::demo_agent {

// Writes all of text, going on after a signal interrupts. False on any other error (or a write
// that makes no progress); callers writing diagnostics may ignore that, callers writing state may not.
inline bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Standard error, for the stand-ins' messages.
inline void complain(std::string_view text) {
    (void)writeAll(STDERR_FILENO, text);
}

} // namespace quern::demo_agent
