#pragma once

#include "platform/UniqueFd.h"

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace quern {

enum class OutputMode {
    Inherit, // the client's own stream
    Null,    // the null device
    Capture, // a pipe read while the child runs
};

struct SpawnRequest {
    std::string_view path;                  // absolute; no search of PATH
    std::span<const std::string> arguments; // argv[1...]; argv[0] is the path
    OutputMode standardOutput = OutputMode::Null;
    OutputMode standardError = OutputMode::Null;
    // A child still running after this long is killed and reported as not started; max() waits for good.
    std::chrono::milliseconds timeout{3000};
};

struct SpawnResult {
    bool started = false;   // false when it could not be started, or was killed for running too long
    bool timedOut = false;  // it ran past the timeout and was killed
    int status = -1;        // exit status, or the signal number when a signal ended it
    bool signalled = false; // a signal ended it
    std::string output;     // captured standard output (Capture only)
    std::string errors;     // captured standard error (Capture only)
};

// A child started with posix_spawn and not yet reaped. Every descriptor it makes is close-on-exec,
// the child gets only the three standard streams and default signal handling. A child still
// running when its owner lets go is killed and reaped: none outlives its owner unseen.
class ChildProcess {
public:
    // Check started(): a path that cannot be run gives a child that never was.
    [[nodiscard]] static ChildProcess start(const SpawnRequest& request);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    [[nodiscard]] bool started() const { return pid_ > 0; }
    // Why it could not be started: an errno value, 0 once started.
    [[nodiscard]] int error() const { return error_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    // Reaps the child if it has ended; false once it has.
    [[nodiscard]] bool running();
    // Reads captured output until the child ends, and reaps it; past the request's timeout it is
    // killed instead. A descendant that keeps a pipe open does not hold the caller.
    [[nodiscard]] SpawnResult wait();

private:
    void release() noexcept;

    pid_t pid_ = -1;
    int error_ = 0;
    bool reaped_ = false;
    int status_ = -1000; // unknown until reaped
    std::chrono::milliseconds timeout_{3000};
    UniqueFd output_;
    UniqueFd errors_;
    UniqueFd handle_; // a pidfd on Linux, a kqueue watching the exit and the pipes on macOS
};

// Starts the child, reads its output while it runs, and reaps it. Safe to call from several
// threads at once.
[[nodiscard]] SpawnResult spawnAndWait(const SpawnRequest& request);

// How the application starts children; tests inject recorders or slow launchers.
using ProcessLauncher = std::function<SpawnResult(const SpawnRequest&)>;

} // namespace quern
