#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quern {

// How the window was when the client started itself again (for a session bus that came back).
enum class RestoredWindow { none, shown, hidden };

// The option that marks such a restart, with "shown" or "hidden"; --help leaves it out.
inline constexpr std::string_view kRestartOption = "restarted-with-window";

// Reads the command line before anything else of the client runs: --help and --version print to
// standard output, a wrong argument gets one line on standard error, and neither starts anything
// (no display, no session bus, no service manager, no asking for another client). Qt's own
// options (-platform, -style, -session and the like) are let through for the application object.
// A value: exit now with that status.
[[nodiscard]] std::optional<int> readCommandLine(int argc, char** argv);

// What readCommandLine found: the arguments as given (argv[0] first), for a restart, and the
// window's state before one.
[[nodiscard]] const std::vector<std::string>& launchArguments();
[[nodiscard]] RestoredWindow restoredWindow();

} // namespace quern
