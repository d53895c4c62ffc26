#include "platform/ProcessSpawn.h"

#include "platform/ChildEnvironment.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <sys/event.h>
#endif

namespace quern {
namespace {

using Clock = std::chrono::steady_clock;

// posix_spawn attributes and file actions, released on every path. Every step is checked: a child
// spawned after a failed step would start in a state nobody asked for.
class SpawnSetup {
public:
    SpawnSetup() {
        ok_ = posix_spawn_file_actions_init(&actions_) == 0;
        ok_ = posix_spawnattr_init(&attributes_) == 0 && ok_;
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    posix_spawn_file_actions_t* actions() { return &actions_; }
    posix_spawnattr_t* attributes() { return &attributes_; }
    void check(int result) { ok_ = ok_ && result == 0; }
    [[nodiscard]] bool ok() const { return ok_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
    bool ok_ = false;
};

// A status that could not be had: the child was reaped elsewhere, or is not ours.
constexpr int kUnknownStatus = -1000;

// The exit status, or the signal number as a negative value.
int decodeStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return -WTERMSIG(waitStatus);
    return kUnknownStatus;
}

// As callers see it: the exit status or the signal number, -1 when unknown.
int publicStatus(int status) {
    return status == kUnknownStatus ? -1 : status < 0 ? -status : status;
}

// Reaps our own child only; never wait() for any child, Qt reaps its own.
int reapBlocking(pid_t pid) {
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            return kUnknownStatus;
    }
    return decodeStatus(waitStatus);
}

// Returns true and the decoded status when the child has ended.
bool reapIfEnded(pid_t pid, int& status) {
    int waitStatus = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &waitStatus, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid) {
        status = decodeStatus(waitStatus);
        return true;
    }
    if (r < 0) { // already reaped elsewhere or not ours: nothing more to wait for
        status = kUnknownStatus;
        return true;
    }
    return false;
}

// Appends what is readable now; returns false at end of file or on a hard error.
bool drain(int fd, std::string& output) {
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Something to wait on for the child's end together with its output; none means waiting in steps.
UniqueFd openProcessHandle([[maybe_unused]] pid_t pid, [[maybe_unused]] const UniqueFd& output,
                           [[maybe_unused]] const UniqueFd& errors) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    // A pidfd becomes readable when the child ends, so one poll waits for output and exit together.
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#elif defined(__APPLE__)
    // macOS has no pidfd: a kqueue reports the exit (EVFILT_PROC) and the pipes (EVFILT_READ). A pipe
    // closed by wait() leaves the queue by itself.
    UniqueFd queue(::kqueue());
    if (!queue.valid())
        return queue;
    // No kqueue1 on macOS; the gap before the flag is harmless, as a kqueue is never inherited by a
    // child anyway.
    ::fcntl(queue.get(), F_SETFD, FD_CLOEXEC);
    struct kevent changes[3];
    int count = 0;
    EV_SET(&changes[count++], static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD, NOTE_EXIT, 0, nullptr);
    for (const UniqueFd* stream : {&output, &errors})
        if (stream->valid())
            EV_SET(&changes[count++], static_cast<uintptr_t>(stream->get()), EVFILT_READ, EV_ADD, 0, 0,
                   nullptr);
    if (::kevent(queue.get(), changes, count, nullptr, 0, nullptr) != 0)
        return UniqueFd();
    return queue;
#else
    return UniqueFd();
#endif
}

#if defined(__APPLE__)
enum class Wake { activity, exited, failed };

// Waits on the queue of openProcessHandle for up to `milliseconds`.
Wake waitOnQueue(int queue, long long milliseconds) {
    const timespec limit{static_cast<time_t>(milliseconds / 1000),
                         static_cast<long>(milliseconds % 1000) * 1'000'000};
    struct kevent events[3];
    const int count = ::kevent(queue, nullptr, 0, events, 3, &limit);
    if (count < 0)
        return errno == EINTR ? Wake::activity : Wake::failed;
    for (int i = 0; i < count; ++i)
        if (events[i].filter == EVFILT_PROC)
            return Wake::exited;
    return Wake::activity;
}
#endif

// A pipe whose read end we keep (non-blocking) and whose write end goes to the child.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
#if defined(__APPLE__)
    if (::pipe(fds) != 0)
        return false;
    for (int fd : fds)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
#endif
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK) == 0;
}

void addOutputAction(SpawnSetup& setup, int target, OutputMode mode, int pipeWrite) {
    switch (mode) {
    case OutputMode::Inherit:
        break;
    case OutputMode::Null:
        setup.check(posix_spawn_file_actions_addopen(setup.actions(), target, "/dev/null", O_WRONLY, 0));
        break;
    case OutputMode::Capture:
        setup.check(posix_spawn_file_actions_adddup2(setup.actions(), pipeWrite, target));
        break;
    }
}

} // namespace

ChildProcess ChildProcess::start(const SpawnRequest& request) {
    ChildProcess child;
    child.timeout_ = request.timeout;
    const std::string path(request.path);

    UniqueFd outputWrite;
    UniqueFd errorsWrite;
    child.error_ = EMFILE;
    if (request.standardOutput == OutputMode::Capture && !makePipe(child.output_, outputWrite))
        return child;
    if (request.standardError == OutputMode::Capture && !makePipe(child.errors_, errorsWrite))
        return child;
    child.error_ = EINVAL;

    SpawnSetup setup;
    setup.check(posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    addOutputAction(setup, STDOUT_FILENO, request.standardOutput, outputWrite.get());
    addOutputAction(setup, STDERR_FILENO, request.standardError, errorsWrite.get());
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    // Nothing but the three standard streams crosses into the child.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        setup.check(posix_spawn_file_actions_addinherit_np(setup.actions(), fd));
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    setup.check(posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1));
#endif
    setup.check(posix_spawnattr_setflags(setup.attributes(), flags));
    sigset_t signals;
    sigemptyset(&signals);
    setup.check(posix_spawnattr_setsigmask(setup.attributes(), &signals));
    sigfillset(&signals); // every handler back to its default, whatever the caller had
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    setup.check(posix_spawnattr_setsigdefault(setup.attributes(), &signals));
    if (!setup.ok())
        return child;

    std::vector<char*> argv; // posix_spawn's signature predates const
    argv.reserve(request.arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : request.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // Not `environ` as it is: the client may run with stand-ins its children must not see.
    std::vector<std::string> environment = childEnvironment();
    const std::vector<char*> envp = environmentPointers(environment);

    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(), envp.data());
    child.error_ = error;
    if (error != 0)
        return child; // glibc reports exec failures here; elsewhere the child exits 127
    child.pid_ = pid;
    // A child that is gone before its exit could be watched (the kqueue refuses it) is waited for in
    // steps instead, and found reaped at once.
    child.handle_ = openProcessHandle(pid, child.output_, child.errors_);
    return child; // the write ends close here: end of file comes when the child and its heirs close theirs
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1))
    , error_(other.error_)
    , reaped_(other.reaped_)
    , status_(other.status_)
    , timeout_(other.timeout_)
    , output_(std::move(other.output_))
    , errors_(std::move(other.errors_))
    , handle_(std::move(other.handle_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        error_ = other.error_;
        reaped_ = other.reaped_;
        status_ = other.status_;
        timeout_ = other.timeout_;
        output_ = std::move(other.output_);
        errors_ = std::move(other.errors_);
        handle_ = std::move(other.handle_);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    release();
}

void ChildProcess::release() noexcept {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL); // not reaped yet, so the pid is still ours
        status_ = reapBlocking(pid_);
        reaped_ = true;
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    reaped_ = reapIfEnded(pid_, status_);
    return !reaped_;
}

SpawnResult ChildProcess::wait() {
    SpawnResult result;
    if (pid_ <= 0)
        return result;
    const bool forGood = timeout_ == std::chrono::milliseconds::max();
    const Clock::time_point deadline = forGood ? Clock::time_point::max() : Clock::now() + timeout_;
    UniqueFd* streams[2] = {&output_, &errors_};
    std::string* sinks[2] = {&result.output, &result.errors};
    auto backoff = std::chrono::microseconds(100);

    while (!reaped_) {
        const auto remaining =
            forGood ? 3'600'000
                    : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) {
            release();
            result.timedOut = true;
            return result;
        }
        pollfd fds[3];
        nfds_t count = 0;
        for (const UniqueFd* stream : streams)
            if (stream->valid())
                fds[count++] = {stream->get(), POLLIN, 0};
        if (handle_.valid()) {
#if defined(__APPLE__)
            // Once it has exited, a blocking waitpid below reaps it: the exit is reported a moment
            // before the child can be reaped, so a waitpid without waiting could miss it.
            if (waitOnQueue(handle_.get(), remaining + 1) != Wake::activity)
                break;
#else
            fds[count++] = {handle_.get(), POLLIN, 0};
            if (::poll(fds, count, static_cast<int>(remaining + 1)) < 0 && errno != EINTR)
                break;
#endif
        } else if (count > 0) {
            // No process handle: wake for output, or every few milliseconds to look for the exit.
            ::poll(fds, count, 5);
        } else {
            std::this_thread::sleep_for(backoff);
            backoff = std::min(backoff * 2, std::chrono::microseconds(5000));
        }
        for (int i = 0; i < 2; ++i)
            if (streams[i]->valid() && !drain(streams[i]->get(), *sinks[i]))
                streams[i]->reset();
        reaped_ = reapIfEnded(pid_, status_);
    }
    if (!reaped_) {
        status_ = reapBlocking(pid_);
        reaped_ = true;
    }
    // The child has ended: what it wrote is in the pipes already; a descendant that kept a pipe
    // open must not hold us.
    for (int i = 0; i < 2; ++i)
        if (streams[i]->valid())
            (void)drain(streams[i]->get(), *sinks[i]);
    output_.reset();
    errors_.reset();
    result.started = true;
    result.status = publicStatus(status_);
    result.signalled = status_ < 0 && status_ != kUnknownStatus;
    return result;
}

SpawnResult spawnAndWait(const SpawnRequest& request) {
    return ChildProcess::start(request).wait();
}

} // namespace quern
