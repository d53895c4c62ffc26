#pragma once

#include <functional>
#include <optional>

namespace quern {

// What a start does with a service its manager has given up on (systemd's "failed": a crash loop
// stopped by its start limit, say).
enum class IfFailed {
    reset, // clear the failure and start it: the user asked, or the crash loop's backoff allows it
    leave, // leave it failed: starting it again would only feed the loop
};

// What the manager reported on its own.
enum class ServiceChange {
    state,           // the service changed
    managerAppeared, // a manager came up (late, restarted, re-executed) and has answered
};

// What the client asks of the service manager that runs the agent: launchd on macOS, the user's
// systemd on Linux. One is chosen at start-up. Failures are answers, never errors: a manager that
// cannot be asked has the service not running, and a command that fails changes nothing here; the
// next refresh shows what came of it.
class ServiceManager {
public:
    ServiceManager() = default;
    ServiceManager(const ServiceManager&) = delete;
    ServiceManager& operator=(const ServiceManager&) = delete;
    virtual ~ServiceManager() = default;

    // Whether the agent's service is running as the manager last reported it, for the status
    // refresh on the main thread; empty only until the manager's first answer (or the end of the
    // first try to reach it). Never waits longer than a child's bound on a manager that does not
    // answer.
    [[nodiscard]] virtual std::optional<bool> lastReportedRunning() = 0;
    // The same question asked afresh, on a background thread (the reconnect's probe).
    [[nodiscard]] virtual bool askRunning() = 0;
    // Starts the service (loading it where the manager needs that); true when a failed service was
    // reset for it. Stops it. Background threads.
    virtual bool start(IfFailed ifFailed) = 0;
    virtual void stop() = 0;
    // Sends the agent's running process SIGHUP, and nothing to anyone when it has none. Background.
    virtual void wake() = 0;

    // Called on the main thread whenever the manager reports something on its own, so that the
    // state can be looked at again at once. A manager that reports nothing never calls it.
    virtual void setChangeHandler(std::function<void(ServiceChange)> handler) { (void)handler; }
};

} // namespace quern
