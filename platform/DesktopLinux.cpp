#include "platform/Desktop.h"

#include "platform/SessionBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace quern {
namespace {
// What the desktop lacks, on standard error as "quern-zova: …".
Q_LOGGING_CATEGORY(lcDesktop, "quern-zova")
} // namespace

namespace {

// A file manager started on demand by the bus can take seconds before it answers.
constexpr int kReplyTimeoutMs = 10'000;

void openContainingFolder(const QFileInfo& file) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

// X11 and Wayland desktops, their trays reached over D-Bus or XEmbed.
class DesktopLinux final : public Desktop {
public:
    void chooseHeadlessPlatformIfNeeded() override {
        const bool hasDisplay =
            std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
        if (!hasDisplay && std::getenv("QT_QPA_PLATFORM") == nullptr) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            qCWarning(lcDesktop, "no display found; running on the offscreen platform");
        }
    }

    [[nodiscard]] std::string sessionBusAddress() const override {
        return quern::sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                                        std::getenv("XDG_RUNTIME_DIR"));
    }

    void keepTimersOnTime() override {}

    void watchForReopen(QObject*, std::function<void()>) override {}

    void revealFile(const QString& path) override {
        if (path.isEmpty())
            return;
        const QFileInfo file(path);
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            openContainingFolder(file);
            return;
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        // Asked for even when missing: what to show then is the file manager's call.
        const QString uri = QString::fromLatin1(QUrl::fromLocalFile(file.absoluteFilePath()).toEncoded());
        call << QStringList{uri} << QString();

        auto* watcher =
            new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), QCoreApplication::instance());
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                         [file](QDBusPendingCallWatcher* done) {
                             if (done->isError())
                                 openContainingFolder(file);
                             done->deleteLater();
                         });
    }

    void watchForTrayHost(QObject* context, std::function<void()> appeared) override {
        // The shared session connection, opened once; without a bus there is no host to wait for.
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), bus,
                                                QDBusServiceWatcher::WatchForRegistration, context);
        QObject::connect(watcher, &QDBusServiceWatcher::serviceRegistered, context,
                         [appeared = std::move(appeared)] { appeared(); });
    }

    bool trayClickOpensMenu() const override { return false; }

    // The palette's text colour ringed by its window colour, legible on light and dark panels alike.
    bool trayImageIsTemplate() const override { return false; }

    void bringToFront(QWidget* window) override {
        // The offscreen platform stacks nothing and warns at every raise().
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            window->raise();
        window->activateWindow();
    }

    // Other desktops draw their own decorations; there is nothing to blend into.
    bool makeTitleBarTransparent(QWidget*) override { return false; }
};

} // namespace

Desktop& Desktop::instance() {
    static DesktopLinux desktop;
    return desktop;
}

} // namespace quern
