#pragma once

#include <functional>

class QObject;

namespace quern {

// Calls `reopened` on `context`'s thread whenever the running application is opened again (on
// macOS: its Dock icon clicked, or opened from Finder, Spotlight or `open`), for as long as
// `context` lives. Qt reports a reopen as a change to the active state, delivered even when the
// application is active already; any other activation (Cmd-Tab to it) arrives the same way and
// counts too. macOS only: elsewhere becoming active says nothing of being opened.
void watchForReopen(QObject* context, std::function<void()> reopened);

} // namespace quern
