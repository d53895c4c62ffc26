#include "bench/BenchSupport.h"

#include "agent/SystemdUnit.h"
#include "platform/SessionBus.h"

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

std::string sessionBus() {
    return sessionBusAddress(std::getenv("DBUS_SESSION_BUS_ADDRESS"), std::getenv("XDG_RUNTIME_DIR"));
}

bool getActiveState(std::string_view unit, QDBusConnection bus) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.systemd1"), QString::fromStdString(systemdUnitPath(unit)),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.systemd1.Unit") << QStringLiteral("ActiveState");
    return bus.call(get, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage;
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

} // namespace quern::bench
