#include "ui/StatePresentation.h"

#include "ui/Texts.h"

namespace quern {

StatePresentation presentationFor(AgentState state) {
    switch (state) {
    case AgentState::online:
        return {SystemColor::Green, "link.circle.fill", kStopAgent, "stop.fill"};
    case AgentState::running:
        return {SystemColor::Orange, "arrow.triangle.2.circlepath.circle", kStopAgent, "stop.fill"};
    case AgentState::stopped:
        return {SystemColor::Red, "link.circle", kStartAgent, "play.fill"};
    }
    return {SystemColor::Red, "link.circle", kStartAgent, "play.fill"};
}

} // namespace quern
