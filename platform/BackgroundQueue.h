#pragma once

#include <chrono>
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

// Blocks the calling background thread; cut short only when the process is shutting down.
void sleepOnBackgroundThread(std::chrono::milliseconds duration);

// Ends pending sleeps and waits for running jobs; called once as the process quits.
void shutDownBackgroundQueues();

} // namespace quern
