#pragma once

#include <QObject>
#include <QUrl>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quern {

// Qt's own D-Bus users (the platform theme, the tray, accessibility) connect to the session bus
// inside QApplication's constructor and later, and wait without limit on a bus that takes the
// connection and never answers: the client would never show anything. Qt has no switch for them,
// so when the bus is silent at launch they are given an address that fails at once ("disabled:",
// which libdbus rejects as an unknown transport), as if there were no bus: the tray falls back to
// XEmbed and there is no AT-SPI. The service manager keeps the real address and looks for the bus
// on its own, and children get the real one (platform/ChildEnvironment.h). Before QApplication.
void keepQtOffASilentSessionBus();

// While Qt is kept off the bus: every URL the client opens goes to xdg-open with the real address,
// and the bus is looked at every few seconds off the main thread. Once it answers, the event loop
// ends, and restartIfTheSessionBusCameBack() starts the client again on it. Only once: a restarted
// client that finds the bus silent again stays without it.
class SessionBusRecovery final : public QObject {
    Q_OBJECT
public:
    // Null when there is nothing to recover from. `windowShown` is asked, on the main thread, as
    // the restart is decided: the restarted client shows its window or not, as it was.
    [[nodiscard]] static std::unique_ptr<SessionBusRecovery> start(std::function<bool()> windowShown);
    ~SessionBusRecovery() override;
    SessionBusRecovery(const SessionBusRecovery&) = delete;
    SessionBusRecovery& operator=(const SessionBusRecovery&) = delete;

public slots:
    // QDesktopServices' handler for http, https and file; any thread.
    void openUrl(const QUrl& url) const;

private:
    explicit SessionBusRecovery(std::function<bool()> windowShown);
    void watch(const std::string& address);
    void busAnswers();

    std::function<bool()> windowShown_;
    std::mutex lock_;
    std::condition_variable_any wake_;
    std::jthread watcher_; // last: stopped and joined before the rest goes
};

// After the event loop and everything of the client is gone: if the bus answered meanwhile, the
// same program starts again in this process, with the same arguments, the real address and the
// window's state; returns only when no restart is due or it could not be made.
void restartIfTheSessionBusCameBack();

} // namespace quern
