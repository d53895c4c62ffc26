#include "support/TestSupport.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace quern::test {

TempDir::TempDir(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, error);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, error))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, error);
    std::filesystem::remove_all(path_, error);
}

void writeFile(const std::string& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1; // the iterator's own
}

std::vector<int> childProcesses() {
    std::vector<int> children;
    const std::string self = std::to_string(::getpid());
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream in(task.path() / "children");
        for (int pid = 0; in >> pid;)
            children.push_back(pid);
    }
    return children;
}

std::vector<int> processesWithEnvironment(const std::string& entry) {
    std::vector<int> found;
    const std::string wanted = std::string(1, '\0') + entry + '\0';
    std::error_code error;
    for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = process.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (('\0' + readFile((process.path() / "environ").string())).find(wanted) != std::string::npos)
            found.push_back(std::stoi(name));
    }
    return found;
}

double wallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace quern::test

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace quern::test {
namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string item = *entry;
        const std::string key = item.substr(0, item.find('=') + 1);
        bool replaced = false;
        for (const std::string& e : extra)
            replaced = replaced || e.starts_with(key);
        if (!replaced)
            merged.push_back(item);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

int spawnWith(const std::string& path, const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment, posix_spawn_file_actions_t* actions) {
    std::vector<std::string> env = mergedEnvironment(environment);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), actions, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    return pid;
}

int waitFor(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
    : pid_(spawnWith(path, arguments, environment, nullptr)) {}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_);
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int ChildProcess::stop() {
    if (pid_ <= 0 || reaped_)
        return -1;
    ::kill(pid_, SIGTERM);
    reaped_ = true;
    status_ = waitFor(pid_);
    return status_;
}

RunResult runWithDeadline(const std::string& path, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment, std::chrono::milliseconds deadline) {
    RunResult result;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const int pid = spawnWith(path, arguments, environment, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (int openPipes = pid > 0 ? 2 : 0; openPipes > 0;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1; // poll skips it from now on
                --openPipes;
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (pid > 0) {
        if (result.timedOut)
            ::kill(pid, SIGKILL); // not reaped yet, so the pid is still ours
        result.status = waitFor(pid);
    }
    return result;
}

RunResult runWithEnvironment(const std::string& path, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment) {
    return runWithDeadline(path, arguments, environment, std::chrono::seconds(30));
}

} // namespace quern::test
