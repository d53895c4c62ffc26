#include "status/HealthFile.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quern {
namespace {

// Strict JSON; an object is returned as it is, anything else as the empty object.
HealthRecord parseHealth(std::string_view bytes) {
    // No exceptions, no comments, no trailing commas: strict JSON, as the agent writes it.
    // nlohmann's lexer takes a NUL byte for the end of input and would ignore whatever follows it;
    // strict JSON never holds a raw NUL (inside strings it is escaped as \u0000).
    if (bytes.find('\0') != std::string_view::npos)
        return HealthRecord::object();
    HealthRecord parsed = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
    if (parsed.is_discarded() || !parsed.is_object())
        return HealthRecord::object();
    return parsed;
}

} // namespace

HealthRecord readHealthFile(const std::string& path) {
    // O_NONBLOCK: opening a FIFO (or a device) at this path must not wait for a writer.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd)
        return HealthRecord::object();
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kHealthFileLimit)
        return HealthRecord::object();

    // Size the buffer to the file; it may still grow while we read, but never past the limit.
    std::string bytes;
    bytes.resize(std::min(static_cast<std::size_t>(info.st_size) + 1, kHealthFileLimit + 1));
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() > kHealthFileLimit)
                break;
            bytes.resize(std::min(bytes.size() * 2, kHealthFileLimit + 1));
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return HealthRecord::object();
        }
    }
    if (filled > kHealthFileLimit)
        return HealthRecord::object();
    bytes.resize(filled);
    return parseHealth(bytes);
}

} // namespace quern
