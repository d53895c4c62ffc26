#include "ui/Texts.h"

namespace quern {

QString stateTitle(AgentState state) {
    switch (state) {
    case AgentState::online:
        return QStringLiteral("设备在线");
    case AgentState::running:
        return QStringLiteral("正在连接");
    case AgentState::stopped:
        break;
    }
    return QStringLiteral("代理已停止");
}

QString detailText(Detail detail, const QDateTime& nextRetry) {
    switch (detail) {
    case Detail::checking:
        return QString::fromUtf8(kChecking);
    case Detail::idle:
        return QStringLiteral("代理 1.5.1 · 最多 3 个任务并行");
    case Detail::busy:
        return QStringLiteral("代理 1.5.1 · Quern Desktop 执行中");
    case Detail::reconnecting:
        return QStringLiteral("检测到掉线，正在自动重连");
    case Detail::starting:
        return QStringLiteral("代理已停止，正在自动启动");
    case Detail::retryHeld:
        // The clock's hours and minutes, 24-hour form, in local time.
        return QStringLiteral("代理反复退出，将于 %1 自动重试")
            .arg(nextRetry.toLocalTime().toString(QStringLiteral("HH:mm")));
    case Detail::manualReconnect:
        return QStringLiteral("正在重新连接");
    }
    return {};
}

} // namespace quern
