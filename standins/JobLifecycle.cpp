#include "standins/JobLifecycle.h"

#include "platform/UniqueFd.h"
#include "standins/JobMonitor.h"
#include "standins/StateStore.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quern::standins {
namespace {

constexpr std::int64_t kDefaultThrottleMillis = 10'000; // launchd's ThrottleInterval
constexpr int kTermGraceMillis = 2'000;

std::int64_t throttleMillis() {
    const char* text = std::getenv("QUERN_LAUNCHD_THROTTLE"); // seconds; lets tests avoid 10 s waits
    if (text == nullptr || *text == '\0')
        return kDefaultThrottleMillis;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end != '\0' || !(seconds >= 0) || seconds > 1e6)
        return kDefaultThrottleMillis;
    return static_cast<std::int64_t>(seconds * 1000);
}

} // namespace

std::int64_t nowMillis(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::optional<ProcStat> procStat(std::int64_t pid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return std::nullopt;
    char buffer[1024];
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got <= 0)
        return std::nullopt;
    std::string_view stat(buffer, static_cast<std::size_t>(got));
    // The command name in parentheses may itself hold spaces or parentheses; fields follow the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    stat.remove_prefix(close + 1);
    ProcStat result;
    for (int field = 3; field <= 22; ++field) {
        stat.remove_prefix(std::min(stat.find_first_not_of(' '), stat.size()));
        const std::string_view token = stat.substr(0, stat.find(' '));
        if (token.empty())
            return std::nullopt;
        if (field == 3)
            result.state = token.front();
        if (field == 22) {
            const auto [end, error] =
                std::from_chars(token.data(), token.data() + token.size(), result.startTicks);
            if (error != std::errc())
                return std::nullopt;
        }
        stat.remove_prefix(token.size());
    }
    return result;
}

bool isRunning(const JobRecord& record) {
    if (record.pid <= 0 || ::kill(static_cast<pid_t>(record.pid), 0) != 0)
        return false;
    const std::optional<ProcStat> stat = procStat(record.pid);
    return stat && stat->state != 'Z' && stat->state != 'X' && stat->startTicks == record.startTicks;
}

// A dead job's pid stays in the record so that its monitor can still match it and record how it ended.
bool reconcile(const std::string& dir, JobRecord& record) {
    if (isRunning(record))
        return true;
    if (!record.definition.keepAlive)
        return false;
    const std::int64_t now = nowMillis(CLOCK_BOOTTIME);
    const std::int64_t since = now - record.lastStartMillis;
    if (since < throttleMillis() && since >= 0) // since < 0: the record predates a reboot
        return false;
    const bool started = startJob(dir, record) == 0;
    if (!started)
        record.lastStartMillis = now; // failed starts are throttled like successful ones
    (void)writeRecord(dir, record);
    return started;
}

// A pidfd pins the process once its start time has been checked, so a recycled pid is never signalled.
void stopJob(const JobRecord& record) {
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(record.pid), 0)));
    if (!isRunning(record))
        return;
    const auto send = [&](int signal) {
        if (pidfd.valid())
            (void)::syscall(SYS_pidfd_send_signal, pidfd.get(), signal, nullptr, 0);
        else if (isRunning(record))
            (void)::kill(static_cast<pid_t>(record.pid), signal);
    };
    const auto waitGone = [&](int millis) {
        const std::int64_t deadline = nowMillis(CLOCK_MONOTONIC) + millis;
        while (isRunning(record)) {
            const std::int64_t left = deadline - nowMillis(CLOCK_MONOTONIC);
            if (left <= 0)
                return false;
            if (pidfd.valid()) {
                pollfd exited{.fd = pidfd.get(), .events = POLLIN, .revents = 0};
                (void)::poll(&exited, 1, static_cast<int>(std::min<std::int64_t>(left, 50)));
            } else {
                const timespec pause{.tv_sec = 0, .tv_nsec = 10'000'000};
                ::nanosleep(&pause, nullptr);
            }
        }
        return true;
    };
    send(SIGTERM);
    if (!waitGone(kTermGraceMillis)) {
        send(SIGKILL);
        (void)waitGone(kTermGraceMillis);
    }
}

} // namespace quern::standins
