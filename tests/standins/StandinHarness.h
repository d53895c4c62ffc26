#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quern::standins::testing {

using namespace std::chrono_literals;

// A fresh directory from mkdtemp, removed with its contents when the test ends.
class TempDir {
public:
    explicit TempDir(std::string_view stem = "quern-standins-");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timedOut = false; // output never reached EOF, or the process never exited, before the deadline
};

// Runs a program with the given environment overrides and collects its output. Output must reach
// EOF within the deadline: a descendant still holding our pipes counts as a failure.
[[nodiscard]] RunResult run(std::span<const std::string> argv, std::span<const std::string> environment,
                            std::chrono::milliseconds deadline = 15s, const sigset_t* blocked = nullptr);

// A child process that is killed and reaped if the test has not waited for it.
class Child {
public:
    Child(std::span<const std::string> argv, std::span<const std::string> environment);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();
    [[nodiscard]] pid_t pid() const { return pid_; }
    // Exit status (or 128 + signal) once it has ended, nullopt if it still runs at the deadline.
    [[nodiscard]] std::optional<int> waitExit(std::chrono::milliseconds deadline);

private:
    pid_t pid_ = -1;
};

// Polls every 20 ms until the condition holds or the deadline passes; returns the last outcome.
[[nodiscard]] bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

[[nodiscard]] std::string readFile(const std::string& path); // empty when missing
void writeFile(const std::string& path, std::string_view content);

// Live (non-zombie) processes running `executable` whose environment has HOME=home.
[[nodiscard]] std::vector<pid_t> processesOf(std::string_view executable, std::string_view home);
[[nodiscard]] bool isLive(pid_t pid);
[[nodiscard]] std::string linkTarget(const std::string& path);

} // namespace quern::standins::testing
