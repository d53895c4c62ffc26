#pragma once

#include "status/AgentState.h"
#include "status/HealthRecord.h"

#include <string_view>

namespace quern {

// A connection confirmed less than this many seconds ago counts as fresh.
inline constexpr double kFreshnessWindow = 12.0;

inline constexpr std::string_view kDetailBusy = "代理 1.5.1 · Quern Desktop 执行中";
inline constexpr std::string_view kDetailIdle = "代理 1.5.1 · 最多 3 个任务并行";
inline constexpr std::string_view kDetailReconnecting = "检测到掉线，正在自动重连";
inline constexpr std::string_view kDetailStarting = "代理已停止，正在自动启动";
inline constexpr std::string_view kDetailManualReconnect = "正在重新连接";

struct StatusDerivation {
    AgentState state;
    std::string_view detail;
    bool operator==(const StatusDerivation&) const = default;
};

// "server_ok_at" when it is a JSON number, else 0.
[[nodiscard]] double serverOkTime(const HealthRecord& health);

// The state and detail text for one refresh.
[[nodiscard]] StatusDerivation deriveStatus(bool serviceRunning, double now, const HealthRecord& health);

} // namespace quern
