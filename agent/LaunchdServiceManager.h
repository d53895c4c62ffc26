#pragma once

#include "agent/Launchctl.h"
#include "supervisor/ServiceManager.h"

#include <optional>

namespace quern {

// launchd as the client's service manager: launchctl's commands run on background threads. launchd
// reports nothing on its own, so every refresh asks "print".
class LaunchdServiceManager final : public ServiceManager {
    Q_OBJECT

public:
    explicit LaunchdServiceManager(Launchctl launchctl, QObject* parent = nullptr);

    void refresh() override;
    [[nodiscard]] QFuture<ServiceStatus> query() override;
    [[nodiscard]] QFuture<void> start(StartMode mode) override; // launchd has no failure to reset
    [[nodiscard]] QFuture<void> stop() override;
    [[nodiscard]] QFuture<void> wake() override;

private:
    const Launchctl launchctl_;
    bool refreshing_ = false;
    std::optional<ServiceStatus> status_; // what the last "print" said
};

} // namespace quern
