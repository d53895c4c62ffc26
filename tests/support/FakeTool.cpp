// A recording stand-in for launchctl or kill, chosen by the name it is started under. Every call
// appends its arguments, separated by '|', as one line to calls.log in $FAKE_TOOL_DIR, or else in
// the directory it is started from (tests link it into a directory of their own). Behaviour
// comes from files there, so a test can change it while the client runs:
//   <command>.status  exit status for that command (print defaults to 113, others to 0)
//   <command>.output  standard output for that command
//   <command>.delay   milliseconds to wait before answering
//   <command>.signal  a signal to end with instead of exiting
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::string readSmallFile(const std::string& path, bool& found) {
    std::string contents;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    found = fd >= 0;
    if (fd < 0)
        return contents;
    char buffer[1 << 16];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        contents.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return contents;
}

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = argv[0];
    const char* dir = std::getenv("FAKE_TOOL_DIR");
    const std::string base = dir != nullptr ? std::string(dir) : self.substr(0, self.rfind('/'));
    const bool isKill = self.size() >= 4 && self.compare(self.size() - 4, 4, "kill") == 0;
    const std::string command = isKill ? "kill" : (argc > 1 ? argv[1] : "none");

    std::string line = isKill ? "kill" : "launchctl";
    for (int i = 1; i < argc; ++i)
        line += std::string("|") + argv[i];
    line += "\n";
    const int log = ::open((base + "/calls.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (log >= 0) {
        writeAll(log, line); // one write: lines of concurrent calls do not interleave
        ::close(log);
    }

    bool found = false;
    const std::string delay = readSmallFile(base + "/" + command + ".delay", found);
    if (found)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay.c_str())));
    const std::string output = readSmallFile(base + "/" + command + ".output", found);
    if (found)
        writeAll(STDOUT_FILENO, output);
    const std::string signal = readSmallFile(base + "/" + command + ".signal", found);
    if (found) {
        std::signal(std::atoi(signal.c_str()), SIG_DFL);
        std::raise(std::atoi(signal.c_str()));
    }
    const std::string status = readSmallFile(base + "/" + command + ".status", found);
    if (found)
        return std::atoi(status.c_str());
    return command == "print" ? 113 : 0;
}
