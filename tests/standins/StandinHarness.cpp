#include "StandinHarness.h"

#include "standins/UniqueFd.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

extern char** environ;

namespace quern::standins::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The caller's environment with the overridden names replaced.
std::vector<std::string> mergedEnvironment(std::span<const std::string> overrides) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        const std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string& item : overrides)
            replaced = replaced || item.substr(0, item.find('=')) == name;
        if (!replaced)
            merged.emplace_back(text);
    }
    merged.insert(merged.end(), overrides.begin(), overrides.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& item : strings)
        result.push_back(item.data());
    result.push_back(nullptr);
    return result;
}

pid_t spawn(std::span<const std::string> argv, std::span<const std::string> environment, int outFd, int errFd,
            const sigset_t* blocked) {
    std::vector<std::string> args(argv.begin(), argv.end());
    std::vector<std::string> env = mergedEnvironment(environment);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    if (blocked != nullptr) {
        posix_spawnattr_setsigmask(&attributes, blocked);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    }
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argp.front(), &actions, &attributes, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? pid : -1;
}

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<int> reap(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return decode(status);
        if (done < 0 || Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

} // namespace

TempDir::TempDir(std::string_view stem) {
    std::string pattern = "/tmp/" + std::string(stem) + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
    path_ = pattern;
}

TempDir::~TempDir() {
    (void)nftw(
        path_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

RunResult run(std::span<const std::string> argv, std::span<const std::string> environment,
              std::chrono::milliseconds deadline, const sigset_t* blocked) {
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return result;
    UniqueFd outRead(outPipe[0]);
    UniqueFd errRead(errPipe[0]);
    UniqueFd outWrite(outPipe[1]);
    UniqueFd errWrite(errPipe[1]);
    const pid_t pid = spawn(argv, environment, outWrite.get(), errWrite.get(), blocked);
    outWrite.reset();
    errWrite.reset();
    if (pid < 0)
        return result;
    const auto end = Clock::now() + deadline;
    while (outRead.valid() || errRead.valid()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left)) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            UniqueFd& fd = i == 0 ? outRead : errRead;
            if (got > 0)
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
            else
                fd.reset();
        }
    }
    const std::optional<int> status = reap(pid, end);
    if (!status) {
        kill(pid, SIGKILL);
        (void)reap(pid, Clock::now() + 5s);
        result.timedOut = true;
    }
    result.status = status.value_or(-1);
    return result;
}

Child::Child(std::span<const std::string> argv, std::span<const std::string> environment)
    : pid_(spawn(argv, environment, -1, -1, nullptr)) {
    EXPECT_GT(pid_, 0) << "cannot start " << argv.front();
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        (void)reap(pid_, Clock::now() + 5s);
    }
}

std::optional<int> Child::waitExit(std::chrono::milliseconds deadline) {
    const std::optional<int> status = reap(pid_, Clock::now() + deadline);
    if (status)
        pid_ = -1;
    return status;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (!condition()) {
        if (Clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string readFile(const std::string& path) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string data;
    char buffer[4096];
    ssize_t got = 0;
    while (fd.valid() && (got = read(fd.get(), buffer, sizeof buffer)) > 0)
        data.append(buffer, static_cast<std::size_t>(got));
    return data;
}

void writeFile(const std::string& path, std::string_view content) {
    const UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid()) << path;
    ASSERT_EQ(write(fd.get(), content.data(), content.size()), static_cast<ssize_t>(content.size()));
}

std::string linkTarget(const std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t got = readlink(path.c_str(), buffer, sizeof buffer);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

bool isLive(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

std::vector<pid_t> processesOf(std::string_view executable, std::string_view home) {
    char resolved[PATH_MAX];
    const std::string wanted = realpath(std::string(executable).c_str(), resolved) ? resolved : "";
    const std::string homeEntry = "HOME=" + std::string(home);
    std::vector<pid_t> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    while (const dirent* entry = proc ? readdir(proc.get()) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || linkTarget("/proc/" + std::to_string(pid) + "/exe") != wanted || !isLive(pid))
            continue;
        const std::string environment = readFile("/proc/" + std::to_string(pid) + "/environ");
        std::string_view rest = environment;
        while (!rest.empty()) {
            const std::size_t end = std::min(rest.find('\0'), rest.size());
            if (rest.substr(0, end) == homeEntry) {
                found.push_back(pid);
                break;
            }
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    return found;
}

} // namespace quern::standins::testing
