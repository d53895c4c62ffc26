#pragma once

#include <functional>

class QObject;

namespace quern {

// Calls `appeared` on `context`'s thread each time a status notifier host starts on the session
// bus, for as long as `context` lives. Nothing is asked of the bus after this call. On macOS the
// menu bar is always there and nothing is watched.
void watchForTrayHost(QObject* context, std::function<void()> appeared);

} // namespace quern
