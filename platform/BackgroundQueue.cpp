#include "platform/BackgroundQueue.h"

#include <QThreadPool>

#include <chrono>
#include <mutex>

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread/qos.h>
#endif

namespace quern {
namespace {

using namespace std::chrono_literals;

// Threads idle this long end, so an idle client keeps none of them.
constexpr std::chrono::milliseconds kIdleExpiry = 10s;

void setQualityOfThisThread(QualityOfService quality) {
#if defined(__linux__)
    // Per-thread nice: the automatic repairs yield to everything else.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)),
                  quality == QualityOfService::utility ? 10 : 0);
#elif defined(__APPLE__)
    pthread_set_qos_class_self_np(
        quality == QualityOfService::utility ? QOS_CLASS_UTILITY : QOS_CLASS_USER_INITIATED, 0);
#else
    (void)quality;
#endif
}

// Qt's pools: a thread runs one job at a time and sets its own class for each; no event loop.
class Queues {
public:
    Queues() {
        // Qt's default size (the number of cores): no job sleeps on a thread.
        for (QThreadPool* pool : {&userInitiated_, &utility_})
            pool->setExpiryTimeout(static_cast<int>(kIdleExpiry.count()));
    }
    ~Queues() { shutDown(); }

    void dispatch(QualityOfService quality, std::function<void()> job) {
        const std::lock_guard lock(mutex_); // a shutdown either sees this job or it never starts
        if (shuttingDown_)
            return; // the process is quitting: nothing new starts
        QThreadPool& pool = quality == QualityOfService::utility ? utility_ : userInitiated_;
        pool.start([quality, job = std::move(job)] {
            setQualityOfThisThread(quality);
            job();
        });
    }

    void shutDown() {
        {
            const std::lock_guard lock(mutex_);
            shuttingDown_ = true;
        }
        userInitiated_.waitForDone();
        utility_.waitForDone();
    }

private:
    std::mutex mutex_;
    bool shuttingDown_ = false;
    QThreadPool userInitiated_;
    QThreadPool utility_;
};

Queues& queues() {
    static Queues instance;
    return instance;
}

} // namespace

void detail::startInBackground(QualityOfService quality, std::function<void()> job) {
    queues().dispatch(quality, std::move(job));
}

void shutDownBackgroundQueues() {
    queues().shutDown();
}

} // namespace quern
