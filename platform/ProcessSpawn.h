#pragma once

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace quern {

enum class OutputMode {
    Inherit, // the client's own stream
    Null,    // the null device
    Capture, // a pipe read while the child runs (standard output only)
};

struct SpawnRequest {
    std::string_view path;                  // absolute; no search of PATH
    std::span<const std::string> arguments; // argv[1...]; argv[0] is the path
    OutputMode standardOutput = OutputMode::Null;
    OutputMode standardError = OutputMode::Null;
    // A child still running after this long is killed and reported as not started.
    std::chrono::milliseconds timeout{3000};
};

struct SpawnResult {
    bool started = false;  // false when it could not be started, or was killed for running too long
    bool timedOut = false; // it ran past the timeout and was killed
    int status = -1;       // exit status, or the signal number when a signal ended it
    std::string output;    // captured standard output (Capture only)
};

// Starts the child with posix_spawn, reads its output while it runs, and reaps it. Safe to call
// from several threads at once; every descriptor it makes is close-on-exec.
[[nodiscard]] SpawnResult spawnAndWait(const SpawnRequest& request);

// How the application starts children; tests inject recorders or slow launchers.
using ProcessLauncher = std::function<SpawnResult(const SpawnRequest&)>;

} // namespace quern
