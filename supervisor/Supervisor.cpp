#include "supervisor/Supervisor.h"

#include "platform/BackgroundQueue.h"
#include "status/HealthFile.h"
#include "status/StatusDerivation.h"

#include <QFuture>
#include <QPromise>

#include <cmath>
#include <memory>

namespace quern {

Supervisor::Supervisor(ServiceManager& manager, Hooks hooks, QObject* parent)
    : QObject(parent)
    , manager_(manager)
    , hooks_(std::move(hooks)) {
    refreshTimer_.setInterval(hooks_.refreshInterval);
    refreshTimer_.setTimerType(Qt::PreciseTimer); // no tolerance: a tick every 2.0 seconds
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        manager_.refresh(); // what the next tick will know, besides the reports
        refreshStatus();
    });
    staleEdge_.setSingleShot(true);
    staleEdge_.setTimerType(Qt::PreciseTimer);
    connect(&staleEdge_, &QTimer::timeout, this, &Supervisor::refreshStatus);
    changeWindow_.setSingleShot(true);
    changeWindow_.setInterval(hooks_.changeWindow);
    connect(&changeWindow_, &QTimer::timeout, this, [this] {
        if (std::exchange(changePending_, false))
            serviceChanged();
    });
    connect(&manager_, &ServiceManager::statusChanged, this, &Supervisor::statusReported);
    // Repairs tried while no manager was there reached no one: the new one is repaired at once.
    // Its first status follows.
    connect(&manager_, &ServiceManager::managerAppeared, this, [this] { lastAutomaticReconnect_.reset(); });
}

void Supervisor::start() {
    manager_.refresh(); // the first state is shown when it answers
    refreshTimer_.start();
}

double Supervisor::wallNow() const {
    if (hooks_.wallClock)
        return hooks_.wallClock();
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

SteadyTime Supervisor::steadyNow() const {
    return hooks_.steadyClock ? hooks_.steadyClock() : std::chrono::steady_clock::now();
}

void Supervisor::statusReported(const ServiceStatus& status) {
    serviceStatus_ = status;
    serviceChanged();
}

void Supervisor::serviceChanged() {
    if (changeWindow_.isActive()) {
        changePending_ = true; // looked at when the window closes
        return;
    }
    refreshStatus();
    changeWindow_.start();
}

void Supervisor::refreshStatus() {
    if (!serviceStatus_)
        return; // the manager's first answer is on its way: the views still say they are checking
    const ServiceStatus service = *serviceStatus_;
    const double refreshTime = wallNow(); // after the manager has answered, before the health is read
    const HealthRecord health = readHealthFile(hooks_.healthFile);
    const StatusDerivation status = deriveStatus(service.running, refreshTime, health);
    const SteadyTime now = steadyNow();
    restartBackoff_.observe(status.state == AgentState::online, now);
    if (status.state == AgentState::online) {
        holdAnnounced_ = false;
        present(status.state, status.detail);
    } else {
        const Repair repair = chooseRepair(service, automaticReconnectDue(lastAutomaticReconnect_, now),
                                           restartBackoff_.resetAllowed(now));
        if (repair == Repair::holdBack) {
            // Whole seconds on the wall clock: the time shown stays put from one refresh to the next.
            const auto wait = std::chrono::duration<double>(restartBackoff_.nextAllowed(now) - now).count();
            const QDateTime next =
                QDateTime::fromSecsSinceEpoch(static_cast<qint64>(std::ceil(refreshTime + wait)));
            present(status.state, Detail::retryHeld, next);
            if (!std::exchange(holdAnnounced_, true))
                emit retryHeld(next);
        } else {
            present(status.state, status.detail);
            automaticallyReconnect(repair, now);
        }
    }
    scheduleStaleEdgeRefresh(status.state == AgentState::online ? serverOkTime(health) : 0, refreshTime);
}

void Supervisor::present(AgentState state, Detail detail, QDateTime nextRetry) {
    if (stateKnown_ && state == state_ && detail == detail_ && nextRetry == nextRetry_)
        return;
    stateKnown_ = true;
    state_ = state;
    detail_ = detail;
    nextRetry_ = std::move(nextRetry);
    emit stateChanged();
}

void Supervisor::automaticallyReconnect(Repair repair, SteadyTime now) {
    // Stamped before the work runs: a failing repair still waits its turn. The outcome shows in a
    // later refresh; nothing waits for it.
    switch (repair) {
    case Repair::none:
    case Repair::holdBack:
        return;
    case Repair::wake:
        lastAutomaticReconnect_ = now;
        (void)manager_.wake();
        return;
    case Repair::start:
        lastAutomaticReconnect_ = now;
        (void)manager_.start(StartMode::plain);
        return;
    case Repair::resetAndStart:
        lastAutomaticReconnect_ = now;
        restartBackoff_.resetMade(now);
        (void)manager_.start(StartMode::resetFailed);
        return;
    }
}

void Supervisor::scheduleStaleEdgeRefresh(double serverOkAt, double refreshTime) {
    const double remaining = serverOkAt + kFreshnessWindow - refreshTime;
    // Nothing fresh to watch, or a time ahead of the clock, which the 2 s timer looks after.
    if (serverOkAt <= 0 || remaining <= 0 || remaining > kFreshnessWindow) {
        staleEdge_.stop();
        return;
    }
    // A millisecond past the edge, so that the refresh finds the record stale.
    staleEdge_.start(std::chrono::milliseconds(static_cast<long long>(std::ceil(remaining * 1000.0)) + 1));
}

void Supervisor::userActed() {
    // The user's word ends a hold: the crash loop's backoff starts over from this start, and a new
    // hold is told again. The command is a repair too: the automatic one waits its turn after it,
    // rather than acting on what the manager said before the command, or sending SIGHUP to a process
    // the command has just started, before it could set up its handler.
    const SteadyTime now = steadyNow();
    restartBackoff_.clear();
    restartBackoff_.resetMade(now);
    lastAutomaticReconnect_ = now;
    holdAnnounced_ = false;
}

void Supervisor::performAgentAction(QFuture<void> action) {
    if (actionsInFlight_++ == 0)
        emit busyChanged(true);
    // The settle pause, whatever the action did; then one refresh shows what came of it.
    const auto settle = [this] {
        QTimer::singleShot(hooks_.settlePause, Qt::PreciseTimer, this, [this] {
            if (--actionsInFlight_ == 0)
                emit busyChanged(false);
            refreshStatus();
        });
    };
    whenFinished(action, this, [settle](const QFuture<void>&) { settle(); });
}

void Supervisor::toggleAgent() {
    if (!stateKnown_)
        return; // nothing shown yet to decide by
    userActed();
    if (state_ == AgentState::stopped)
        performAgentAction(manager_.start(StartMode::resetFailed)); // the user asked: at once
    else
        performAgentAction(manager_.stop());
}

void Supervisor::reconnectAgent() {
    if (!stateKnown_)
        return;
    userActed();
    present(AgentState::running, Detail::manualReconnect);
    auto done = std::make_shared<QPromise<void>>();
    done->start();
    // A fresh look decides: wake what is loaded, start what is not; a start in progress is left to
    // finish.
    whenFinished(manager_.query(), this, [this, done](const QFuture<ServiceStatus>& asked) {
        if (asked.resultCount() == 0 || asked.result().starting)
            return; // `done` goes with this, and the action ends
        whenFinished(asked.result().running ? manager_.wake() : manager_.start(StartMode::resetFailed), this,
                     [done](const QFuture<void>&) { done->finish(); });
    });
    performAgentAction(done->future());
}

} // namespace quern
