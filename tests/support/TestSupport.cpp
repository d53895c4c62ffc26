#include "support/TestSupport.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#if defined(__APPLE__)
#include <libproc.h>
#endif

namespace quern::test {

TempDir::TempDir(const std::string& stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    // Tests make files unreadable on purpose; give them back before removing.
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

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds guard) {
    const auto end = std::chrono::steady_clock::now() + guard;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/dev/fd"))
        ++count;
    return count - 1; // the iterator's own
}

std::vector<int> childProcesses() {
    std::vector<int> children;
#if defined(__APPLE__)
    std::vector<pid_t> pids(4096);
    const int bytes = ::proc_listpids(PROC_PPID_ONLY, static_cast<uint32_t>(::getpid()), pids.data(),
                                      static_cast<int>(pids.size() * sizeof(pid_t)));
    for (int i = 0; i < bytes / static_cast<int>(sizeof(pid_t)); ++i)
        if (const pid_t pid = pids[static_cast<size_t>(i)]; pid > 0)
            children.push_back(pid);
#else
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream in(task.path() / "children");
        for (int pid = 0; in >> pid;)
            children.push_back(pid);
    }
#endif
    return children;
}

namespace {

SpawnRequest requestFor(const std::string& path, const std::vector<std::string>& arguments) {
    SpawnRequest request;
    request.path = path;
    request.arguments = arguments;
    request.standardOutput = OutputMode::Capture;
    request.standardError = OutputMode::Capture;
    request.timeout = kHangGuard;
    return request;
}

} // namespace

SpawnResult run(const std::string& path, const std::vector<std::string>& arguments) {
    return spawnAndWait(requestFor(path, arguments));
}

ChildProcess startProgram(const std::string& path, const std::vector<std::string>& arguments) {
    SpawnRequest request = requestFor(path, arguments);
    request.standardOutput = OutputMode::Inherit;
    request.standardError = OutputMode::Inherit;
    return ChildProcess::start(request);
}

} // namespace quern::test
