#pragma once

#include <functional>

namespace quern {

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
    // refresh on the main thread. Never waits longer than a child's bound on a manager that does
    // not answer.
    [[nodiscard]] virtual bool lastReportedRunning() = 0;
    // The same question asked afresh, on a background thread (the reconnect's probe).
    [[nodiscard]] virtual bool askRunning() = 0;
    // Starts the service (loading it where the manager needs that); stops it. Background threads.
    virtual void start() = 0;
    virtual void stop() = 0;
    // Sends the agent's running process SIGHUP, and nothing to anyone when it has none. Background.
    virtual void wake() = 0;

    // Called on the main thread whenever the manager reports on its own that the service changed,
    // so that the state can be looked at again at once. A manager that reports nothing never calls it.
    virtual void setChangeHandler(std::function<void()> handler) { (void)handler; }
};

} // namespace quern
