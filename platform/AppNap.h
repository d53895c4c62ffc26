#pragma once

namespace quern {

// Keeps App Nap from stretching the client's timers (the 2-second refresh) while its window is
// hidden, for the rest of the process's life. Idle system sleep stays allowed. Nothing to do
// where there is no App Nap.
#if defined(__APPLE__)
void keepTimersOnTime();
#else
inline void keepTimersOnTime() {}
#endif

} // namespace quern
