#pragma once

#include "status/AgentState.h"
#include "status/ReconnectThrottle.h"
#include "status/RestartBackoff.h"
#include "supervisor/ServiceManager.h"

#include <QDateTime>
#include <QFuture>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace quern {

// Decides everything about the agent: when to look, what the look means, what to repair and when,
// and what the user's commands do. It reads the health file and hears the service manager; the
// views only show its properties and hand it their commands. Main thread only.
class Supervisor final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool stateKnown READ stateKnown NOTIFY stateChanged)
    Q_PROPERTY(quern::AgentState state READ state NOTIFY stateChanged)
    Q_PROPERTY(quern::Detail detail READ detail NOTIFY stateChanged)
    Q_PROPERTY(QDateTime nextRetry READ nextRetry NOTIFY stateChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)

public:
    // What it needs from the outside; tests replace parts at run time.
    struct Hooks {
        std::string healthFile;
        std::function<double()> wallClock;       // seconds since 1970; empty: the system's
        std::function<SteadyTime()> steadyClock; // empty: std::chrono::steady_clock
        std::chrono::milliseconds refreshInterval{2000};
        std::chrono::milliseconds settlePause{1200}; // after a user's command, before it is shown
        // At most one refresh in this long for what the manager reports on its own.
        std::chrono::milliseconds changeWindow{100};
    };

    Supervisor(ServiceManager& manager, Hooks hooks, QObject* parent = nullptr);

    // Asks the manager for the first time and starts the refresh timer.
    void start();

    // False until the manager's first answer has been shown; the other properties mean nothing
    // before.
    [[nodiscard]] bool stateKnown() const { return stateKnown_; }
    [[nodiscard]] AgentState state() const { return state_; }
    [[nodiscard]] Detail detail() const { return detail_; }
    // While the detail is Detail::retryHeld: when the next try comes, on the wall clock.
    [[nodiscard]] QDateTime nextRetry() const { return nextRetry_; }
    // A user's command is running, or settling.
    [[nodiscard]] bool busy() const { return actionsInFlight_ > 0; }

public slots:
    // Derives the state from what the manager last said and the health file, shows it, and
    // repairs what is not online. Runs on every tick and after every report.
    void refreshStatus();
    // Starts the agent when it is stopped, stops it otherwise.
    void toggleAgent();
    // Wakes a loaded agent, starts one that is not.
    void reconnectAgent();

signals:
    void stateChanged();
    void busyChanged(bool busy);
    // The backoff holds a service its manager gave up on: once per episode, which ends when the
    // agent is online again or the user acts.
    void retryHeld(const QDateTime& nextRetry);

private:
    void statusReported(const ServiceStatus& status);
    // Looked at at once, but at most once per change window: a storm of reports costs a few
    // refreshes, and the last one always shows.
    void serviceChanged();
    void present(AgentState state, Detail detail, QDateTime nextRetry = {});
    void automaticallyReconnect(Repair repair, SteadyTime now);
    void performAgentAction(QFuture<void> action);
    // A refresh at the moment the health record turns stale, beside the timer's.
    void scheduleStaleEdgeRefresh(double serverOkAt, double refreshTime);
    void userActed();
    [[nodiscard]] double wallNow() const;
    [[nodiscard]] SteadyTime steadyNow() const;

    ServiceManager& manager_;
    const Hooks hooks_;
    QTimer refreshTimer_;
    QTimer staleEdge_;
    QTimer changeWindow_;
    bool changePending_ = false;

    std::optional<ServiceStatus> serviceStatus_; // empty until the manager's first answer
    bool stateKnown_ = false;
    AgentState state_ = AgentState::stopped;
    Detail detail_ = Detail::checking;
    QDateTime nextRetry_;
    int actionsInFlight_ = 0;

    std::optional<SteadyTime> lastAutomaticReconnect_;
    RestartBackoff restartBackoff_;
    bool holdAnnounced_ = false;
};

} // namespace quern

Q_DECLARE_METATYPE(quern::AgentState)
Q_DECLARE_METATYPE(quern::Detail)
