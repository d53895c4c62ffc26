// The storm: the unit stopped and started back to back on a connection of its own, as fast as the
// manager answers, while the client and its floor each have their main thread answer connections to
// a local socket (the client's is its single-instance socket: it accepts and closes on the main thread).
#include "bench/BenchSupport.h"

#include <QDBusInterface>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

namespace quern::bench {
namespace {

// Probes the socket at PATH every 20 ms on a thread of its own until finished: seconds from connect (the
// kernel completes it) to the server's close, a hang counting as 10 s so that it still gives a figure.
struct Prober {
    explicit Prober(const QString& path)
        : thread(QThread::create([this, path] {
            for (; !stop; QThread::msleep(20)) {
                QLocalSocket socket;
                QElapsedTimer clock;
                clock.start();
                socket.connectToServer(path);
                if (!socket.waitForConnected(10000)) {
                    ++unreached;
                    continue;
                }
                socket.waitForDisconnected(10000);
                samples.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e9);
            }
        })) {
        thread->start();
    }
    ~Prober() { finish(); }
    void finish() {
        stop = true;
        thread->wait();
    }
    std::atomic<bool> stop{false};
    std::vector<double> samples;
    int unreached = 0;
    std::unique_ptr<QThread> thread;
};

} // namespace

int runStorm(const std::string& unit, double seconds, double after, const Target& client,
             const Target& floor) {
    const qint64 clientBefore = residentKib(client.pid);
    const qint64 floorBefore = residentKib(floor.pid);
    QDBusInterface manager(
        QStringLiteral("org.freedesktop.systemd1"), QStringLiteral("/org/freedesktop/systemd1"),
        QStringLiteral("org.freedesktop.systemd1.Manager"),
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("storm")));
    manager.setTimeout(5000);
    const QString name = QString::fromStdString(unit);
    Prober clientProbe(QString::fromStdString(client.socket));
    Prober floorProbe(QString::fromStdString(floor.socket));
    int answered = 0;
    int calls = 0;
    const double end = wallSeconds() + seconds;
    while (wallSeconds() < end || calls % 2 == 1) // ends on a start
        answered += manager
                        .call(QDBus::Block, calls++ % 2 == 0 ? "StopUnit" : "StartUnit", name,
                              QStringLiteral("replace"))
                        .type() == QDBusMessage::ReplyMessage;
    clientProbe.finish();
    floorProbe.finish();
    QThread::usleep(static_cast<unsigned long>(after * 1e6));

    const qint64 clientAfter = residentKib(client.pid);
    const qint64 floorAfter = residentKib(floor.pid);
    if (answered == 0 || clientProbe.samples.empty() || floorProbe.samples.empty() ||
        std::min({clientBefore, floorBefore, clientAfter, floorAfter}) == 0) {
        std::fprintf(stderr,
                     "quern-bench: no storm figures (%d probes of the client, %d of the floor unreached)\n",
                     clientProbe.unreached, floorProbe.unreached);
        return 1;
    }
    const auto program = [](const Prober& probes, qint64 before, qint64 later) {
        return QJsonObject{{"probes", toJson(probes.samples)}, {"rss", QJsonArray{before, later}}};
    };
    printJson({{"seconds", seconds},
               {"after", after},
               {"calls", calls},
               {"answered", answered},
               {"client", program(clientProbe, clientBefore, clientAfter)},
               {"floor", program(floorProbe, floorBefore, floorAfter)}});
    return 0;
}

} // namespace quern::bench
