// quern-launchctl: the subset of launchd's launchctl that Quern Zova uses (bootstrap, bootout,
// print of per-user agents), for systems without launchd. Each invocation reads and updates small
// record files under a per-user state directory; a monitor process per running job records how
// the job ended.
#include "platform/UniqueFd.h"
#include "standins/JobRecord.h"
#include "standins/Plist.h"
#include "standins/WriteAll.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace quern::standins {
namespace {

// Exit codes as launchctl reports them.
constexpr int kUsageError = 64; // EX_USAGE
constexpr int kInvalidPlist = 109;
constexpr int kInvalidLabel = 110;
constexpr int kInvalidProgram = 111;
constexpr int kServiceNotFound = 113;

constexpr std::int64_t kDefaultThrottleMillis = 10'000; // launchd's ThrottleInterval
constexpr int kTermGraceMillis = 2'000;
constexpr std::size_t kMaxPlistBytes = 1 << 20;

void complain(std::string_view text) {
    writeAll(STDERR_FILENO, text);
}

std::string errnoText(int error) {
    return std::to_string(error) + ": " + std::strerror(error);
}

std::int64_t nowMillis(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

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

int usage(int status) {
    constexpr std::string_view text =
        "Usage: quern-launchctl <subcommand> ...\n"
        "Subcommands:\n"
        "\tbootstrap gui/<uid> <plist-path>  Loads the job the property list describes and starts it.\n"
        "\tbootout gui/<uid>/<label>         Stops the job and unloads it.\n"
        "\tprint gui/<uid>/<label>           Describes a loaded job.\n"
        "State lives in $QUERN_LAUNCHD_DIR (default $XDG_RUNTIME_DIR/quern-launchd, else\n"
        "/tmp/quern-launchd-<uid>); $QUERN_LAUNCHD_THROTTLE overrides the 10 s KeepAlive throttle.\n";
    writeAll(status == 0 ? STDOUT_FILENO : STDERR_FILENO, text);
    return status;
}

// "gui/<uid>" or "gui/<uid>/<label>".
struct Target {
    uid_t uid = 0;
    std::string label;
};

[[nodiscard]] std::optional<Target> parseTarget(std::string_view text) {
    if (!text.starts_with("gui/"))
        return std::nullopt;
    text.remove_prefix(4);
    const std::size_t slash = text.find('/');
    const std::string_view digits = text.substr(0, slash);
    Target target;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), target.uid);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    if (slash != std::string_view::npos) {
        target.label = std::string(text.substr(slash + 1));
        if (target.label.empty())
            return std::nullopt;
    }
    return target;
}

[[nodiscard]] std::optional<std::string> readSmallFile(const char* path, std::size_t limit) {
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        return std::nullopt;
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            return data;
        data.append(buffer, static_cast<std::size_t>(got));
        if (data.size() > limit) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
}

struct ProcStat {
    char state = '?';
    std::uint64_t startTicks = 0;
};

[[nodiscard]] std::optional<ProcStat> procStat(std::int64_t pid) {
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

// True while the recorded process exists, is not a zombie, and is the very process we started.
[[nodiscard]] bool isRunning(const JobRecord& record) {
    if (record.pid <= 0 || ::kill(static_cast<pid_t>(record.pid), 0) != 0)
        return false;
    const std::optional<ProcStat> stat = procStat(record.pid);
    return stat && stat->state != 'Z' && stat->state != 'X' && stat->startTicks == record.startTicks;
}

// ---- State directory -------------------------------------------------------------------------

std::string currentDirectory() {
    char cwd[4096];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
}

[[nodiscard]] std::optional<std::string> stateDirectory() {
    std::string dir;
    if (const char* chosen = std::getenv("QUERN_LAUNCHD_DIR"); chosen != nullptr && *chosen != '\0')
        dir = chosen;
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0')
        dir = std::string(runtime) + "/quern-launchd";
    else
        dir = "/tmp/quern-launchd-" + std::to_string(::getuid());
    if (!dir.starts_with('/')) // monitors run in "/", so they need it absolute
        dir = currentDirectory() + "/" + dir;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        complain("quern-launchctl: cannot create " + dir + ": " + std::strerror(errno) + "\n");
        return std::nullopt;
    }
    // Another user's directory (say a pre-created /tmp path) could feed us forged records.
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 022) != 0) {
        complain("quern-launchctl: refusing state directory " + dir +
                 ": not a directory of ours, or writable by others\n");
        return std::nullopt;
    }
    return dir;
}

// Every invocation, and a monitor recording an exit, holds this for its whole read-modify-write.
[[nodiscard]] UniqueFd lockState(const std::string& dir) {
    UniqueFd fd(::open((dir + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid())
        return fd;
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return UniqueFd();
    }
    return fd;
}

int cannotLock(const std::string& dir) {
    complain("quern-launchctl: cannot lock " + dir + "/lock: " + std::strerror(errno) + "\n");
    return 1;
}

std::string recordPath(const std::string& dir, std::string_view label) {
    return dir + "/" + std::string(label) + ".job";
}

[[nodiscard]] std::optional<JobRecord> readRecord(const std::string& dir, std::string_view label) {
    const std::optional<std::string> text = readSmallFile(recordPath(dir, label).c_str(), kMaxPlistBytes);
    if (!text)
        return std::nullopt;
    std::optional<JobRecord> record = parseRecord(*text);
    if (record && record->definition.label != label)
        return std::nullopt;
    return record;
}

[[nodiscard]] bool writeRecord(const std::string& dir, const JobRecord& record) {
    const std::string finalPath = recordPath(dir, record.definition.label);
    const std::string tempPath =
        dir + "/." + record.definition.label + ".job." + std::to_string(::getpid()) + ".tmp";
    const std::string text = serializeRecord(record);
    {
        const UniqueFd fd(
            ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd.valid())
            return false;
        std::string_view rest = text;
        while (!rest.empty()) {
            const ssize_t written = ::write(fd.get(), rest.data(), rest.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                ::unlink(tempPath.c_str());
                return false;
            }
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    }
    if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
        ::unlink(tempPath.c_str());
        return false;
    }
    return true;
}

// ---- Starting jobs ---------------------------------------------------------------------------

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

LastExit exitOf(int status) {
    if (WIFSIGNALED(status))
        return {.kind = LastExit::Kind::Signaled, .code = WTERMSIG(status)};
    return {.kind = LastExit::Kind::Exited, .code = WEXITSTATUS(status)};
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

    const JobDefinition& definition = record.definition;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    constexpr int kLogFlags = O_WRONLY | O_CREAT | O_APPEND;
    ::posix_spawn_file_actions_addopen(
        &actions, 1, definition.standardOutPath.empty() ? "/dev/null" : definition.standardOutPath.c_str(),
        kLogFlags, 0644);
    ::posix_spawn_file_actions_addopen(
        &actions, 2,
        definition.standardErrorPath.empty() ? "/dev/null" : definition.standardErrorPath.c_str(), kLogFlags,
        0644);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t all;
    sigset_t none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    for (const std::string& argument : definition.arguments)
        argv.push_back(const_cast<char*>(argument.c_str())); // posix_spawn's signature predates const
    argv.push_back(nullptr);
    pid_t agent = 0;
    const int error =
        definition.program.empty()
            ? ::posix_spawnp(&agent, argv.front(), &actions, &attributes, argv.data(), environ)
            : ::posix_spawn(&agent, definition.program.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    SpawnReport sent{.error = error, .reserved = 0, .pid = error == 0 ? agent : 0, .startTicks = 0};
    if (error == 0) // read before waitpid: even a job that already exited is still a zombie here
        sent.startTicks = procStat(agent).value_or(ProcStat{}).startTicks;
    writeAll(3, std::string_view(reinterpret_cast<const char*>(&sent), sizeof sent));
    ::close(3);
    if (error != 0)
        ::_exit(1);

    int status = 0;
    while (::waitpid(agent, &status, 0) < 0) {
        if (errno != EINTR)
            ::_exit(1);
    }
    const UniqueFd lock = lockState(dir);
    if (lock.valid()) {
        std::optional<JobRecord> current = readRecord(dir, definition.label);
        // After a bootout, or a bootout and a new bootstrap, the record is no longer about our job.
        if (current && current->pid == agent && current->startTicks == sent.startTicks) {
            current->pid = 0;
            current->startTicks = 0;
            current->lastExit = exitOf(status);
            (void)writeRecord(dir, *current);
        }
    }
    ::_exit(0);
}

// Starts the job through a new monitor; on success fills in pid, start time, runs and last start.
// Returns 0 or an errno value.
[[nodiscard]] int startJob(const std::string& dir, JobRecord& record) {
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

// Whether the job runs now, restarting a KeepAlive job first if its previous start lies at least
// the throttle interval back, as launchd does. A dead job's pid stays in the record so that its
// monitor can still match it and record how it ended.
[[nodiscard]] bool reconcile(const std::string& dir, JobRecord& record) {
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

// SIGTERM, then SIGKILL after a grace period. A pidfd pins the process once its start time has
// been checked, so a recycled pid is never signalled.
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

// ---- Commands --------------------------------------------------------------------------------

std::string describe(const Target& target, const JobRecord& record, bool running) {
    const JobDefinition& definition = record.definition;
    std::string out = "gui/" + std::to_string(target.uid) + "/" + definition.label + " = {\n";
    out += running ? "\tactive count = 1\n" : "\tactive count = 0\n";
    out += "\tpath = " + record.plistPath + "\n";
    out += "\ttype = LaunchAgent\n";
    out += running ? "\tstate = running\n\n" : "\tstate = not running\n\n";
    out += "\tprogram = " + (definition.program.empty() ? definition.arguments.front() : definition.program) +
           "\n";
    out += "\targuments = {\n";
    for (const std::string& argument : definition.arguments)
        out += "\t\t" + argument + "\n";
    out += "\t}\n\n";
    if (!definition.standardOutPath.empty())
        out += "\tstdout path = " + definition.standardOutPath + "\n";
    if (!definition.standardErrorPath.empty())
        out += "\tstderr path = " + definition.standardErrorPath + "\n";
    if (definition.keepAlive)
        out += "\tproperties = keepalive\n";
    out += "\truns = " + std::to_string(record.runs) + "\n";
    if (running)
        out += "\tpid = " + std::to_string(record.pid) + "\n";
    switch (record.lastExit.kind) {
    case LastExit::Kind::Never:
        out += "\tlast exit code = (never exited)\n";
        break;
    case LastExit::Kind::Exited:
        out += "\tlast exit code = " + std::to_string(record.lastExit.code) + "\n";
        break;
    case LastExit::Kind::Signaled:
        out += "\tlast exit code = " + std::to_string(record.lastExit.code) + "\n";
        out += "\tlast terminating signal = " + std::string(::strsignal(record.lastExit.code)) + ": " +
               std::to_string(record.lastExit.code) + "\n";
        break;
    }
    out += "}\n";
    return out;
}

bool isOwnDomain(const Target& target, std::string_view failurePrefix) {
    if (target.uid == ::getuid())
        return true;
    complain(std::string(failurePrefix) + "1: Operation not permitted\ngui/" + std::to_string(target.uid) +
             " is not the caller's domain (gui/" + std::to_string(::getuid()) + ")\n");
    return false;
}

// What print and bootout both need: a service target in the caller's own domain, the state
// locked, and the service's record. Returns 0 with `service` filled, or the status to exit with.
struct LoadedService {
    Target target;
    std::string dir;
    UniqueFd lock;
    JobRecord record;
};
int openService(std::span<char* const> args, std::string_view domainFailure,
                const std::function<int(const Target&)>& notLoaded, LoadedService& service) {
    std::optional<Target> target = args.size() == 1 ? parseTarget(args[0]) : std::nullopt;
    if (!target || target->label.empty())
        return usage(kUsageError);
    if (!isOwnDomain(*target, domainFailure))
        return 1;
    if (!isUsableLabel(target->label))
        return notLoaded(*target);
    std::optional<std::string> dir = stateDirectory();
    if (!dir)
        return 1;
    service.lock = lockState(*dir);
    if (!service.lock.valid())
        return cannotLock(*dir);
    std::optional<JobRecord> record = readRecord(*dir, target->label);
    if (!record)
        return notLoaded(*target);
    service.target = std::move(*target);
    service.dir = std::move(*dir);
    service.record = std::move(*record);
    return 0;
}

int print(std::span<char* const> args) {
    LoadedService service;
    const int status = openService(
        args, "Bad request.\nPrint failed: ",
        [](const Target& target) {
            complain("Bad request.\nCould not find service \"" + target.label +
                     "\" in domain for user gui: " + std::to_string(target.uid) + "\n");
            return kServiceNotFound;
        },
        service);
    if (status != 0)
        return status;
    const bool running = reconcile(service.dir, service.record);
    writeAll(STDOUT_FILENO, describe(service.target, service.record, running));
    return 0;
}

int bootstrap(std::span<char* const> args) {
    const std::optional<Target> target = args.size() == 2 ? parseTarget(args[0]) : std::nullopt;
    if (!target || !target->label.empty())
        return usage(kUsageError);
    constexpr std::string_view kFailed = "Bootstrap failed: ";
    if (!isOwnDomain(*target, kFailed))
        return 1;
    std::string path = args[1];
    if (!path.starts_with('/'))
        path = currentDirectory() + "/" + path;
    const std::optional<std::string> xml = readSmallFile(path.c_str(), kMaxPlistBytes);
    if (!xml) {
        const int error = errno;
        complain(std::string(kFailed) + errnoText(error) + "\n" + path + ": cannot read the property list\n");
        return error;
    }
    PlistResult parsed = parseJobPlist(*xml);
    if (parsed.error != PlistError::None) {
        const auto [code, meaning] =
            parsed.error == PlistError::Malformed ? std::pair{kInvalidPlist, "Invalid property list"}
            : parsed.error == PlistError::MissingLabel
                ? std::pair{kInvalidLabel, "Invalid or missing service identifier"}
                : std::pair{kInvalidProgram, "Invalid or missing Program/ProgramArguments"};
        complain(std::string(kFailed) + std::to_string(code) + ": " + meaning + "\n" + path + ": " +
                 parsed.detail + "\n");
        return code;
    }

    const std::optional<std::string> dir = stateDirectory();
    if (!dir)
        return 1;
    const UniqueFd lock = lockState(*dir);
    if (!lock.valid())
        return cannotLock(*dir);
    if (std::optional<JobRecord> loaded = readRecord(*dir, parsed.definition.label)) {
        (void)reconcile(*dir, *loaded);
        complain(std::string(kFailed) + errnoText(EIO) + "\n");
        return EIO;
    }
    JobRecord record;
    record.definition = std::move(parsed.definition);
    record.plistPath = path;
    if (const int error = startJob(*dir, record); error != 0) {
        complain(std::string(kFailed) + errnoText(error) + "\ncould not start " +
                 (record.definition.program.empty() ? record.definition.arguments.front()
                                                    : record.definition.program) +
                 "\n");
        return error;
    }
    if (!writeRecord(*dir, record)) {
        const int error = errno;
        stopJob(record); // unrecorded, it could never be booted out
        complain(std::string(kFailed) + errnoText(error) + "\ncannot write to " + *dir + "\n");
        return error;
    }
    return 0;
}

int bootout(std::span<char* const> args) {
    constexpr std::string_view kFailed = "Boot-out failed: ";
    LoadedService service;
    const int status = openService(
        args, kFailed,
        [&](const Target&) {
            complain(std::string(kFailed) + errnoText(ESRCH) + "\n");
            return ESRCH;
        },
        service);
    if (status != 0)
        return status;
    stopJob(service.record);
    if (::unlink(recordPath(service.dir, service.target.label).c_str()) != 0) {
        const int error = errno;
        complain(std::string(kFailed) + errnoText(error) + "\n");
        return error;
    }
    return 0;
}

} // namespace
} // namespace quern::standins

int main(int argc, char** argv) {
    using namespace quern::standins;
    const std::span<char* const> args(argv, static_cast<std::size_t>(std::max(argc, 1)));
    if (args.size() < 2)
        return usage(kUsageError);
    const std::string_view command = args[1];
    const std::span<char* const> rest = args.subspan(2);
    if (command == "print")
        return print(rest);
    if (command == "bootstrap")
        return bootstrap(rest);
    if (command == "bootout")
        return bootout(rest);
    if (command == "help")
        return usage(0);
    complain("Unrecognized subcommand: " + std::string(command) + "\n");
    return usage(kUsageError);
}
