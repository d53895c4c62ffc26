#include "app/AppDelegate.h"

#include "platform/BackgroundQueue.h"
#include "status/StatusDerivation.h"
#include "ui/Spinner.h"

#include <QPushButton>
#include <QTimer>

namespace quern {

bool AppDelegate::repairAgent(bool serviceRunning, IfFailed ifFailed) const {
    if (!serviceRunning)
        return serviceManager_->start(ifFailed);
    serviceManager_->wake();
    return false;
}

void AppDelegate::performAgentAction(AgentAction action) {
    reconnectButton_->setEnabled(false);
    toggleButton_->setEnabled(false);
    activity_->startAnimation();

    std::weak_ptr<AppDelegate> weak = weak_from_this();
    dispatchAsync(QualityOfService::userInitiated, [action = std::move(action), weak] {
        action();
        dispatchToMain([weak] {
            auto self = weak.lock();
            if (!self)
                return;
            // The settle pause, whatever the action did: a single-shot timer of the application
            // object's, which never fires once the object is gone.
            QTimer::singleShot(self->hooks_.settlePause, Qt::PreciseTimer, self.get(), [weak] {
                // Each step only while the object exists; nothing here decides whether another action runs.
                if (auto self = weak.lock())
                    self->activity_->stopAnimation();
                if (auto self = weak.lock())
                    self->reconnectButton_->setEnabled(true);
                if (auto self = weak.lock())
                    self->toggleButton_->setEnabled(true);
                if (auto self = weak.lock())
                    self->refreshStatus();
            });
        });
    });
}

void AppDelegate::toggleAgent() {
    std::weak_ptr<const AppDelegate> weak = weak_from_this();
    if (currentState_ == AgentState::stopped) {
        performAgentAction([weak] {
            if (auto self = weak.lock())
                (void)self->serviceManager_->start(IfFailed::reset); // the user asked: always
        });
    } else {
        performAgentAction([weak] {
            if (auto self = weak.lock())
                self->serviceManager_->stop();
        });
    }
}

void AppDelegate::reconnectAgent() {
    applyState(AgentState::running, kDetailManualReconnect);
    std::weak_ptr<const AppDelegate> weak = weak_from_this();
    performAgentAction([weak] {
        if (auto self = weak.lock())
            (void)self->repairAgent(self->serviceManager_->askRunning(), IfFailed::reset);
    });
}

} // namespace quern
