#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quern::test {

// A private temporary directory, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& stem = "quern-test");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void writeFile(const std::string& path, std::string_view contents);
[[nodiscard]] std::string readFile(const std::string& path);
[[nodiscard]] std::vector<std::string> readLines(const std::string& path);

// Polls until the condition holds or the deadline passes; returns the last result.
[[nodiscard]] bool waitUntil(const std::function<bool()>& condition,
                             std::chrono::milliseconds deadline = std::chrono::seconds(5));

// Open descriptors of this process, and its children that are still around (zombies included).
[[nodiscard]] int openDescriptorCount();
[[nodiscard]] std::vector<int> childProcesses();

// Processes (of any parent) whose environment holds exactly this entry, e.g. "HOME=/tmp/x". Zombies
// and processes in the middle of an exec have no environment to read, so they never match.
[[nodiscard]] std::vector<int> processesWithEnvironment(const std::string& entry);

// Wall-clock seconds since 1970.
[[nodiscard]] double wallClock();

} // namespace quern::test

namespace quern::test {

// A child started with extra environment variables; killed and reaped when it goes out of scope.
class ChildProcess {
public:
    ChildProcess(const std::string& path, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();
    [[nodiscard]] int pid() const { return pid_; }
    [[nodiscard]] bool running();
    // Sends SIGTERM and waits; the exit status, or -1.
    int stop();
    // The exit status (128 + signal when killed) once running() or stop() saw it end, else -1.
    [[nodiscard]] int exitStatus() const { return status_; }

private:
    int pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// Runs a program to its end with extra environment; its exit status and standard output.
struct RunResult {
    int status = -1;
    std::string output;
    std::string errors;
    bool timedOut = false; // the output had not reached EOF, or the program not ended
};
// Standard input is the null device. Both outputs must reach EOF by the deadline, else timedOut (a
// descendant holding the pipes counts) and a program still running is killed.
[[nodiscard]] RunResult runWithDeadline(const std::string& path, const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& environment,
                                        std::chrono::milliseconds deadline = std::chrono::seconds(10));
// The same with a generous deadline, for programs expected to end at once.
[[nodiscard]] RunResult runWithEnvironment(const std::string& path, const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& environment);

} // namespace quern::test
