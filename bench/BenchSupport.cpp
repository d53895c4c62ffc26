#include "bench/BenchSupport.h"

#include "agent/SystemdUnit.h"
#include "status/AgentLocations.h"

#include <QDBusMessage>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

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

Summary summarize(std::vector<double> samples) {
    if (samples.empty())
        return {};
    std::ranges::sort(samples);
    const std::size_t n = samples.size();
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    return {n, median, samples[std::clamp<std::size_t>(rank, 1, n) - 1], samples.back()};
}

void printRow(const std::string& figure, const std::string& what, const std::string& value,
              const std::string& floor, const std::string& comparison, const std::string& goal, bool met) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), what.c_str(), value.c_str(),
                floor.c_str(), comparison.c_str(), goal.empty() ? "(information)" : goal.c_str(),
                goal.empty() ? "—" : (met ? "yes" : "NO"));
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace quern::bench
