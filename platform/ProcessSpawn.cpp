#include "platform/ProcessSpawn.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

extern char** environ;

namespace quern {
namespace {

using Clock = std::chrono::steady_clock;

// posix_spawn attributes and file actions, released on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    posix_spawn_file_actions_t* actions() { return &actions_; }
    posix_spawnattr_t* attributes() { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
};

int decodeStatus(int waitStatus) {
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return WTERMSIG(waitStatus);
    return -1;
}

// Reaps our own child only; never wait() for any child, Qt reaps its own.
int reapBlocking(pid_t pid) {
    int waitStatus = 0;
    while (::waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            return -1;
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
        status = -1;
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

UniqueFd openProcessHandle([[maybe_unused]] pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    // A pidfd becomes readable when the child ends, so one poll waits for output and exit together.
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    return UniqueFd();
#endif
}

void addOutputAction(posix_spawn_file_actions_t* actions, int target, OutputMode mode, int pipeWrite) {
    switch (mode) {
    case OutputMode::Inherit:
        break;
    case OutputMode::Null:
        posix_spawn_file_actions_addopen(actions, target, "/dev/null", O_WRONLY, 0);
        break;
    case OutputMode::Capture:
        posix_spawn_file_actions_adddup2(actions, pipeWrite, target);
        break;
    }
}

} // namespace

SpawnResult spawnAndWait(const SpawnRequest& request) {
    SpawnResult result;
    const std::string path(request.path);

    UniqueFd pipeRead;
    UniqueFd pipeWrite;
    const bool capture = request.standardOutput == OutputMode::Capture;
    if (capture) {
        int fds[2];
#if defined(__APPLE__)
        if (::pipe(fds) != 0)
            return result;
        for (int fd : fds)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#else
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return result;
#endif
        pipeRead.reset(fds[0]);
        pipeWrite.reset(fds[1]);
        ::fcntl(pipeRead.get(), F_SETFL, ::fcntl(pipeRead.get(), F_GETFL) | O_NONBLOCK);
    }

    SpawnSetup setup;
    addOutputAction(setup.actions(), STDOUT_FILENO, request.standardOutput, pipeWrite.get());
    addOutputAction(setup.actions(), STDERR_FILENO,
                    request.standardError == OutputMode::Capture ? OutputMode::Null : request.standardError,
                    -1);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    // Nothing but the three standard streams crosses into the child.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_addinherit_np(setup.actions(), fd);
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1);
#endif
    posix_spawnattr_setflags(setup.attributes(), flags);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(setup.attributes(), &signals);
    for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&signals, sig);
    posix_spawnattr_setsigdefault(setup.attributes(), &signals);

    std::vector<char*> argv;
    argv.reserve(request.arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : request.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(), environ) != 0)
        return result; // glibc reports exec failures here; elsewhere the child exits 127
    pipeWrite.reset(); // end of file comes when the child (and its heirs) close theirs

    const UniqueFd processHandle = openProcessHandle(pid);
    const Clock::time_point deadline = Clock::now() + request.timeout;
    bool reading = pipeRead.valid();
    int status = -1;
    bool ended = false;
    auto backoff = std::chrono::microseconds(100);

    while (!ended) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (remaining <= 0) {
            ::kill(pid, SIGKILL);
            reapBlocking(pid);
            result.timedOut = true;
            result.output.clear();
            return result;
        }
        pollfd fds[2];
        nfds_t count = 0;
        if (reading)
            fds[count++] = {pipeRead.get(), POLLIN, 0};
        if (processHandle.valid())
            fds[count++] = {processHandle.get(), POLLIN, 0};

        if (count > 0 && processHandle.valid()) {
            const int ready = ::poll(fds, count, static_cast<int>(remaining + 1));
            if (ready < 0 && errno != EINTR)
                break;
        } else if (reading) {
            // No process handle: wake for output, or every few milliseconds to look for the exit.
            ::poll(fds, count, 5);
        } else {
            std::this_thread::sleep_for(backoff);
            backoff = std::min(backoff * 2, std::chrono::microseconds(5000));
        }
        if (reading)
            reading = drain(pipeRead.get(), result.output);
        ended = reapIfEnded(pid, status);
    }
    if (!ended)
        status = reapBlocking(pid);
    // The child has ended: what it wrote is in the pipe already; a descendant that kept the
    // pipe open must not hold us.
    if (reading)
        drain(pipeRead.get(), result.output);
    result.started = true;
    result.status = status;
    return result;
}

} // namespace quern
