#pragma once

#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

namespace quern::test {

// A dbus-daemon of our own, so no test reaches the desktop's file manager. It must be running
// before QApplication exists: Qt reads the session bus address once.
class TestSessionBus {
public:
    TestSessionBus();
    TestSessionBus(const TestSessionBus&) = delete;
    TestSessionBus& operator=(const TestSessionBus&) = delete;
    ~TestSessionBus();

    // False where dbus-daemon is missing; the session bus then points nowhere.
    [[nodiscard]] static bool running();

private:
    QTemporaryDir dir_;
    pid_t pid_ = -1;
};

} // namespace quern::test
