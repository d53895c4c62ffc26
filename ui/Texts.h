#pragma once

#include "status/AgentState.h"

#include <QDateTime>
#include <QString>

#include <string_view>

namespace quern {

// Every word the client shows, each once.
inline constexpr std::string_view kAppName = "Quern Zova";
inline constexpr std::string_view kSubtitle = "本机连接";
inline constexpr std::string_view kChecking = "正在检查"; // the state until the first refresh
inline constexpr std::string_view kReconnectNow = "立即重连";
inline constexpr std::string_view kStartAgent = "启动代理";
inline constexpr std::string_view kStopAgent = "停止代理";
inline constexpr std::string_view kOpenConsole = "打开控制台";
inline constexpr std::string_view kViewLog = "查看日志";
inline constexpr std::string_view kShowWindow = "显示 Quern Zova";
inline constexpr std::string_view kQuitClient = "退出客户端";
inline constexpr std::string_view kFootnote =
    "后台代理会随登录自动启动。窗口关闭后，菜单栏中的连接图标仍可用于查看状态和重新连接。";

// The state's title as the user sees it.
[[nodiscard]] QString stateTitle(AgentState state);
// The line under it; `nextRetry` is the wall-clock time of the next try, for Detail::retryHeld.
[[nodiscard]] QString detailText(Detail detail, const QDateTime& nextRetry = {});

} // namespace quern
