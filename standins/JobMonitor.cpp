#include "standins/JobMonitor.h"

#include "platform/ProcessSpawn.h"
#include "platform/UniqueFd.h"
#include "standins/JobLifecycle.h"
#include "standins/StateStore.h"
#include "standins/WriteAll.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quern::standins {
namespace {

// Sent once from the monitor to the invocation that forked it.
struct SpawnReport {
    std::int32_t error = 0;
    std::int32_t reserved = 0;
    std::int64_t pid = 0;
    std::uint64_t startTicks = 0;
};

void closeDescriptorsFrom(unsigned first) {
    if (::close_range(first, ~0U, 0) == 0)
        return;
    for (int fd = static_cast<int>(first); fd < 1024; ++fd)
        ::close(fd);
}

// Runs in the forked child. It detaches from the caller completely (own session, stdio on
// /dev/null, no inherited descriptor, so a caller reading our output through a pipe sees EOF when
// quern-launchctl exits), starts the job, reports its pid, and records its end.
[[noreturn]] void runMonitor(const std::string& dir, const JobRecord& record, int reportFd) {
    const int report = ::fcntl(reportFd, F_DUPFD_CLOEXEC, 64); // clear of 0..3, rearranged below
    if (report < 0)
        ::_exit(127);
    ::setsid();
    ::signal(SIGCHLD, SIG_DFL); // an ignored SIGCHLD, inherited from the caller, would defeat waitpid
    if (const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC); devNull >= 0) {
        for (int fd = 0; fd <= 2; ++fd)
            ::dup2(devNull, fd);
    }
    ::dup3(report, 3, O_CLOEXEC);
    closeDescriptorsFrom(4); // also drops the caller's lock descriptor, which would pin the lock
    if (::chdir("/") != 0)
        ::_exit(127);
    ::prctl(PR_SET_NAME, "quern-monitor", 0, 0, 0);

    // The job as launchd starts it: a session of its own, nothing but its three streams, every
    // signal at its default, the program looked up in PATH when the plist names none.
    const JobDefinition& definition = record.definition;
    SpawnRequest request;
    request.path = definition.program.empty() ? definition.arguments.front() : definition.program;
    request.searchPath = definition.program.empty();
    request.argv0 = definition.arguments.front();
    request.arguments = std::span(definition.arguments).subspan(1);
    request.standardOutput = definition.standardOutPath.empty() ? OutputMode::Null : OutputMode::Append;
    request.standardOutputPath = definition.standardOutPath;
    request.standardError = definition.standardErrorPath.empty() ? OutputMode::Null : OutputMode::Append;
    request.standardErrorPath = definition.standardErrorPath;
    request.newSession = true;
    request.timeout = std::chrono::milliseconds::max();
    ChildProcess agent = ChildProcess::start(request);
    SpawnReport sent{
        .error = agent.error(), .reserved = 0, .pid = agent.started() ? agent.pid() : 0, .startTicks = 0};
    if (agent.started()) // read before the wait: even a job that already exited is still a zombie here
        sent.startTicks = procStat(agent.pid()).value_or(ProcStat{}).startTicks;
    writeAll(3, std::string_view(reinterpret_cast<const char*>(&sent), sizeof sent));
    ::close(3);
    if (!agent.started())
        ::_exit(1);

    const SpawnResult ended = agent.wait();
    const UniqueFd lock = lockState(dir);
    if (lock.valid()) {
        std::optional<JobRecord> current = readRecord(dir, definition.label);
        // After a bootout, or a bootout and a new bootstrap, the record is no longer about our job.
        if (current && current->pid == sent.pid && current->startTicks == sent.startTicks) {
            current->pid = 0;
            current->startTicks = 0;
            current->lastExit = {.kind = ended.signalled ? LastExit::Kind::Signaled : LastExit::Kind::Exited,
                                 .code = ended.status};
            (void)writeRecord(dir, *current);
        }
    }
    ::_exit(0);
}

} // namespace

int startJob(const std::string& dir, JobRecord& record) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    const UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t monitor = ::fork();
    if (monitor < 0)
        return errno;
    if (monitor == 0)
        runMonitor(dir, record, writeEnd.get());
    writeEnd.reset();

    SpawnReport report;
    std::size_t got = 0;
    while (got < sizeof report) {
        const ssize_t n = ::read(readEnd.get(), reinterpret_cast<char*>(&report) + got, sizeof report - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got != sizeof report || report.error != 0) {
        ::waitpid(monitor, nullptr, 0); // it exits straight after a failed start
        return got != sizeof report ? EIO : report.error;
    }
    record.pid = report.pid;
    record.startTicks = report.startTicks;
    ++record.runs;
    record.lastStartMillis = nowMillis(CLOCK_BOOTTIME);
    return 0;
}

} // namespace quern::standins
