#pragma once

#include "status/AgentLocations.h"
#include "supervisor/ServiceManager.h"
#include "supervisor/Supervisor.h"
#include "ui/Commands.h"
#include "ui/MainWindow.h"
#include "ui/StatusItem.h"

#include <QObject>

#include <memory>
#include <string>

namespace quern {

// The client's objects, made and wired: the service manager, the supervisor that decides, and
// the views that show it. Owns them all, for the life of the client.
class Client final : public QObject {
    Q_OBJECT

public:
    // `home`: whose agent; `manager`: the service manager that runs it.
    Client(const std::string& home, std::unique_ptr<ServiceManager> manager, Supervisor::Hooks hooks = {});

    // Starts supervising, shows the tray item, and the window once the first state is on it (unless
    // it is to stay hidden: a restart after the user had closed it).
    void launch(bool showWindow = true);

    [[nodiscard]] Supervisor& supervisor() { return supervisor_; }
    [[nodiscard]] MainWindow& window() { return window_; }
    [[nodiscard]] Commands& commands() { return commands_; }

signals:
    // The window has been shown for the first time, with the first state on it.
    void launched();

private:
    // Made in this order, and gone in the reverse: the views before what they show.
    const AgentLocations locations_;
    std::unique_ptr<ServiceManager> manager_;
    Supervisor supervisor_;
    Commands commands_;
    MainWindow window_;
    StatusItem statusItem_;
    bool launched_ = false;
};

// The service manager of this platform for the agent of `home`: launchd through /bin/launchctl on
// macOS; elsewhere the user's systemd on the session bus at `busAddress`, or launchd through the
// launchctl that $QUERN_ZOVA_LAUNCHCTL names.
[[nodiscard]] std::unique_ptr<ServiceManager> platformServiceManager(const std::string& home,
                                                                     const std::string& busAddress);

} // namespace quern
