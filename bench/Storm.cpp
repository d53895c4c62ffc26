// The storm: the unit stopped and started back to back on a connection of its own, as fast as the
// manager answers, while the client and its floor each have their main thread answer connections to
// a local socket (the client's is its single-instance socket: it accepts and closes on the main
// thread). A thread per program connects, waits for the close, pauses 20 ms and connects again.
#include "bench/BenchSupport.h"
#include "platform/SessionBus.h"

#include <QDBusMessage>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;

// A probe not answered within this counts as this long: a hang still gives a figure.
constexpr auto kProbeBound = 10s;

class Descriptor {
public:
    explicit Descriptor(int fd)
        : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

// Seconds from connect to the server's close; nullopt when the socket could not be reached at all.
std::optional<double> probe(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0)
        return std::nullopt;
    const auto begin = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin);
    };
    // The kernel completes the connect; only the server's main thread accepts and closes it.
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    for (;;) {
        pollfd ready{socket.get(), POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kProbeBound - elapsed());
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0)
            return elapsed().count();
        char byte = 0;
        if (::read(socket.get(), &byte, 1) <= 0) // end of file (closed) or reset
            return elapsed().count();
    }
}

class Prober {
public:
    explicit Prober(std::string path)
        : path_(std::move(path))
        , thread_([this] {
            while (!stop_) {
                if (const auto answer = probe(path_))
                    samples_.push_back(*answer);
                else
                    ++unreached_;
                std::this_thread::sleep_for(20ms);
            }
        }) {}
    ~Prober() { finish(); }
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;
    void finish() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    [[nodiscard]] const std::vector<double>& samples() const { return samples_; }
    [[nodiscard]] int unreached() const { return unreached_; }

private:
    std::string path_;
    std::atomic<bool> stop_{false};
    std::vector<double> samples_;
    int unreached_ = 0;
    std::thread thread_;
};

// VmRSS in KiB, 0 when the process is gone.
long residentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

std::string signedKib(long kib) {
    return (kib >= 0 ? "+" : "") + std::to_string(kib) + " KiB";
}

} // namespace

int runStorm(const std::string& unit, double seconds, double after, const Target& client,
             const Target& floor) {
    const long clientBefore = residentKib(client.pid);
    const long floorBefore = residentKib(floor.pid);
    QDBusConnection bus = QDBusConnection::connectToBus(
        QString::fromStdString(
            sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"))),
        QStringLiteral("quern-bench-storm"));
    const auto call = [&](const char* method) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.systemd1"), QStringLiteral("/org/freedesktop/systemd1"),
            QStringLiteral("org.freedesktop.systemd1.Manager"), QString::fromLatin1(method));
        message << QString::fromStdString(unit) << QStringLiteral("replace");
        return bus.call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
    };
    Prober clientProbe(client.socket);
    Prober floorProbe(floor.socket);
    int answered = 0;
    int calls = 0;
    const double end = wallSeconds() + seconds;
    while (wallSeconds() < end || calls % 2 == 1) // ends on a start
        answered += call(calls++ % 2 == 0 ? "StopUnit" : "StartUnit") ? 1 : 0;
    clientProbe.finish();
    floorProbe.finish();
    std::this_thread::sleep_for(std::chrono::duration<double>(after));
    const long clientAfter = residentKib(client.pid);
    const long floorAfter = residentKib(floor.pid);

    const Summary value = summarize(clientProbe.samples());
    const Summary base = summarize(floorProbe.samples());
    const auto ms = [](double v) { return fixed(v * 1000, 1) + " ms"; };
    const bool answers = value.count > 0 && base.count > 0;
    printRow("9",
             "storm: the unit stopped and started back to back for " + fixed(seconds, 0) + " s (" +
                 std::to_string(answered) + " of " + std::to_string(calls) +
                 " calls answered); the main thread closing a connection to the single-instance socket, "
                 "connect → close every 20 ms (n=" +
                 std::to_string(value.count) +
                 "; floor: quern-bench-floor --listen beside, taking the same "
                 "reports, n=" +
                 std::to_string(base.count) + "), median / worst",
             ms(value.median) + " / " + ms(value.max), ms(base.median) + " / " + ms(base.max),
             "worst " + (value.max >= base.max ? std::string("+") : "") + ms(value.max - base.max),
             "worst ≤ 100 ms", answers && value.max <= 0.1);
    const auto mib = [](long kib) { return fixed(static_cast<double>(kib) / 1024, 1); };
    const bool measured = clientBefore > 0 && clientAfter > 0 && floorBefore > 0 && floorAfter > 0;
    printRow("9", "resident memory (VmRSS) before the storm → " + fixed(after, 0) + " s after it",
             mib(clientBefore) + " → " + mib(clientAfter) + " MiB",
             mib(floorBefore) + " → " + mib(floorAfter) + " MiB",
             signedKib(clientAfter - clientBefore) + " vs " + signedKib(floorAfter - floorBefore),
             "≤ +2048 KiB", measured && clientAfter - clientBefore <= 2048);
    if (clientProbe.unreached() + floorProbe.unreached() > 0)
        std::fprintf(stderr, "quern-bench: %d probes of the client and %d of the floor found no socket\n",
                     clientProbe.unreached(), floorProbe.unreached());
    return answers && measured && answered > 0 ? 0 : 1;
}

} // namespace quern::bench
