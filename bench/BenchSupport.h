#pragma once

#include <QDBusConnection>
#include <QJsonArray>
#include <QJsonObject>

#include <string>
#include <string_view>
#include <sys/types.h>

namespace quern::bench {

[[nodiscard]] double wallSeconds();     // since 1970
[[nodiscard]] std::string sessionBus(); // the session bus's address, found as the client finds it

// A floor: whether a bare blocking Get of the unit's ActiveState was answered.
[[nodiscard]] bool getActiveState(std::string_view unit, QDBusConnection bus = QDBusConnection::sessionBus());
[[nodiscard]] qint64 residentKib(pid_t pid); // VmRSS, 0 when the process is gone

// A result for run.sh's table (bench/table.jq): one JSON object per line on standard output.
void printJson(const QJsonObject& result);

// Repairs.cpp: kills (SPACING s after the last repair at least) or silences; 0 when each was repaired.
[[nodiscard]] int runRepairs(bool killed, int trials, double spacing, const std::string& unit);

} // namespace quern::bench
