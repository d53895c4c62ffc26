#include "app/AppDelegate.h"

#include "app/QuitWatch.h"
#include "platform/Desktop.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdlib>
#include <utility>

namespace quern {
namespace {

constexpr std::chrono::milliseconds kRefreshInterval{2000};
// At most one refresh in this long for what the manager reports on its own.
constexpr std::chrono::milliseconds kChangeWindow{100};

} // namespace

void AppDelegate::applicationDidFinishLaunching() {
    // An ordinary application with a window; the tray item is an extra way in, not the only one.
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    buildWindow();
    buildStatusItem();
    staleEdge_ = new QTimer(this);
    staleEdge_->setSingleShot(true);
    staleEdge_->setTimerType(Qt::PreciseTimer);
    connect(staleEdge_, &QTimer::timeout, this, [this] { refreshStatus(); });
    changeWindow_ = new QTimer(this);
    changeWindow_->setSingleShot(true);
    changeWindow_->setInterval(kChangeWindow);
    connect(changeWindow_, &QTimer::timeout, this, [this] {
        if (std::exchange(changePending_, false))
            serviceChanged(ServiceChange::state);
    });
    refreshStatus(); // the first state is on screen before the window is, once the manager has answered
    // What the manager reports on its own (the agent killed, say) is looked at at once.
    serviceManager_->setChangeHandler([this](ServiceChange change) { serviceChanged(change); });

    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshInterval);
    timer_->setTimerType(Qt::PreciseTimer); // no tolerance: a tick every 2.0 seconds
    // The connection dies with this object: a tick after it is gone does nothing.
    connect(timer_, &QTimer::timeout, this, [this] { refreshStatus(); });
    timer_->start();

    showWindow(nullptr);
}

void AppDelegate::showWindow(QObject* /*sender*/) {
    if (!window_)
        std::abort(); // built at launch, before it is first shown
    window_->show();
    Desktop::instance().bringToFront(window_.get());
}

void AppDelegate::applicationShouldHandleReopen() {
    // Before launch has finished the window is not built yet; launch shows it anyway.
    if (window_)
        showWindow(nullptr);
}

bool AppDelegate::windowShouldClose() {
    if (!window_)
        std::abort();
    // A quit closes every window first; refusing here would cancel it (and a logout on macOS).
    if (quitWatch_->quitInProgress())
        return true;
    window_->hide();
    return false;
}

void AppDelegate::quitApp() {
    // The agent keeps running under launchd; nothing of it is stopped here.
    QCoreApplication::quit();
}

} // namespace quern
