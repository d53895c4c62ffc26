// The storm: the unit stopped and started back to back on a connection of its own, as fast as the
// manager answers, while the client and its floor each have their main thread answer connections to
// a local socket (the client's is its single-instance socket: it accepts and closes on the main thread).
#include "bench/BenchSupport.h"

#include <QDBusInterface>
#include <QElapsedTimer>
#include <QLocalSocket>

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>

namespace quern::bench {
namespace {

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

// Probes the socket at PATH every 20 ms on a thread of its own until stopped: seconds from connect (the
// kernel completes it) to the server's close, a hang counting as 10 s so that it still gives a figure.
struct Prober {
    explicit Prober(const std::string& path)
        : thread([this, path = QString::fromStdString(path)](const std::stop_token& stop) {
            for (; !stop.stop_requested(); std::this_thread::sleep_for(20ms)) {
                QLocalSocket socket;
                QElapsedTimer clock;
                clock.start();
                socket.connectToServer(path);
                if (!socket.waitForConnected(10000)) {
                    ++unreached;
                    continue;
                }
                socket.waitForDisconnected(10000);
                samples.append(static_cast<double>(clock.nsecsElapsed()) / 1e9);
            }
        }) {}
    QJsonArray samples;
    int unreached = 0;
    std::jthread thread; // last: it runs once the others are made
};

} // namespace

int runStorm(const std::string& unit, double seconds, double after, const Target& client,
             const Target& floor) {
    const std::array before{residentKib(client.pid), residentKib(floor.pid)};
    QDBusInterface manager(u"org.freedesktop.systemd1"_s, u"/org/freedesktop/systemd1"_s,
                           u"org.freedesktop.systemd1.Manager"_s,
                           QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"storm"_s));
    manager.setTimeout(5000);
    const QString name = QString::fromStdString(unit);
    Prober clientProbe(client.socket);
    Prober floorProbe(floor.socket);
    int answered = 0;
    int calls = 0;
    const double end = wallSeconds() + seconds;
    while (wallSeconds() < end || calls % 2 == 1) // ends on a start
        answered +=
            manager.call(QDBus::Block, calls++ % 2 == 0 ? "StopUnit" : "StartUnit", name, u"replace"_s)
                .type() == QDBusMessage::ReplyMessage;
    for (Prober* probe : {&clientProbe, &floorProbe}) {
        probe->thread.request_stop();
        probe->thread.join();
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(after));

    const std::array later{residentKib(client.pid), residentKib(floor.pid)};
    if (answered == 0 || clientProbe.samples.isEmpty() || floorProbe.samples.isEmpty() ||
        std::ranges::min({before[0], before[1], later[0], later[1]}) == 0) {
        std::fprintf(stderr,
                     "quern-bench: no storm figures (%d probes of the client, %d of the floor unreached)\n",
                     clientProbe.unreached, floorProbe.unreached);
        return 1;
    }
    printJson(
        {{"seconds", seconds},
         {"after", after},
         {"calls", calls},
         {"answered", answered},
         {"client", QJsonObject{{"probes", clientProbe.samples}, {"rss", QJsonArray{before[0], later[0]}}}},
         {"floor", QJsonObject{{"probes", floorProbe.samples}, {"rss", QJsonArray{before[1], later[1]}}}}});
    return 0;
}

} // namespace quern::bench
