#pragma once

#include "agent/ServiceManager.h"
#include "app/AgentLocations.h"
#include "status/AgentState.h"
#include "status/HealthRecord.h"
#include "status/RestartBackoff.h"
#include "ui/DotView.h"
#include "ui/ElidingLabel.h"
#include "ui/Spinner.h"

#include <QAction>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quern {

class QuitWatch;
class StatusItem;

// The one application object: owns every piece of state and every view. Its methods live in the
// folder of their role (agent/, status/, ui/). Everything but the service manager's commands and
// the locations runs on the main thread; background work holds it only through a weak_ptr.
class AppDelegate : public QObject, public std::enable_shared_from_this<AppDelegate> {
    Q_OBJECT

public:
    // What the application needs from the outside world; tests replace parts at run time.
    using ServiceManagerFactory = std::function<std::unique_ptr<ServiceManager>()>;
    struct Hooks {
        std::string home; // empty: the current user's home directory
        // The service manager that runs the agent, made once for the object's life; empty: the
        // environment's, for this home.
        ServiceManagerFactory serviceManager;
        std::function<double()> clock; // seconds since 1970; empty: the wall clock
        std::chrono::milliseconds settlePause{1200};

        // launchd through /bin/launchctl on macOS. Elsewhere the user's systemd, or launchd through
        // the launchctl that $QUERN_ZOVA_LAUNCHCTL names. The home is resolved here (empty: the
        // current user's), since a launchd manager is given the property list's path in it.
        [[nodiscard]] static Hooks fromEnvironment(std::string home = {});
    };
    // Asking a service manager never takes longer than this; a launchctl is killed after it.
    static constexpr std::chrono::milliseconds kServiceManagerTimeout{3000};

    // Made through a shared_ptr so that background work can hold it weakly; it is always
    // destroyed on its own (the main) thread, whoever lets go last.
    [[nodiscard]] static std::shared_ptr<AppDelegate> create(Hooks hooks = Hooks::fromEnvironment());
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Lifecycle (app/).
    void applicationDidFinishLaunching();
    [[nodiscard]] bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    bool windowShouldClose();
    // Opened again (another launch in this session, or on macOS the Dock icon, Finder, `open`): the
    // window comes back, in front.
    void applicationShouldHandleReopen();

signals:
    // After every presentation, with what the window shows: for a headless run to print.
    void statePresented(const QString& title, const QString& detail);

public slots:
    void showWindow(QObject* sender = nullptr);
    void quitApp();
    void toggleAgent();    // agent/
    void reconnectAgent(); // agent/
    void openDashboard();  // ui/
    void openLogs();       // ui/

public:
    // Status (status/): main thread.
    void refreshStatus();

    // Presentation and views (ui/): main thread.
    void applyState(AgentState state, std::string_view detail);
    void buildWindow();
    void buildStatusItem();

    // Read access for the views and the state, as the benchmark and tests need it.
    [[nodiscard]] QWidget* window() const { return window_.get(); }
    [[nodiscard]] QTimer* timer() const { return timer_; }
    [[nodiscard]] AgentState currentState() const { return currentState_; }

private:
    friend class MainWindow; // forwards its close and appearance changes
    explicit AppDelegate(Hooks hooks);

    // The agent's other locations (app/), formed once, safely from any thread.
    [[nodiscard]] const std::string& configDirectory() const;
    [[nodiscard]] const std::string& agentLog() const;
    [[nodiscard]] const std::string& healthFile() const;
    [[nodiscard]] double now() const;

    [[nodiscard]] HealthRecord readHealth() const;
    void automaticallyReconnect(double now, bool serviceRunning);
    // What the service manager reported on its own, looked at at once but at most once per
    // kChangeWindow: a storm of changes costs a few refreshes, and the last one always shows.
    void serviceChanged(ServiceChange change);

    using AgentAction = std::function<void()>;
    void performAgentAction(AgentAction action);
    // Wakes a running agent, starts one that is not: the reconnect's and the automatic repair's
    // decision; true when a failed service was reset for it. Background threads.
    bool repairAgent(bool serviceRunning, IfFailed ifFailed) const;
    // A refresh at the moment the health record turns stale, beside the timer's.
    void scheduleStaleEdgeRefresh(double serverOkAt, double refreshTime);
    void updateAppearance();
    // A window button with its symbol, made in viewHolder_ until buildWindow places it.
    [[nodiscard]] QPushButton* commandButton(std::string_view title, std::string_view symbol,
                                             void (AppDelegate::*action)(), const char* objectName);

    // Stored properties, in this order.
    const QUrl dashboardURL_;
    const std::string home_;
    ComputedOnce<std::string> configDirectory_;
    ComputedOnce<std::string> agentLog_;
    ComputedOnce<std::string> healthFile_;
    std::unique_ptr<QuitWatch> quitWatch_;
    std::unique_ptr<QWidget> window_;
    std::unique_ptr<StatusItem> statusItem_;
    QPointer<QAction> stateItem_; // the menu's read-only line naming the state
    // Views made at construction; until buildWindow places them they live in viewHolder_.
    std::unique_ptr<QWidget> viewHolder_;
    QPointer<DotView> statusDot_;
    QPointer<QLabel> statusLabel_;
    QPointer<ElidingLabel> detailLabel_;
    QPointer<Spinner> activity_;
    QPointer<QPushButton> toggleButton_;
    QPointer<QPushButton> reconnectButton_;
    QPointer<QTimer> timer_;
    QPointer<QTimer> staleEdge_;
    QPointer<QTimer> changeWindow_;
    bool changePending_ = false;
    AgentState currentState_ = AgentState::stopped;
    std::optional<double> lastAutomaticReconnect_;
    RestartBackoff restartBackoff_;

    const Hooks hooks_;
    const std::unique_ptr<ServiceManager> serviceManager_; // after the home it is made for
};

} // namespace quern
