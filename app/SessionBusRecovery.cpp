#include "app/SessionBusRecovery.h"

#include "app/CommandLine.h"
#include "platform/ChildEnvironment.h"
#include "platform/SessionBus.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QLoggingCategory>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace quern {
namespace {

// What becomes of a silent session bus, on standard error as "quern-zova: …".
Q_LOGGING_CATEGORY(lcBus, "quern-zova")

using namespace std::chrono_literals;

// Short, as the launch waits for it; a live bus answers in well under a millisecond.
constexpr std::chrono::milliseconds kLaunchCheckBound = 2s;
// Later checks run beside the client; a bus that comes back is found within a few seconds.
constexpr std::chrono::milliseconds kWatchInterval = 3s;
constexpr std::chrono::milliseconds kWatchCheckBound = 1s;
constexpr const char* kSchemes[] = {"http", "https", "file"};
constexpr const char* kSelf = "/proc/self/exe";

// Main thread only.
std::string silentAddress;                  // the bus found silent at launch; empty: none
std::optional<bool> restartWithWindowShown; // set once the bus answers

// Whatever the client and Qt left open goes at the exec, not into the new client: an inherited X
// connection would keep the old windows on screen.
void closeEverythingOnExec() {
    if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    DIR* folder = ::opendir("/proc/self/fd"); // kernels before 5.11
    if (folder == nullptr)
        return;
    while (const dirent* entry = ::readdir(folder)) {
        if (const int fd = std::atoi(entry->d_name); fd > STDERR_FILENO)
            (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::closedir(folder);
}

} // namespace

void keepQtOffASilentSessionBus() {
    const std::string address =
        sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
    if (address.empty() || checkBus(address, kLaunchCheckBound) != BusCheck::silent)
        return;
    setForThisProcessOnly("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    silentAddress = address;
    if (restoredWindow() == RestoredWindow::none)
        qCWarning(lcBus, "the session bus does not answer; running without it until it does");
    else
        qCWarning(lcBus, "the session bus does not answer again; running without it");
}

std::unique_ptr<SessionBusRecovery> SessionBusRecovery::start(std::function<bool()> windowShown) {
    if (silentAddress.empty())
        return nullptr;
    std::unique_ptr<SessionBusRecovery> recovery(new SessionBusRecovery(std::move(windowShown)));
    // QDesktopServices would start xdg-open with this process's environment, "disabled:" and all;
    // through a handler every caller of openUrl is covered, and a test's own handler still wins.
    for (const char* scheme : kSchemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), recovery.get(), "openUrl");
    if (restoredWindow() == RestoredWindow::none && ::access(kSelf, X_OK) == 0)
        recovery->watch(silentAddress);
    return recovery;
}

SessionBusRecovery::SessionBusRecovery(std::function<bool()> windowShown)
    : windowShown_(std::move(windowShown)) {}

SessionBusRecovery::~SessionBusRecovery() {
    for (const char* scheme : kSchemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void SessionBusRecovery::watch(const std::string& address) {
    watcher_ = std::jthread([this, address](const std::stop_token& stop) {
        for (;;) {
            std::unique_lock lock(lock_);
            if (wake_.wait_for(lock, stop, kWatchInterval, [] { return false; }) || stop.stop_requested())
                return;
            lock.unlock();
            if (checkBus(address, kWatchCheckBound) == BusCheck::answers) {
                QMetaObject::invokeMethod(
                    this, [this] { busAnswers(); }, Qt::QueuedConnection);
                return;
            }
        }
    });
}

void SessionBusRecovery::busAnswers() {
    // Qt keeps a failed default session connection for the life of the process, and the tray and
    // AT-SPI pick their way at start-up: only a new start gets them the bus. Starting again in
    // place (exec, after an orderly end of the event loop) keeps the process id, the standard
    // streams and the arguments; the agent runs under the service manager and is not touched.
    // Tearing Qt down and building it again within the process would leave its D-Bus state, and a
    // new process beside this one would race it for the single-instance lock. The window's state
    // goes as a hidden option, not a variable: children would inherit a variable.
    restartWithWindowShown = windowShown_ && windowShown_();
    qCWarning(lcBus, "the session bus answers now; starting again to use it");
    QCoreApplication::exit(0);
}

void SessionBusRecovery::openUrl(const QUrl& url) const {
    QProcessEnvironment environment;
    for (const std::string& entry : childEnvironment()) {
        const std::size_t equals = entry.find('=');
        environment.insert(QString::fromLocal8Bit(entry.substr(0, equals)),
                           QString::fromLocal8Bit(entry.substr(equals + 1)));
    }
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    QProcess process;
    process.setProgram(opener);
    process.setArguments({QString::fromUtf8(url.toEncoded())});
    process.setProcessEnvironment(environment);
    if (opener.isEmpty() || !process.startDetached())
        qCWarning(lcBus, "cannot open %s: xdg-open %s", url.toEncoded().constData(),
                  opener.isEmpty() ? "is missing" : "did not start");
}

void restartIfTheSessionBusCameBack() {
    if (!restartWithWindowShown)
        return;
    std::vector<std::string> arguments = launchArguments();
    arguments.push_back("--" + std::string(kRestartOption) +
                        (*restartWithWindowShown ? "=shown" : "=hidden"));
    std::vector<char*> argv = environmentPointers(arguments);  // the same NULL-terminated shape
    std::vector<std::string> environment = childEnvironment(); // the real address back
    const std::vector<char*> envp = environmentPointers(environment);
    std::fflush(nullptr); // exec drops what stdio still holds
    closeEverythingOnExec();
    ::execve(kSelf, argv.data(), envp.data());
    qCWarning(lcBus, "cannot start again (%s)", std::strerror(errno));
}

} // namespace quern
