#pragma once

#include "platform/ProcessSpawn.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quern::test {

using namespace std::chrono_literals;

// Every wait in the suite is for a condition; this deadline only turns a hang into a failure.
inline constexpr std::chrono::milliseconds kHangGuard = 60s;

// The test child and the demo agent of this build.
extern const std::string kTestChild;
extern const std::string kAgent;

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

// Polls the condition until it holds, or the hang guard passes; the last result.
[[nodiscard]] bool waitUntil(const std::function<bool()>& condition,
                             std::chrono::milliseconds guard = kHangGuard);

// Open descriptors of this process, and its children still around (zombies included).
[[nodiscard]] int openDescriptorCount();
[[nodiscard]] std::vector<int> childProcesses();

// Runs a program to its end through the product's runner, both streams captured; stuck past the
// hang guard, it is killed and the result says timedOut.
[[nodiscard]] SpawnResult run(const std::string& path, const std::vector<std::string>& arguments);
// Starts a program that runs beside the test; killed and reaped when the handle goes.
[[nodiscard]] ChildProcess startProgram(const std::string& path, const std::vector<std::string>& arguments);

} // namespace quern::test
