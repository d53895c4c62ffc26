#include "platform/BackgroundQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

#include <condition_variable>
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

// Actions sleep through their settle pause on these threads, so a handful of quick clicks must not
// wait in line behind them (the default maximum is the number of cores).
constexpr int kMaxThreadsPerQueue = 64;
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
        for (QThreadPool* pool : {&userInitiated_, &utility_}) {
            pool->setMaxThreadCount(kMaxThreadsPerQueue);
            pool->setExpiryTimeout(static_cast<int>(kIdleExpiry.count()));
        }
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

    void sleep(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex_);
        sleepers_.wait_for(lock, duration, [&] { return shuttingDown_; });
    }

    void shutDown() {
        {
            const std::lock_guard lock(mutex_);
            shuttingDown_ = true;
        }
        sleepers_.notify_all();
        userInitiated_.waitForDone();
        utility_.waitForDone();
    }

private:
    std::mutex mutex_;
    std::condition_variable sleepers_; // settle pauses, cut short only by the shutdown
    bool shuttingDown_ = false;
    QThreadPool userInitiated_;
    QThreadPool utility_;
};

Queues& queues() {
    static Queues instance;
    return instance;
}

} // namespace

void dispatchAsync(QualityOfService quality, std::function<void()> job) {
    queues().dispatch(quality, std::move(job));
}

void dispatchToMain(std::function<void()> job) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return;
    QMetaObject::invokeMethod(application, std::move(job), Qt::QueuedConnection);
}

void sleepOnBackgroundThread(std::chrono::milliseconds duration) {
    queues().sleep(duration);
}

void shutDownBackgroundQueues() {
    queues().shutDown();
}

} // namespace quern
