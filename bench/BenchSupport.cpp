#include "bench/BenchSupport.h"

#include "agent/SystemdUnit.h"
#include "status/AgentLocations.h"

#include <QDBusMessage>
#include <QJsonDocument>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace quern::bench {

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool getActiveState(QDBusConnection bus, const std::string& unit) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.systemd1"), QString::fromStdString(systemdUnitPath(unit)),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.systemd1.Unit") << QStringLiteral("ActiveState");
    return bus.call(get, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage;
}

std::string healthPath() {
    return appendPathComponent(appendPathComponent(currentHomeDirectory(), kConfigDirectoryName),
                               kHealthFileName);
}

qint64 residentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::strtoll(line.c_str() + 6, nullptr, 10);
    return 0;
}

void printJson(const QJsonObject& result) {
    std::fputs(QJsonDocument(result).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

QJsonArray toJson(const std::vector<double>& samples) {
    QJsonArray array;
    for (const double sample : samples)
        array.append(sample);
    return array;
}

} // namespace quern::bench
