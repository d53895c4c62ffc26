#pragma once

#include "status/ServiceStatus.h"

#include <QFuture>
#include <QObject>

#include <chrono>

namespace quern {

// What a start does with a service its manager has given up on.
enum class StartMode {
    plain,       // start it as it is
    resetFailed, // clear the failure first, so that its manager's start limit starts afresh
};

// The seam to the service manager that runs the agent: launchd on macOS, the user's systemd on
// Linux. Every request returns at once; its outcome comes back as a future, and what the manager
// reports as statusChanged. Failures are answers, never errors: a manager that cannot be asked
// has the service not running, and a command that fails changes nothing here.
class ServiceManager : public QObject {
    Q_OBJECT

public:
    // A manager that does not answer is given up on after this.
    static constexpr std::chrono::milliseconds kTimeout{3000};

    using QObject::QObject;

    // Asks for the status afresh; a change is reported through statusChanged.
    virtual void refresh() = 0;
    // Asks for the status afresh and gives the answer itself.
    [[nodiscard]] virtual QFuture<ServiceStatus> query() = 0;
    [[nodiscard]] virtual QFuture<void> start(StartMode mode) = 0;
    [[nodiscard]] virtual QFuture<void> stop() = 0;
    // Sends the agent's running process SIGHUP, and nothing to anyone when it has none.
    [[nodiscard]] virtual QFuture<void> wake() = 0;

signals:
    // The status changed, or was first known. Every report carries the whole status.
    void statusChanged(const quern::ServiceStatus& status);
    // A manager came up (late, restarted, re-executed) and has answered: repairs tried while it was
    // not there reached no one.
    void managerAppeared();
};

} // namespace quern

Q_DECLARE_METATYPE(quern::ServiceStatus)
