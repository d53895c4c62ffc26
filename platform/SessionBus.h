#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace quern {

// The user's session bus: $DBUS_SESSION_BUS_ADDRESS, else the socket in $XDG_RUNTIME_DIR; empty
// when neither is set.
[[nodiscard]] std::string sessionBusAddress(const char* busAddress, const char* runtimeDirectory);

enum class BusCheck {
    answers,     // the bus spoke within the bound
    silent,      // it took the connection and said nothing (a stopped or wedged bus, a stale socket)
    unreachable, // no connection could be made: nothing there, refused
    unchecked,   // a transport this check does not speak; the caller should assume it answers
};

// Whether something at a D-Bus address answers the first step of the handshake within `bound`.
// Qt's D-Bus waits without limit on a bus that takes a connection and never answers; this never
// waits longer than the bound. Any thread.
[[nodiscard]] BusCheck checkBus(std::string_view address, std::chrono::milliseconds bound);

} // namespace quern
