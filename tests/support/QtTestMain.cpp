// Runs GoogleTest inside a QApplication on the offscreen platform: no display needed.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the child starts afresh: Qt keeps threads
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // ctest runs us on a private session bus; run by hand, never reach the desktop's own.
    if (std::getenv("QUERN_PRIVATE_BUS") == nullptr)
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quern-test-bus", 1);
    const QTemporaryDir runtime; // made 0700, as Qt insists
    ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 0);
    const QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
