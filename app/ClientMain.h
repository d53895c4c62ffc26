#pragma once

#include <functional>

namespace quern {

// The whole client: application, application object, event loop. `afterLaunch`, when given, runs
// on the first event-loop pass after the launch handler has returned (the benchmark's marker).
int runClient(int argc, char** argv, const std::function<void()>& afterLaunch = {});

} // namespace quern
