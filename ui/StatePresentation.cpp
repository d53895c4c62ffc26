#include "ui/StatePresentation.h"

namespace quern {

StatePresentation presentationFor(AgentState state) {
    switch (state) {
    case AgentState::online:
        return {SystemColor::Green, "link.circle.fill", "停止代理", "stop.fill"};
    case AgentState::running:
        return {SystemColor::Orange, "arrow.triangle.2.circlepath.circle", "停止代理", "stop.fill"};
    case AgentState::stopped:
        return {SystemColor::Red, "link.circle", "启动代理", "play.fill"};
    }
    return {SystemColor::Red, "link.circle", "启动代理", "play.fill"};
}

} // namespace quern
