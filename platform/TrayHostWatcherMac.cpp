#include "platform/TrayHostWatcher.h"

namespace quern {

// An NSStatusItem lives in the menu bar, which never goes away.
void watchForTrayHost(QObject*, std::function<void()>) {}

} // namespace quern
