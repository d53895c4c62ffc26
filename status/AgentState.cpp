#include "status/AgentState.h"

namespace quern {

std::string_view title(AgentState state) {
    switch (state) {
    case AgentState::online:
        return "设备在线";
    case AgentState::running:
        return "正在连接";
    case AgentState::stopped:
        return "代理已停止";
    }
    return "代理已停止";
}

} // namespace quern
