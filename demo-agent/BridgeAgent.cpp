// quern-bridge-agent: the least agent Quern Zova can supervise. It keeps
// ~/.quern-web-bridge/health.json fresh while its (pretend) server connection is up, logs what it
// does to agent.log, reconnects on SIGHUP and can be told to drop the connection, be busy or crash.
#include "demo-agent/WriteAll.h"
#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quern::demo_agent {
namespace {

constexpr int kUsageError = 64;  // EX_USAGE
constexpr int kConfigError = 78; // EX_CONFIG
constexpr int kCrashStatus = 3;  // --exit-after

struct Options {
    double interval = 3.0;
    std::string busy;
    bool offline = false;
    std::optional<double> exitAfter;
    std::string sighupLog;
};

int usage() {
    writeAll(STDERR_FILENO, "Usage: quern-bridge-agent [--interval SECONDS] [--busy ID] [--offline]\n"
                            "                          [--exit-after SECONDS] [--sighup-log PATH]\n");
    return kUsageError;
}

std::optional<double> parseSeconds(const char* text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value < 0)
        return std::nullopt;
    return value;
}

std::optional<Options> parseOptions(std::span<char* const> args) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view name = args[i];
        if (name == "--offline") {
            options.offline = true;
            continue;
        }
        if (i + 1 >= args.size())
            return std::nullopt;
        const char* value = args[++i];
        if (name == "--interval") {
            const std::optional<double> seconds = parseSeconds(value);
            if (!seconds || *seconds <= 0)
                return std::nullopt;
            options.interval = *seconds;
        } else if (name == "--exit-after") {
            options.exitAfter = parseSeconds(value);
            if (!options.exitAfter)
                return std::nullopt;
        } else if (name == "--busy") {
            options.busy = value;
        } else if (name == "--sighup-log") {
            options.sighupLog = value;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

double seconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out.append(escaped);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

class Agent {
public:
    Agent(Options options, std::string dir)
        : options_(std::move(options))
        , dir_(std::move(dir))
        , log_(::open((dir_ + "/agent.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600))
        , connected_(!options_.offline) {}

    // Returns the process exit status.
    int run(int signals) {
        log("start (interval " + number(options_.interval) + " s, " + (connected_ ? "online" : "offline") +
            ")");
        if (connected_)
            writeHealth();
        const double started = seconds(CLOCK_MONOTONIC);
        double nextTick = started + options_.interval;
        const double exitAt = options_.exitAfter ? started + *options_.exitAfter : HUGE_VAL;
        for (;;) {
            const double now = seconds(CLOCK_MONOTONIC);
            if (now >= exitAt) {
                log("exit with status " + std::to_string(kCrashStatus) + " (--exit-after)");
                return kCrashStatus;
            }
            if (now >= nextTick) {
                if (connected_)
                    writeHealth();
                nextTick = std::max(nextTick + options_.interval, now);
            }
            const double wait = std::min(nextTick, exitAt) - now;
            pollfd ready{.fd = signals, .events = POLLIN, .revents = 0};
            const int timeout = static_cast<int>(std::ceil(std::clamp(wait, 0.0, 3600.0) * 1000));
            if (::poll(&ready, 1, timeout) <= 0)
                continue;
            unsigned char number = 0;
            while (::read(signals, &number, 1) == 1) {
                if (const std::optional<int> status = onSignal(number))
                    return *status;
            }
        }
    }

private:
    static std::string number(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }

    std::optional<int> onSignal(int signal) {
        switch (signal) {
        case SIGHUP:
            ++hangups_;
            log("reconnect (SIGHUP) #" + std::to_string(hangups_));
            if (!options_.sighupLog.empty()) {
                const UniqueFd fd(
                    ::open(options_.sighupLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
                writeAll(fd.get(),
                         "SIGHUP " + std::to_string(hangups_) + " pid " + std::to_string(::getpid()) + "\n");
            }
            connected_ = true;
            writeHealth();
            return std::nullopt;
        case SIGUSR1:
            if (connected_)
                log("connection lost (SIGUSR1)");
            connected_ = false;
            return std::nullopt;
        case SIGTERM:
        case SIGINT:
            log(std::string("exit (") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
            return 0;
        default:
            return std::nullopt;
        }
    }

    void log(std::string_view message) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        tm utc{};
        ::gmtime_r(&now.tv_sec, &utc);
        char stamp[48];
        const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        std::snprintf(stamp + length, sizeof stamp - length, ".%03ldZ", now.tv_nsec / 1'000'000);
        // One write per line, so lines from a restarted agent never interleave mid-line.
        writeAll(log_.get(),
                 std::string(stamp) + " [" + std::to_string(::getpid()) + "] " + std::string(message) + "\n");
    }

    // Readers may look at any moment: write a temporary file beside it, then rename over it.
    void writeHealth() {
        char time[40];
        std::snprintf(time, sizeof time, "%.3f", seconds(CLOCK_REALTIME));
        const std::string json = std::string("{\"server_ok_at\": ") + time +
                                 ", \"busy_command_id\": " + jsonString(options_.busy) +
                                 ", \"pid\": " + std::to_string(::getpid()) + "}\n";
        const std::string temp = dir_ + "/.health.json." + std::to_string(::getpid()) + ".tmp";
        {
            const UniqueFd fd(
                ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (!fd.valid()) {
                log(std::string("cannot write health: ") + std::strerror(errno));
                return;
            }
            writeAll(fd.get(), json);
        }
        if (::rename(temp.c_str(), (dir_ + "/health.json").c_str()) != 0)
            log(std::string("cannot replace health.json: ") + std::strerror(errno));
    }

    Options options_;
    std::string dir_;
    UniqueFd log_;
    bool connected_;
    std::uint64_t hangups_ = 0;
};

// The write end of the pipe the signal handler writes each signal's number into.
int signalPipe = -1;

} // namespace
} // namespace quern::demo_agent

int main(int argc, char** argv) {
    using namespace quern::demo_agent;
    using quern::UniqueFd;
    const std::span<char* const> args(argv, static_cast<std::size_t>(std::max(argc, 1)));
    const std::optional<Options> options = parseOptions(args.subspan(1));
    if (!options)
        return usage();
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        writeAll(STDERR_FILENO, "quern-bridge-agent: HOME is not set\n");
        return kConfigError;
    }
    std::string dir = std::string(home) + "/.quern-web-bridge";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        writeAll(STDERR_FILENO,
                 "quern-bridge-agent: cannot create " + dir + ": " + std::strerror(errno) + "\n");
        return kConfigError;
    }
    // Signals arrive through a pipe and are handled in the main loop: the handler only writes the
    // signal's number (a self-pipe, as both Linux and macOS have it).
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        writeAll(STDERR_FILENO, std::string("quern-bridge-agent: pipe: ") + std::strerror(errno) + "\n");
        return 1;
    }
    const UniqueFd signals(pipeEnds[0]);
    const UniqueFd signalWriter(pipeEnds[1]);
    for (const int fd : pipeEnds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    signalPipe = signalWriter.get();
    struct sigaction action {};
    action.sa_handler = [](int signal) {
        const int saved = errno;
        const auto number = static_cast<unsigned char>(signal);
        (void)!::write(signalPipe, &number, 1);
        errno = saved;
    };
    action.sa_flags = SA_RESTART; // the file calls go on; poll() still wakes
    for (const int signal : {SIGHUP, SIGTERM, SIGINT, SIGUSR1})
        ::sigaction(signal, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Agent agent(*options, std::move(dir));
    return agent.run(signals.get());
}
