// Runs GoogleTest inside a QApplication on the offscreen platform: no display needed.
#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        std::string runtime = (std::filesystem::temp_directory_path() / "quern-runtime-XXXXXX").string();
        if (::mkdtemp(runtime.data()) != nullptr)
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    // Never reach the desktop's real file manager or tray watcher from a test.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quern-test-bus", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
