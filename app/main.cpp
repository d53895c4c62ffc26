#include "app/AppDelegate.h"
#include "platform/BackgroundQueue.h"

#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

namespace {

// With no display at all the client still runs, on Qt's offscreen platform, and says so.
void chooseHeadlessPlatformIfNeeded() {
#if !defined(__APPLE__)
    const bool hasDisplay = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    if (!hasDisplay && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::fputs("quern-zova: no display found; running on the offscreen platform\n", stderr);
    }
#endif
}

} // namespace

int main(int argc, char** argv) {
    chooseHeadlessPlatformIfNeeded();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quern Zova"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quern Zova"));
    QGuiApplication::setDesktopFileName(QStringLiteral("quern-zova"));

    std::shared_ptr<quern::AppDelegate> applicationDelegate = quern::AppDelegate::create();
    QMetaObject::invokeMethod(applicationDelegate.get(), &quern::AppDelegate::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    const int status = QApplication::exec();
    quern::shutDownBackgroundQueues();
    applicationDelegate.reset();
    return status;
}
