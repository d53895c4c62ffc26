#include "ui/StatePresentation.h"

namespace quern {

StatePresentation presentationFor(AgentState state) {
    switch (state) {
    case AgentState::online:
        return {"systemGreen", "link.circle.fill", "停止代理", "stop.fill"};
    case AgentState::running:
        return {"systemOrange", "arrow.triangle.2.circlepath.circle", "停止代理", "stop.fill"};
    case AgentState::stopped:
        return {"systemRed", "link.circle", "启动代理", "play.fill"};
    }
    return {"systemRed", "link.circle", "启动代理", "play.fill"};
}

} // namespace quern
