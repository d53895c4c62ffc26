#include "platform/TrayHostWatcher.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>

namespace quern {

void watchForTrayHost(QObject* context, std::function<void()> appeared) {
    // The shared session connection, opened once; without a bus there is no host to wait for.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
                                            QDBusServiceWatcher::WatchForRegistration, context);
    QObject::connect(watcher, &QDBusServiceWatcher::serviceRegistered, context,
                     [appeared = std::move(appeared)] { appeared(); });
}

} // namespace quern
