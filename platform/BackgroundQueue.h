#pragma once

#include <QFuture>
#include <QFutureWatcher>
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
// back as a future, for whenFinished(). A job not started because the process is quitting gives a
// cancelled future.
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

// Calls `done(future)` on `context`'s thread once the future has finished, or been cancelled; not at
// all once `context` is gone. The one way back to the main thread. (Qt 6.4's then(context, …)
// requires the context to outlive the future, which a quitting client cannot promise.)
template <typename T, typename Done>
void whenFinished(const QFuture<T>& future, QObject* context, Done done) {
    auto* watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, done = std::move(done)]() mutable {
                         watcher->deleteLater();
                         done(watcher->future());
                     });
    watcher->setFuture(future);
}

// Waits for running jobs, and lets no new one start; called once as the process quits.
void shutDownBackgroundQueues();

} // namespace quern
