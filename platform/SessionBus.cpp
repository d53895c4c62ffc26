#include "platform/SessionBus.h"

#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quern {
namespace {

using Clock = std::chrono::steady_clock;

struct UnixAddress {
    std::string path;
    bool abstract = false;
};

// D-Bus escapes bytes outside [-0-9A-Za-z_/.\*] in address values as %XX.
std::optional<std::string> unescape(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size())
            return std::nullopt;
        const auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int high = hex(value[i + 1]);
        const int low = hex(value[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// The first entry of the address, when it is a Unix socket: "unix:path=…" or "unix:abstract=…".
std::optional<UnixAddress> firstUnixAddress(std::string_view address) {
    const std::string_view entry = address.substr(0, address.find(';'));
    constexpr std::string_view prefix = "unix:";
    if (entry.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    std::string_view keys = entry.substr(prefix.size());
    while (!keys.empty()) {
        const std::string_view pair = keys.substr(0, keys.find(','));
        keys.remove_prefix(std::min(keys.size(), pair.size() + 1));
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = pair.substr(0, equals);
        if (key != "path" && key != "abstract")
            continue;
        std::optional<std::string> path = unescape(pair.substr(equals + 1));
        if (!path || path->empty())
            return std::nullopt;
        return UnixAddress{std::move(*path), key == "abstract"};
    }
    return std::nullopt;
}

// Waits for the events until the deadline; false when it passed first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

std::string sessionBusAddress(const char* busAddress, const char* runtimeDirectory) {
    if (busAddress != nullptr && busAddress[0] != '\0')
        return busAddress;
    if (runtimeDirectory != nullptr && runtimeDirectory[0] != '\0')
        return std::string("unix:path=") + runtimeDirectory + "/bus";
    return {};
}

BusCheck checkBus(std::string_view address, std::chrono::milliseconds bound) {
    const std::optional<UnixAddress> unix = firstUnixAddress(address);
    if (!unix)
        return BusCheck::unchecked;
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    const std::size_t offset = unix->abstract ? 1 : 0; // an abstract name starts with a NUL byte
    if (unix->path.size() + offset >= sizeof socketAddress.sun_path)
        return BusCheck::unreachable;
    std::memcpy(socketAddress.sun_path + offset, unix->path.data(), unix->path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + unix->path.size() +
                                               (offset ? 0 : 1));

    const Clock::time_point deadline = Clock::now() + bound;
    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket)
        return BusCheck::unreachable;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&socketAddress), length) != 0) {
        // A full backlog makes a Unix connect wait; anything else fails at once.
        if (errno != EAGAIN && errno != EINPROGRESS && errno != EINTR)
            return BusCheck::unreachable;
        int error = 0;
        socklen_t size = sizeof error;
        if (!waitFor(socket.get(), POLLOUT, deadline))
            return BusCheck::silent;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
            return BusCheck::unreachable;
    }

    // The handshake's first step: a NUL byte, then an AUTH line. Any line back means the bus is
    // alive; what it says does not matter here.
    const std::string hello = std::string(1, '\0') + "AUTH EXTERNAL " + [] {
        std::string hex;
        for (const char digit : std::to_string(::getuid())) {
            constexpr std::string_view digits = "0123456789abcdef";
            hex += digits[static_cast<unsigned char>(digit) >> 4];
            hex += digits[static_cast<unsigned char>(digit) & 0xf];
        }
        return hex;
    }() + "\r\n";
    std::size_t sent = 0;
    while (sent < hello.size()) {
        const ssize_t n = ::send(socket.get(), hello.data() + sent, hello.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!waitFor(socket.get(), POLLOUT, deadline))
                return BusCheck::silent;
        } else {
            return BusCheck::unreachable;
        }
    }
    std::string reply;
    while (reply.find("\r\n") == std::string::npos) {
        if (!waitFor(socket.get(), POLLIN, deadline))
            return BusCheck::silent;
        char buffer[256];
        const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (n > 0)
            reply.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return BusCheck::unreachable; // it hung up: no bus there
    }
    return BusCheck::answers;
}

} // namespace quern
