// A child for the runner tests: what it does is chosen by its first argument.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void writeText(const std::string& text) {
    writeAll(STDOUT_FILENO, text.data(), text.size());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    if (mode == "args") { // one argument per line, between brackets
        for (int i = 2; i < argc; ++i)
            writeText(std::string("[") + argv[i] + "]\n");
        return 0;
    }
    if (mode == "exit")
        return std::atoi(argv[2]);
    if (mode == "bytes") { // N bytes of 'x'
        const std::string block(std::strtoul(argv[2], nullptr, 10), 'x');
        writeText(block);
        return 0;
    }
    if (mode == "text") {
        writeText(argv[2]);
        return 0;
    }
    if (mode == "invalid-utf8") {
        writeText("pid = \xff\xfe 12\n");
        return 0;
    }
    if (mode == "signal") {
        std::signal(SIGTERM, SIG_DFL);
        ::raise(std::atoi(argv[2]));
        return 0;
    }
    if (mode == "hang") {
        for (;;)
            ::pause();
    }
    if (mode == "stderr") {
        const std::string text = "to standard error\n";
        writeAll(STDERR_FILENO, text.data(), text.size());
        writeText("out\n");
        return 0;
    }
    if (mode == "fds") { // descriptors open in the child beyond the standard three
        int count = 0;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (const dirent* entry = ::readdir(dir)) {
                if (entry->d_name[0] != '.' && std::atoi(entry->d_name) > 2)
                    ++count;
            }
            ::closedir(dir);
        }
        writeText(std::to_string(count - 1) + "\n"); // less the directory's own
        return 0;
    }
    if (mode == "record-signals") { // appends a line to the file for every SIGHUP, until killed
        static int recordFd = -1;
        recordFd = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        struct sigaction action {};
        action.sa_handler = [](int) { (void)!::write(recordFd, "HUP\n", 4); };
        ::sigaction(SIGHUP, &action, nullptr);
        writeText("ready\n");
        for (;;)
            ::pause();
    }
    if (mode == "heir") { // leaves a grandchild holding standard output open, then exits
        if (::fork() == 0) {
            ::sleep(5);
            ::_exit(0);
        }
        writeText("parent done\n");
        return 0;
    }
    return 2;
}
