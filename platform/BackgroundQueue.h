#pragma once

#include <QFuture>
#include <QPromise>

#include <functional>
#include <memory>
#include <type_traits>

namespace quern {

// Two shared concurrent queues, as the user's own commands and the automatic repairs want them.
enum class QualityOfService {
    userInitiated, // the user is waiting for it
    utility,       // housekeeping: runs at a lower scheduling priority
};

namespace detail {
void startInBackground(QualityOfService quality, std::function<void()> job);
}

// Runs the job on a background thread of that class; jobs may run in parallel. Its result comes
// back as a future: `.then(context, …)` continues on the context's thread, and not at all once the
// context is gone. That is the one way back to the main thread. A job not started because the
// process is quitting gives a cancelled future.
template <typename Job> [[nodiscard]] auto runInBackground(QualityOfService quality, Job job) {
    using Result = std::invoke_result_t<Job&>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    detail::startInBackground(quality, [promise, job = std::move(job)]() mutable {
        if constexpr (std::is_void_v<Result>)
            job();
        else
            promise->addResult(job());
        promise->finish();
    });
    return future;
}

// Waits for running jobs, and lets no new one start; called once as the process quits.
void shutDownBackgroundQueues();

} // namespace quern
