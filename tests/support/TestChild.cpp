// A child for the runner and fault tests: what it does is chosen by its first argument.
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void writeText(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

int recordFd = -1;

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string value = argc > 2 ? argv[2] : "";
    if (mode == "args") { // one argument per line, between brackets
        for (int i = 2; i < argc; ++i)
            writeText(STDOUT_FILENO, std::string("[") + argv[i] + "]\n");
    } else if (mode == "exit") {
        return std::atoi(value.c_str());
    } else if (mode == "bytes") { // N bytes of 'x'
        writeText(STDOUT_FILENO, std::string(std::strtoul(value.c_str(), nullptr, 10), 'x'));
    } else if (mode == "text") {
        writeText(STDOUT_FILENO, value);
    } else if (mode == "streams") {
        writeText(STDERR_FILENO, "to standard error\n");
        writeText(STDOUT_FILENO, "out\n");
    } else if (mode == "signal") {
        std::signal(std::atoi(value.c_str()), SIG_DFL);
        ::raise(std::atoi(value.c_str()));
    } else if (mode == "hang") {
        for (;;)
            ::pause();
    } else if (mode == "fds") { // descriptors open beyond the standard three, less the directory's own
        int count = -1;
        if (DIR* dir = ::opendir("/dev/fd")) {
            while (const dirent* entry = ::readdir(dir))
                count += entry->d_name[0] != '.' && std::atoi(entry->d_name) > 2 ? 1 : 0;
            ::closedir(dir);
        }
        writeText(STDOUT_FILENO, std::to_string(count) + "\n");
    } else if (mode == "record-signals") { // "ready PID", then a line for every SIGHUP or SIGUSR1
        recordFd = ::open(value.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        struct sigaction action {};
        action.sa_handler = [](int signal) {
            if (signal == SIGHUP)
                (void)!::write(recordFd, "HUP\n", 4);
            else
                (void)!::write(recordFd, "USR1\n", 5);
        };
        ::sigaction(SIGHUP, &action, nullptr);
        ::sigaction(SIGUSR1, &action, nullptr);
        writeText(recordFd, "ready " + std::to_string(::getpid()) + "\n");
        for (;;)
            ::pause();
    } else if (mode == "heir") { // a grandchild keeps standard output open for good; its pid is printed
        const pid_t heir = ::fork();
        if (heir == 0) {
            for (;;)
                ::pause();
        }
        writeText(STDOUT_FILENO, std::to_string(heir) + "\n");
    } else {
        return 2;
    }
    return 0;
}
