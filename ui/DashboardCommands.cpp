#include "app/AppDelegate.h"

#include "platform/Desktop.h"

#include <QDesktopServices>

namespace quern {

void AppDelegate::openDashboard() {
    // The browser reports nothing back worth showing; the result is dropped.
    (void)QDesktopServices::openUrl(dashboardURL_);
}

void AppDelegate::openLogs() {
    // Asked for even when agent.log does not exist yet.
    Desktop::instance().revealFile(QString::fromStdString(agentLog()));
}

} // namespace quern
