#include "tests/platform/TestSessionBus.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace quern::test {
namespace {

bool busRunning = false;

// No service directories: nothing is activated behind the tests' backs.
constexpr char kConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// The daemon prints its address once it listens.
std::string readAddress(int fd) {
    std::string address;
    char c = 0;
    pollfd wait{fd, POLLIN, 0};
    while (::poll(&wait, 1, 10'000) > 0) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got == 1 && c != '\n') {
            address.push_back(c);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got == 1 ? address : std::string();
    }
    return {};
}

} // namespace

TestSessionBus::TestSessionBus() {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quern-test-bus", 1);
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty() || !dir_.isValid())
        return;
    QFile config(dir_.filePath(QStringLiteral("bus.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return;
    config.write(QString::fromLatin1(kConfig).arg(dir_.path()).toUtf8());
    config.close();

    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return;
    ::fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC); // the daemon keeps only the write end, as its stdout
    ::fcntl(pipeFds[1], F_SETFD, FD_CLOEXEC);
    const std::string program = daemon.toStdString();
    const std::string configArg = "--config-file=" + config.fileName().toStdString();
    pid_ = ::fork();
    if (pid_ == 0) {
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM); // gone with a crashed test too
#endif
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execl(program.c_str(), program.c_str(), configArg.c_str(), "--nofork", "--nopidfile",
                "--print-address", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    const std::string address = pid_ > 0 ? readAddress(pipeFds[0]) : std::string();
    ::close(pipeFds[0]);
    if (address.empty())
        return;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    busRunning = true;
}

TestSessionBus::~TestSessionBus() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

bool TestSessionBus::running() {
    return busRunning;
}

} // namespace quern::test
