#include "platform/BackgroundQueue.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

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
// wait in line: a queue grows a thread whenever no idle one is free, up to this many.
constexpr int kMaxThreadsPerQueue = 64;
// Threads idle this long end, so an idle client keeps none of them.
constexpr auto kIdleExpiry = 10s;

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

// A concurrent queue on plain threads: no event loop and no descriptor per thread.
class Queue {
public:
    explicit Queue(QualityOfService quality)
        : quality_(quality) {}
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    ~Queue() { shutDown(); }

    void dispatch(std::function<void()> job) {
        std::unique_lock lock(mutex_);
        if (shuttingDown_)
            return; // the process is quitting: nothing new starts
        joinFinished(lock);
        jobs_.push_back(std::move(job));
        if (idle_ > 0 || static_cast<int>(threads_.size()) >= kMaxThreadsPerQueue) {
            wake_.notify_one();
            return;
        }
        threads_.emplace_back();
        auto self = std::prev(threads_.end());
        *self = std::thread([this, self] { work(self); });
    }

    void sleep(std::chrono::milliseconds duration) {
        std::unique_lock lock(mutex_);
        sleepers_.wait_for(lock, duration, [&] { return shuttingDown_; });
    }

    void shutDown() {
        std::list<std::thread> running;
        {
            std::lock_guard lock(mutex_);
            shuttingDown_ = true;
            running.splice(running.end(), threads_);
            running.splice(running.end(), finished_);
        }
        wake_.notify_all();
        sleepers_.notify_all();
        for (std::thread& thread : running)
            if (thread.joinable())
                thread.join();
    }

private:
    void work(std::list<std::thread>::iterator self) {
        setQualityOfThisThread(quality_);
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool woken =
                wake_.wait_for(lock, kIdleExpiry, [&] { return !jobs_.empty() || shuttingDown_; });
            --idle_;
            if (!woken || (jobs_.empty() && shuttingDown_))
                break;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr; // release what the job held before waiting again
            lock.lock();
        }
        // Handed to the next dispatch (or the shutdown) to be joined; never detached.
        if (!shuttingDown_)
            finished_.splice(finished_.end(), threads_, self);
    }

    void joinFinished(std::unique_lock<std::mutex>& lock) {
        if (finished_.empty())
            return;
        std::list<std::thread> done;
        done.swap(finished_);
        lock.unlock();
        for (std::thread& thread : done)
            thread.join();
        lock.lock();
    }

    const QualityOfService quality_;
    std::mutex mutex_;
    std::condition_variable wake_;     // workers waiting for a job
    std::condition_variable sleepers_; // settle pauses, cut short only by the shutdown
    std::deque<std::function<void()>> jobs_;
    std::list<std::thread> threads_;
    std::list<std::thread> finished_;
    int idle_ = 0;
    bool shuttingDown_ = false;
};

Queue& queue(QualityOfService quality) {
    static Queue userInitiated(QualityOfService::userInitiated);
    static Queue utility(QualityOfService::utility);
    return quality == QualityOfService::utility ? utility : userInitiated;
}

} // namespace

void dispatchAsync(QualityOfService quality, std::function<void()> job) {
    queue(quality).dispatch(std::move(job));
}

void dispatchToMain(std::function<void()> job) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
        return;
    QMetaObject::invokeMethod(application, std::move(job), Qt::QueuedConnection);
}

void sleepOnBackgroundThread(std::chrono::milliseconds duration) {
    queue(QualityOfService::userInitiated).sleep(duration);
}

void shutDownBackgroundQueues() {
    queue(QualityOfService::userInitiated).shutDown();
    queue(QualityOfService::utility).shutDown();
}

} // namespace quern
