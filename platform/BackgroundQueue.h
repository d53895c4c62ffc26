#pragma once

#include <functional>

namespace quern {

// Two shared concurrent queues, as the user's own commands and the automatic repairs want them.
enum class QualityOfService {
    userInitiated, // the user is waiting for it
    utility,       // housekeeping: runs at a lower scheduling priority
};

// Runs the job on a background thread of that class; jobs may run in parallel.
void dispatchAsync(QualityOfService quality, std::function<void()> job);

// Queues the job on the main thread; jobs run in the order they were queued.
void dispatchToMain(std::function<void()> job);

// Waits for running jobs, and lets no new one start; called once as the process quits.
void shutDownBackgroundQueues();

} // namespace quern
