#pragma once

#include <cerrno>
#include <string_view>
#include <unistd.h>

namespace quern::standins {

// Writes all of text, going on after a signal interrupts; stops quietly on any other error.
inline void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

} // namespace quern::standins
